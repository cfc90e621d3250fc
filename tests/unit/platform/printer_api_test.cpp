// OpenPrinterA, SetPrinterA and ClosePrinter over a registered printer store.
#include <gtest/gtest.h>

#include <memory>

#include "host/printers.h"
#include "platform.h"

namespace {

class PrinterApi : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_shared<plat::MemoryPrinterStore>();
    store_->AddPrinter("Laser", 0x1000);
    plat::SetPrinterStore(store_);
  }
  void TearDown() override { plat::SetPrinterStore(nullptr); }

  std::shared_ptr<plat::MemoryPrinterStore> store_;
};

LPBYTE StatusArg(DWORD status) { return reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(status)); }

TEST_F(PrinterApi, SetsStatusPassedInPlaceOfThePointer) {
  HANDLE printer = reinterpret_cast<HANDLE>(0xdeadbeef);
  char name[] = "Laser";
  ASSERT_TRUE(OpenPrinterA(name, &printer, nullptr)) << GetLastError();
  EXPECT_EQ(plat::OpenPrinterHandleCount(), 1);
  EXPECT_TRUE(SetPrinterA(printer, 0, StatusArg(PRINTER_STATUS_OFFLINE), PRINTER_CONTROL_SET_STATUS));
  EXPECT_TRUE(SetPrinterA(printer, 0, StatusArg(0), PRINTER_CONTROL_SET_STATUS));
  EXPECT_EQ(store_->Status("Laser"), 0u);
  EXPECT_EQ(store_->History("Laser"), (std::vector<std::uint32_t>{0x80, 0}));
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_EQ(plat::OpenPrinterHandleCount(), 0);
}

TEST_F(PrinterApi, UnknownPrinterOrNoStoreDoesNotOpen) {
  HANDLE printer = reinterpret_cast<HANDLE>(0xdeadbeef);
  char other[] = "laser";  // names are exact
  SetLastError(0);
  EXPECT_FALSE(OpenPrinterA(other, &printer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(printer, nullptr);

  plat::SetPrinterStore(nullptr);
  char name[] = "Laser";
  EXPECT_FALSE(OpenPrinterA(name, &printer, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
  EXPECT_EQ(plat::OpenPrinterHandleCount(), 0);
}

TEST_F(PrinterApi, RefusesOtherLevelsCommandsAndStaleHandles) {
  HANDLE printer = nullptr;
  char name[] = "Laser";
  PRINTER_DEFAULTSA defaults = {nullptr, nullptr, PRINTER_ACCESS_ADMINISTER};
  ASSERT_TRUE(OpenPrinterA(name, &printer, &defaults));
  SetLastError(0);
  EXPECT_FALSE(SetPrinterA(printer, 2, StatusArg(0x10), PRINTER_CONTROL_SET_STATUS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
  EXPECT_FALSE(SetPrinterA(printer, 0, nullptr, PRINTER_CONTROL_PAUSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(store_->SetCount(), 0);

  // Deleted from the spooler while open: the set fails, the close still works.
  store_->RemovePrinter("Laser");
  EXPECT_FALSE(SetPrinterA(printer, 0, StatusArg(0x10), PRINTER_CONTROL_SET_STATUS));
  EXPECT_TRUE(ClosePrinter(printer));
  EXPECT_FALSE(ClosePrinter(printer));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetPrinterA(printer, 0, StatusArg(0x10), PRINTER_CONTROL_SET_STATUS));
}

}  // namespace
