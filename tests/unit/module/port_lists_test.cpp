// The three port lists: sorted reports and their duplicates, the fold into
// the open and available ports, opening a port, and bad list numbers.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "host/heap.h"
#include "port_fixture.h"

namespace {

using porttest::MakePort;
using porttest::Names;
using Strings = std::vector<std::string>;

class PortLists : public porttest::PortListTest {};

TEST_F(PortLists, EmptyListsYieldNoPorts) {
  for (DWORD list = 0; list < 3; ++list) {
    ListNode* cursor = FirstPort(list);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_TRUE(IsEndOfList(cursor));
    EXPECT_EQ(FindPort("ANY", list), nullptr);
  }
}

TEST_F(PortLists, ListNumbersOutOfRangeFindAndChangeNothing) {
  Report(MakePort("ALPHA"));
  for (DWORD list : {3u, 4u, 0xFFFFFFFFu}) {
    EXPECT_EQ(FirstPort(list), nullptr);
    EXPECT_EQ(FindPort("ALPHA", list), nullptr);
    ListNode* node = MakePort("BETA");
    InsertPort(node, list);
    EXPECT_EQ(node->pPrevious, nullptr) << "list " << list;
    FreePortNode(node);
  }
  EXPECT_EQ(Names(REPORT_LIST), Strings{"ALPHA"});
  NextPort(nullptr);
  EXPECT_EQ(PortOf(nullptr), nullptr);
  FreePortNode(nullptr);
}

TEST_F(PortLists, InitListsStopsAtTheFirstFailureAndKeepsWhatItMade) {
  FreeLists();
  plat::FailNthAllocation(2);
  EXPECT_FALSE(InitLists());
  EXPECT_EQ(FirstPort(REPORT_LIST), nullptr);
  // The report list exists, so a report can be filed; the others cannot.
  Report(MakePort("ALPHA"));
  EXPECT_EQ(Names(REPORT_LIST), Strings{"ALPHA"});
  ListNode* loose = MakePort("BETA");
  InsertPort(loose, OPEN_LIST);
  EXPECT_EQ(loose->pPrevious, nullptr);
  FreePortNode(loose);
  EXPECT_TRUE(InitLists());
}

TEST_F(PortLists, ReportsAreSortedAndADuplicateOnlyRefreshesStatusAndTime) {
  Report(MakePort("BRAVO", STATUS_READY, 100, 1, "OV_ONE"));
  Report(MakePort("ALPHA"));
  Report(MakePort("DELTA"));
  EXPECT_EQ(Names(REPORT_LIST), (Strings{"ALPHA", "BRAVO", "DELTA"}));

  std::int64_t blocks = plat::LiveLocalBlocks();
  ListNode* second = MakePort("BRAVO", STATUS_OFFLINE, 200, 2, "OV_TWO");
  PortOf(second)->dwOffline = 1;
  Report(second);
  EXPECT_EQ(plat::LiveLocalBlocks(), blocks) << "the duplicate node and its names are freed";
  EXPECT_EQ(Names(REPORT_LIST), (Strings{"ALPHA", "BRAVO", "DELTA"}));
  PortRecord* bravo = PortOf(FindPort("BRAVO", REPORT_LIST));
  EXPECT_EQ(bravo->Entry.bStatus, STATUS_OFFLINE);
  EXPECT_EQ(bravo->tLastReport, 200u);
  EXPECT_EQ(bravo->bLanaNum, 1);
  EXPECT_STREQ(bravo->szLocalName, "OV_ONE");
  EXPECT_EQ(bravo->dwOffline, 0u);
}

TEST_F(PortLists, NamesDifferingInCaseAreTwoPortsUpperCaseFirst) {
  Report(MakePort("prn1"));
  Report(MakePort("PRN1"));
  Report(MakePort("Prn1"));
  EXPECT_EQ(Names(REPORT_LIST), (Strings{"PRN1", "Prn1", "prn1"}));
  EXPECT_EQ(FindPort("pRN1", REPORT_LIST), nullptr);
  EXPECT_STREQ(PortOf(FindPort("Prn1", REPORT_LIST))->pPortName, "Prn1");
}

TEST_F(PortLists, EmptyAndLongNamesAreOrdinaryNames) {
  const std::string long259(259, 'L');
  const std::string long300 = long259 + "tail";
  Report(MakePort(""));
  Report(MakePort(long300.c_str()));
  EXPECT_EQ(Names(REPORT_LIST), (Strings{"", long259}));
  EXPECT_NE(FindPort("", REPORT_LIST), nullptr);
  EXPECT_NE(FindPort(long259.c_str(), REPORT_LIST), nullptr);
  EXPECT_EQ(FindPort(long300.c_str(), REPORT_LIST), FindPort(long259.c_str(), REPORT_LIST));
  EXPECT_EQ(FindPort(nullptr, REPORT_LIST), nullptr);
  Report(MakePort(long259.c_str()));
  EXPECT_EQ(Names(REPORT_LIST).size(), 2u);
}

TEST_F(PortLists, FoldUpdatesOpenPortsByCopyAndMovesTheRestToAvailable) {
  // OPEN1 is in use, with the adapter and name of its first report.
  ListNode* open = MakePort("OPEN1", STATUS_READY, 100, 1, "OV_LANA1");
  PortOf(open)->dwOffline = 1;
  ASSERT_TRUE(CreatePrinterList(PortOf(open)));
  {
    ListLock lock(&OpenLock);
    InsertPort(open, OPEN_LIST);
  }
  Report(MakePort("OPEN1", STATUS_PAPER_OUT, 500, 3, "OV_LANA3"));
  ListNode* fresh = MakePort("NEW1", STATUS_READY, 500, 3, "OV_LANA3");
  Report(fresh);
  Fold();

  EXPECT_EQ(Names(REPORT_LIST), Strings{}) << "one fold empties the report list";
  EXPECT_EQ(Names(OPEN_LIST), Strings{"OPEN1"});
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings{"NEW1"}) << "an open port is not made available again";
  PortRecord* r = PortOf(FindPort("OPEN1", OPEN_LIST));
  EXPECT_EQ(r, PortOf(open)) << "the open record stays, the report is copied into it";
  EXPECT_EQ(r->Entry.bStatus, STATUS_PAPER_OUT);
  EXPECT_EQ(r->tLastReport, 500u);
  EXPECT_EQ(r->bLanaNum, 3);
  EXPECT_STREQ(r->szLocalName, "OV_LANA3");
  EXPECT_EQ(r->dwOffline, 1u) << "the popup flags are the port's own";
  EXPECT_NE(r->pPrinters, nullptr);
  EXPECT_EQ(FindPort("NEW1", AVAILABLE_LIST), fresh) << "a new port moves as it is";

