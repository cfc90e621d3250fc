// A port's printer list: adding and finding printers, the active marks,
// renames that keep the old name readable, and a port without a list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/heap.h"
#include "port_fixture.h"

namespace {

class PrinterList : public porttest::PortListTest {
 protected:
  void SetUp() override {
    PortListTest::SetUp();
    node_ = porttest::MakePort("PORT1");
    ASSERT_TRUE(CreatePrinterList(PortOf(node_)));
    ListLock lock(&OpenLock);
    InsertPort(node_, OPEN_LIST);
  }
  PortRecord* port() { return PortOf(node_); }

  std::vector<std::string> Printers() {
    std::vector<std::string> names;
    for (ListNode* c = FirstPrinter(port()); c != nullptr; c = ListNext(c)) {
      names.emplace_back(PrinterNameOf(PrinterOf(c)));
    }
    return names;
  }
  std::vector<DWORD> Marks() {
    std::vector<DWORD> marks;
    for (ListNode* c = FirstPrinter(port()); c != nullptr; c = ListNext(c)) marks.push_back(PrinterOf(c)->dwActive);
    return marks;
  }

  ListNode* node_ = nullptr;
};

using Strings = std::vector<std::string>;
using MarkList = std::vector<DWORD>;

TEST_F(PrinterList, AddAppendsOwnCopiesWithClearMarks) {
  EXPECT_EQ(FirstPrinter(port()), nullptr);
  std::string name = "Laser";
  ASSERT_TRUE(AddPrinter(port(), name.c_str()));
  ASSERT_TRUE(AddPrinter(port(), "Ink"));
  name[0] = 'X';
  EXPECT_EQ(Printers(), (Strings{"Laser", "Ink"}));
  PrinterEntry* first = PrinterOf(FirstPrinter(port()));
  EXPECT_EQ(first->dwActive, 0u);
  EXPECT_EQ(first->dwReserved, 0u);
  EXPECT_TRUE(HasPrinter(port(), "Ink"));
  EXPECT_FALSE(HasPrinter(port(), "ink")) << "printer names are case-sensitive";
  EXPECT_FALSE(HasPrinter(port(), "Xaser"));
}

TEST_F(PrinterList, SetActiveMarksTheFirstNamesakeOnly) {
  AddPrinter(port(), "A");
  AddPrinter(port(), "B");
  AddPrinter(port(), "A");
  EXPECT_TRUE(SetPrinterActive(port(), "A"));
  EXPECT_EQ(Marks(), (MarkList{1, 0, 0}));
  EXPECT_FALSE(SetPrinterActive(port(), "C"));
  EXPECT_EQ(Marks(), (MarkList{1, 0, 0}));
}

TEST_F(PrinterList, ResetClearsOneActiveMarkPerCall) {
  AddPrinter(port(), "A");
  AddPrinter(port(), "B");
  AddPrinter(port(), "C");
  SetPrinterActive(port(), "B");
  SetPrinterActive(port(), "C");
  EXPECT_TRUE(ResetPrinterActive(port()));
  EXPECT_EQ(Marks(), (MarkList{0, 0, 1}));
  EXPECT_TRUE(ResetPrinterActive(port()));
  EXPECT_EQ(Marks(), (MarkList{0, 0, 0}));
  EXPECT_FALSE(ResetPrinterActive(port()));
}

TEST_F(PrinterList, RenameReplacesTheFirstNamesakeAndKeepsTheOldTextReadable) {
  AddPrinter(port(), "Old");
  AddPrinter(port(), "Old");
  SetPrinterActive(port(), "Old");
  LPCSTR before = PrinterNameOf(PrinterOf(FirstPrinter(port())));
  ASSERT_TRUE(RenamePrinter(port(), "Old", "New"));
  EXPECT_EQ(Printers(), (Strings{"New", "Old"}));
  EXPECT_EQ(Marks(), (MarkList{1, 0})) << "the mark stays with the entry";
  // A reader that took the old name before the rename still reads it whole.
  EXPECT_STREQ(before, "Old");
  EXPECT_FALSE(RenamePrinter(port(), "Missing", "Other"));
  EXPECT_TRUE(RenamePrinter(port(), "Old", "New"));
  EXPECT_EQ(Printers(), (Strings{"New", "New"}));
}

TEST_F(PrinterList, ShortMemoryChangesNothing) {
  AddPrinter(port(), "Keep");
  std::int64_t blocks = plat::LiveLocalBlocks();
  for (std::uint64_t nth : {1, 2}) {
    plat::FailNthAllocation(nth);
    EXPECT_FALSE(AddPrinter(port(), "More")) << "allocation " << nth;
    plat::FailNthAllocation(nth);
    EXPECT_FALSE(RenamePrinter(port(), "Keep", "Gone")) << "allocation " << nth;
    EXPECT_EQ(plat::LiveLocalBlocks(), blocks);
  }
  plat::ResetAllocationFaults();
  EXPECT_EQ(Printers(), Strings{"Keep"});
}

TEST_F(PrinterList, LongNamesAreKeptCutAndStillFound) {
  const std::string name300(300, 'P');
  ASSERT_TRUE(AddPrinter(port(), name300.c_str()));
  EXPECT_EQ(Printers(), Strings{std::string(259, 'P')});
  EXPECT_TRUE(HasPrinter(port(), name300.c_str()));
  EXPECT_TRUE(SetPrinterActive(port(), name300.c_str()));
  EXPECT_TRUE(RenamePrinter(port(), name300.c_str(), ""));
  EXPECT_TRUE(HasPrinter(port(), ""));
  // A missing name names no printer.
  EXPECT_FALSE(HasPrinter(port(), nullptr));
  EXPECT_FALSE(SetPrinterActive(port(), nullptr));
  EXPECT_FALSE(AddPrinter(port(), nullptr));
  EXPECT_FALSE(RenamePrinter(port(), "", nullptr));
  EXPECT_FALSE(RenamePrinter(port(), nullptr, "X"));
}

TEST_F(PrinterList, APortWithoutAListHasNoPrinters) {
  DestroyPrinterList(port());
  EXPECT_EQ(port()->pPrinters, nullptr);
  EXPECT_EQ(FirstPrinter(port()), nullptr);
  EXPECT_FALSE(AddPrinter(port(), "A"));
  EXPECT_FALSE(HasPrinter(port(), "A"));
  EXPECT_FALSE(SetPrinterActive(port(), "A"));
  EXPECT_FALSE(ResetPrinterActive(port()));
  EXPECT_FALSE(RenamePrinter(port(), "A", "B"));
  DestroyPrinterList(port());
  FreePrinterList(port());
  EXPECT_FALSE(CreatePrinterList(nullptr));
  EXPECT_FALSE(AddPrinter(nullptr, "A"));
  EXPECT_EQ(FirstPrinter(nullptr), nullptr);
  EXPECT_EQ(PrinterOf(nullptr), nullptr);
  EXPECT_EQ(PrinterNameOf(nullptr), nullptr);
}

}  // namespace
