// The status worker against a print box on the in-process segment: the box's
// ports change state over module time, the discovery threads file its
// reports, and each cycle mirrors them into the spooler printers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "monitor_fixture.h"
#include "netbios/lana.h"
#include "port_fixture.h"
#include "ports/discovery.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "print_box.h"
#include "status/status_thread.h"

namespace {

using monitor_test::ModuleTest;

class StatusWithBox : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    plat::ResetNetbios();
    plat::NetbiosAdapterConfig mine;
    mine.lana = 0;
    mine.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9a};
    ASSERT_TRUE(plat::AddNetbiosAdapter(mine));
    plat::NetbiosAdapterConfig boxAdapter;
    boxAdapter.lana = 1;
    boxAdapter.inAdapterMap = false;
    ASSERT_TRUE(plat::AddNetbiosAdapter(boxAdapter));

    printbox::BoxConfig config;
    config.lana = 1;
    config.ports = {{"P1", printbox::kStatusReady}};
    box_ = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box_->Start(), 0);
    ASSERT_TRUE(plat::WaitForQuiet(kBoxWaiters));

    CreateListLocks();
    ASSERT_TRUE(InitLists());
    DescriptionText = NewNameBlock("Print Server Port");
    MonitorNameText = NewNameBlock("Local Port");
    RegistryRoot = NewNameBlock("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Absent");

    // The port as the spooler opened it, with a printer that has a job there
    // and one that has none.
    ListNode* node = NewPortNode();
    port_ = PortOf(node);
    port_->pPortName = NewNameBlock("P1");
    port_->pCName = NewNameBlock("P1");
    ASSERT_TRUE(CreatePrinterList(port_));
    ASSERT_TRUE(AddPrinter(port_, "Laser"));
    ASSERT_TRUE(AddPrinter(port_, "Idle"));
    ASSERT_TRUE(SetPrinterActive(port_, "Laser"));
    port_->dwOutOfPaper = 1;
    InsertPort(node, OPEN_LIST);
    printers_->AddPrinter("Laser", 0xdead);
    printers_->AddPrinter("Idle", 0xdead);

    LanaRecords[0].bLanaNum = 0;
    RegisterAdapterNames(&LanaRecords[0]);
    LanaCount = 1;
    refresh_ = StartModuleThread(RefreshThread, &LanaRecords[0]);
    ASSERT_NE(refresh_, nullptr);
  }

  void TearDown() override {
    WriteShared(StopFlag, static_cast<DWORD>(1));
    ReleaseAdapterNames(&LanaRecords[0]);
    for (int i = 0; i < 100 && plat::LiveThreadCount() > 0; ++i) Step();
    EXPECT_TRUE(plat::WaitForAllThreads());
    CloseHandle(refresh_);
    box_->Stop();
    box_.reset();
    plat::ResetNetbios();
    porttest::FreeAllPorts();
    DeleteListLocks();
    for (LPSTR* text : {&DescriptionText, &MonitorNameText, &RegistryRoot}) {
      LocalFree(*text);
      *text = nullptr;
    }
    ModuleTest::TearDown();
  }

  // One second of module time once the discovery threads are quiet, then a
  // cycle of the worker.
  void Step() {
    plat::WaitForQuiet(plat::LiveThreadCount() + kBoxWaiters, std::chrono::milliseconds(500));
    plat::AdvanceClock(1000);
    plat::WaitForQuiet(plat::LiveThreadCount() + kBoxWaiters, std::chrono::milliseconds(500));
  }
  void StepAndCycle() {
    Step();
    int threads = plat::LiveThreadCount();
    RunStatusCycle();
    // Each popup runs on a thread of its own, which the presenter answers.
    for (int i = 0; i < 50000 && plat::LiveThreadCount() > threads; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  // Steps until the port's record holds `status` from a report; false after
  // 100 seconds.
  bool CycleUntilReported(BYTE status) {
    for (int i = 0; i < 100; ++i) {
      StepAndCycle();
      if (ReadShared(port_->Entry.bStatus) == status && ReadShared(port_->tLastReport) != 0) return true;
    }
    return false;
  }
  DWORD Age() const { return GetMonotonicSeconds() - ReadShared(port_->tLastReport); }

  static constexpr int kBoxWaiters = 2;  // the box's ping receive and its port's listen
  std::unique_ptr<printbox::Box> box_;
  PortRecord* port_ = nullptr;
  HANDLE refresh_ = nullptr;
};

TEST_F(StatusWithBox, PrinterStatusFollowsTheBoxAndGoesStaleAt121Seconds) {
  ASSERT_TRUE(CycleUntilReported(STATUS_READY));
  EXPECT_EQ(printers_->Status("Laser"), 0u);
  EXPECT_EQ(printers_->Status("Idle"), 0u);

  box_->SetPortStatus("P1", printbox::kStatusPaperOut);
  ASSERT_TRUE(CycleUntilReported(STATUS_PAPER_OUT));
  EXPECT_EQ(printers_->Status("Laser"), static_cast<std::uint32_t>(PRINTER_STATUS_PAPER_OUT));
  EXPECT_EQ(printers_->Status("Idle"), static_cast<std::uint32_t>(PRINTER_STATUS_PAPER_OUT));
  EXPECT_EQ(presenter_->Texts(), (std::vector<std::string>{"Your printer Laser is Out Of Paper!"}));

  // The second ready code leaves the printers as they were.
  box_->SetPortStatus("P1", printbox::kStatusReady2);
  ASSERT_TRUE(CycleUntilReported(STATUS_READY2));
  printers_->SetPrinterStatus("Laser", 0xdead);
  StepAndCycle();
  EXPECT_EQ(printers_->Status("Laser"), 0xdeadu);

  // Then off line, and the box falls silent.
  box_->SetPortStatus("P1", printbox::kStatusOffline);
  ASSERT_TRUE(CycleUntilReported(STATUS_OFFLINE));
  box_->SetAnswerPings(false);
  WriteShared(port_->dwNoResponse, static_cast<DWORD>(1));
  presenter_->Clear();
  while (Age() < 120) StepAndCycle();
  EXPECT_EQ(Age(), 120u);
  EXPECT_EQ(ReadShared(port_->Entry.bStatus), STATUS_OFFLINE);
  EXPECT_EQ(printers_->Status("Laser"), static_cast<std::uint32_t>(PRINTER_STATUS_OFFLINE));
  EXPECT_TRUE(presenter_->Texts().empty());  // no off-line popup: its flag is off

  StepAndCycle();
  EXPECT_EQ(Age(), 121u);
  EXPECT_EQ(ReadShared(port_->Entry.bStatus), STATUS_NONE);
  EXPECT_EQ(printers_->Status("Laser"), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE));
  EXPECT_EQ(printers_->Status("Idle"), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE));
  EXPECT_EQ(presenter_->Texts(), (std::vector<std::string>{"There is No Response from your printer Laser"}));

  // The box answers again: ready clears the trouble.
  box_->SetPortStatus("P1", printbox::kStatusReady);
  box_->SetAnswerPings(true);
  ASSERT_TRUE(CycleUntilReported(STATUS_READY));
  EXPECT_EQ(printers_->Status("Laser"), 0u);
}