  // A later report of the available port refreshes only its status and time.
  Report(MakePort("NEW1", STATUS_OFFLINE, 600, 5, "OV_LANA5"));
  Fold();
  PortRecord* available = PortOf(FindPort("NEW1", AVAILABLE_LIST));
  EXPECT_EQ(available->Entry.bStatus, STATUS_OFFLINE);
  EXPECT_EQ(available->tLastReport, 600u);
  EXPECT_EQ(available->bLanaNum, 3);
  EXPECT_STREQ(available->szLocalName, "OV_LANA3");
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings{"NEW1"});
  EXPECT_EQ(Names(REPORT_LIST), Strings{});
}

TEST_F(PortLists, AvailablePortsStaySortedAcrossFolds) {
  for (const char* name : {"P3", "P1"}) Report(MakePort(name));
  Fold();
  for (const char* name : {"P4", "P2", "P0", "P3"}) Report(MakePort(name));
  Fold();
  EXPECT_EQ(Names(AVAILABLE_LIST), (Strings{"P0", "P1", "P2", "P3", "P4"}));

  // Bursts as a thousand boxes send them: scattered names, each port twice
  // in a round (the later status kept), rounds overlapping the ports known.
  Strings known = Names(AVAILABLE_LIST);
  std::set<std::string> all(known.begin(), known.end());
  for (unsigned round = 0; round < 3; ++round) {
    for (unsigned twice = 0; twice < 2; ++twice) {
      for (unsigned i = 0; i < 400; ++i) {
        std::string name = "Q" + std::to_string((i * 7919 + round * 131) % 600);
        all.insert(name);
        Report(MakePort(name.c_str(), static_cast<BYTE>(STATUS_READY + twice), 100 + round));
      }
    }
    Strings reports = Names(REPORT_LIST);
    ASSERT_TRUE(std::is_sorted(reports.begin(), reports.end()));
    Fold();
  }
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings(all.begin(), all.end()));
  EXPECT_EQ(PortOf(FindPort("Q0", AVAILABLE_LIST))->Entry.bStatus, STATUS_READY + 1);
}

