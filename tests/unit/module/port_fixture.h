// Shared set-up of the port-list tests: locks and lists made, ports built by
// name, everything freed again and the heap checked for leftovers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/heap.h"
#include "module_globals.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

namespace porttest {

// A fresh port record as a report makes it.
inline ListNode* MakePort(const char* name, BYTE status = STATUS_READY, DWORD time = 1000, BYTE lana = 0,
                          const char* localName = "") {
  ListNode* node = NewPortNode();
  if (node == nullptr) return nullptr;
  PortRecord* r = PortOf(node);
  r->pPortName = NewNameBlock(name);
  r->pCName = NewNameBlock(name);
  r->Entry.bStatus = status;
  r->tLastReport = time;
  r->bLanaNum = lana;
  std::strncpy(r->szLocalName, localName, LOCAL_NAME_SIZE - 1);
  r->dwListed = 1;
  return node;
}

inline std::vector<std::string> Names(DWORD list) {
  std::vector<std::string> names;
  for (ListNode* c = FirstPort(list); !IsEndOfList(c); NextPort(&c)) names.emplace_back(PortOf(c)->pPortName);
  return names;
}

// What shutdown does: free every record's names and printer list, then the lists.
inline void FreeAllPorts() {
  for (DWORD list = 0; list < 3; ++list) {
    for (ListNode* c = FirstPort(list); !IsEndOfList(c);) {
      ListNode* next = c;
      NextPort(&next);
      FreePrinterList(PortOf(c));
      FreePortNode(c);
      c = next;
    }
  }
  FreeLists();
}

class PortListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    moduletest::ResetModuleGlobals();
    baseline_ = plat::LiveLocalBlocks();
    CreateListLocks();
    ASSERT_TRUE(InitLists());
  }
  void TearDown() override {
    plat::ResetAllocationFaults();
    FreeAllPorts();
    DeleteListLocks();
    SetNameCodePage(0);
    EXPECT_EQ(plat::LiveLocalBlocks(), baseline_) << "local heap blocks left over";
  }

  // The status worker's fold, under the locks in their order.
  static void Fold() {
    ListLock reports(&ReportLock);
    {
      ListLock open(&OpenLock);
      MergeReportsIntoOpen();
    }
    ListLock available(&AvailableLock);
    MoveReportsToAvailable();
  }

  static void Report(ListNode* node) {
    ListLock reports(&ReportLock);
    InsertPort(node, REPORT_LIST);
  }

 private:
  std::int64_t baseline_ = 0;
};

}  // namespace porttest