// Half an hour of module time against a box that answers every ping, the
// worker cycling every refresh interval: pings come 61 to 70 seconds apart,
// and the port never looks silent, so no printer is ever "not available" and
// the no-response popup never comes.
TEST_F(StatusWithBox, AHealthyBoxNeverLooksSilentInHalfAnHour) {
  WriteShared(port_->dwNoResponse, static_cast<DWORD>(1));
  ASSERT_TRUE(CycleUntilReported(STATUS_READY));
  // A port is not available until its first report; on a busy machine a
  // cycle may come before it. The half hour counts from there.
  std::map<std::string, std::size_t> before;
  for (const char* printer : {"Laser", "Idle"}) before[printer] = printers_->History(printer).size();
  presenter_->Clear();
  for (int second = 0; second < 30 * 60; ++second) {
    // Each second only once every thread waits again, however busy the
    // machine: a late thread would stretch the ping period in module time.
    ASSERT_TRUE(plat::WaitForQuiet(plat::LiveThreadCount() + kBoxWaiters, std::chrono::seconds(10)));
    plat::AdvanceClock(1000);
    ASSERT_TRUE(plat::WaitForQuiet(plat::LiveThreadCount() + kBoxWaiters, std::chrono::seconds(10)));
    if (second % 16 == 0) RunStatusCycle();
  }
  for (const char* printer : {"Laser", "Idle"}) {
    auto history = printers_->History(printer);
    history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(before[printer]));
    EXPECT_EQ(std::count(history.begin(), history.end(), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE)),
              0)
        << printer;
  }
  EXPECT_TRUE(presenter_->Texts().empty());
  EXPECT_LE(Age(), 71u);
}

}  // namespace