TEST_F(PortLists, LocalNameOfAReportIsCopiedBoundedAndTerminated) {
  ListNode* open = MakePort("OPEN1");
  {
    ListLock lock(&OpenLock);
    InsertPort(open, OPEN_LIST);
  }
  ListNode* report = MakePort("OPEN1");
  std::memset(PortOf(report)->szLocalName, 'Z', LOCAL_NAME_SIZE);  // no NUL
  Report(report);
  Fold();
  char copy[LOCAL_NAME_SIZE + 8];
  std::memset(copy, '#', sizeof copy);
  BYTE lana = 0xEE;
  CopySessionAddress(PortOf(open), &lana, copy);
  EXPECT_EQ(lana, 0);
  EXPECT_EQ(std::string(copy), std::string(16, 'Z'));
  EXPECT_EQ(copy[LOCAL_NAME_SIZE], '#') << "nothing written past the name";
}

TEST_F(PortLists, OpeningAPortMovesItOnceAndGivesItAPrinterList) {
  Report(MakePort("A1"));
  Report(MakePort("B1"));
  Fold();
  ListNode* node = FindPort("B1", AVAILABLE_LIST);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(PortOf(node)->pPrinters, nullptr);
  EXPECT_TRUE(MovePortToOpen(node));
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings{"A1"});
  EXPECT_EQ(Names(OPEN_LIST), Strings{"B1"});
  EXPECT_NE(PortOf(node)->pPrinters, nullptr);
  EXPECT_EQ(FirstPrinter(PortOf(node)), nullptr);

  // A second open of the same node finds it gone from AvailableList.
  EXPECT_FALSE(MovePortToOpen(node));
  EXPECT_EQ(Names(OPEN_LIST), Strings{"B1"});
  // Inserting a node that is in a list leaves it there.
  InsertPort(node, OPEN_LIST);
  InsertPort(FindPort("A1", AVAILABLE_LIST), OPEN_LIST);
  EXPECT_EQ(Names(OPEN_LIST), Strings{"B1"});
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings{"A1"});

  // With no memory for the printer list the port stays where it was.
  plat::FailAllAllocations(true);
  EXPECT_FALSE(MovePortToOpen(FindPort("A1", AVAILABLE_LIST)));
  plat::FailAllAllocations(false);
  EXPECT_EQ(Names(AVAILABLE_LIST), Strings{"A1"});
  EXPECT_EQ(PortOf(FindPort("A1", AVAILABLE_LIST))->pPrinters, nullptr);
  EXPECT_TRUE(MovePortToOpen(FindPort("A1", AVAILABLE_LIST)));
  EXPECT_EQ(Names(OPEN_LIST), (Strings{"B1", "A1"})) << "open ports keep their order of opening";
  EXPECT_FALSE(MovePortToOpen(nullptr));
}

}  // namespace
