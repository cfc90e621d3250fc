// Walks of the port and printer lists while other threads file reports, fold
// them, open ports, add, mark and rename printers: no torn node, no lost or
// doubled port, and (under the tsan preset) no data race.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/module_state.h"
#include "port_fixture.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

namespace {

using porttest::MakePort;

constexpr int kPortNames = 24;

std::string PoolName(int i) { return "SRV" + std::to_string(100 + i); }

class ListConcurrency : public porttest::PortListTest {};

TEST_F(ListConcurrency, WalksStaySoundWhileReportsFoldAndPortsOpen) {
  std::atomic<bool> stop{false};
  std::atomic<int> openWalks{0};
  std::atomic<int> availableWalks{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  std::vector<std::thread> background;

  // Discovery threads: reports of random ports.
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([t] {
      std::mt19937 rng(11 + t);
      for (int i = 0; i < 5000; ++i) {
        int which = static_cast<int>(rng() % kPortNames);
        ListNode* node = MakePort(PoolName(which).c_str(), static_cast<BYTE>(STATUS_READY + rng() % 4),
                                  static_cast<DWORD>(i), static_cast<BYTE>(t), t ? "OV_B" : "OV_A");
        if (node != nullptr) Report(node);
      }
    });
  }

  // Spooler threads: open ports by name, then run "jobs" on them.
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([t, &failures] {
      std::mt19937 rng(23 + t);
      // Ports turn up as the status worker folds the reports.
      for (int i = 0; i < 3000;) {
        std::string name = PoolName(static_cast<int>(rng() % kPortNames));
        ListNode* node = FindPort(name.c_str(), OPEN_LIST);
        if (node == nullptr) {
          node = FindPort(name.c_str(), AVAILABLE_LIST);
          if (node == nullptr) {
            std::this_thread::yield();
            continue;
          }
          MovePortToOpen(node);
        }
        ++i;
        // Either way the record is in use now.
        if (FindPort(name.c_str(), OPEN_LIST) != node) failures.fetch_add(1);
        PortRecord* port = PortOf(node);
        const char* printer = (i % 2) ? "Q" : "S";
        if (!HasPrinter(port, printer)) AddPrinter(port, printer);
        SetPrinterActive(port, printer);
        BYTE lana = 0xFF;
        char localName[LOCAL_NAME_SIZE];
        CopySessionAddress(port, &lana, localName);
        if (std::strlen(localName) >= LOCAL_NAME_SIZE) failures.fetch_add(1);
        (void)ReadShared(port->Entry.bStatus);
        ResetPrinterActive(port);
      }
    });
  }

  // The status worker: folds, and renames printers as the registry scan does.
  background.emplace_back([&stop] {
    while (!stop.load()) {
      Fold();
      for (ListNode* c = FirstPort(OPEN_LIST); !IsEndOfList(c); NextPort(&c)) {
        if (!RenamePrinter(PortOf(c), "Q", "R")) RenamePrinter(PortOf(c), "R", "Q");
      }
    }
  });

  // Readers: OpenList and its printer lists without a lock, AvailableList
  // under its lock, checking what they see.
  for (int t = 0; t < 2; ++t) {
    background.emplace_back([&] {
      while (!stop.load()) {
        int ports = 0;
        for (ListNode* c = FirstPort(OPEN_LIST); !IsEndOfList(c); NextPort(&c)) {
          PortRecord* r = PortOf(c);
          if (r == nullptr || r->pPortName == nullptr || std::strncmp(r->pPortName, "SRV", 3) != 0) {
            failures.fetch_add(1);
          }
          (void)ReadShared(r->Entry.bStatus);
          for (ListNode* p = FirstPrinter(r); p != nullptr; p = ListNext(p)) {
            LPCSTR printer = PrinterNameOf(PrinterOf(p));
            if (printer == nullptr || std::strlen(printer) != 1) failures.fetch_add(1);
            (void)ReadShared(PrinterOf(p)->dwActive);
          }
          ++ports;
        }
        if (ports > kPortNames) failures.fetch_add(1);
        openWalks.fetch_add(1);

        ListLock lock(&AvailableLock);
        LPCSTR previous = nullptr;
        for (ListNode* c = FirstPort(AVAILABLE_LIST); !IsEndOfList(c); NextPort(&c)) {
          LPCSTR name = PortOf(c)->pPortName;
          if (previous != nullptr && CompareNames(previous, name) >= 0) failures.fetch_add(1);
          previous = name;
        }
        availableWalks.fetch_add(1);
      }
    });
  }

  for (auto& w : workers) w.join();
  stop.store(true);
  for (auto& b : background) b.join();
  Fold();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(openWalks.load(), 0);
  EXPECT_GT(availableWalks.load(), 0);
  EXPECT_EQ(FirstPort(REPORT_LIST), nullptr);

  // Every reported port is in exactly one of the two lists, once.
  std::set<std::string> open;
  std::set<std::string> available;
  for (const std::string& name : porttest::Names(OPEN_LIST)) EXPECT_TRUE(open.insert(name).second) << name;
  for (const std::string& name : porttest::Names(AVAILABLE_LIST)) EXPECT_TRUE(available.insert(name).second) << name;
  EXPECT_EQ(open.size() + available.size(), static_cast<size_t>(kPortNames));
  for (const std::string& name : open) EXPECT_EQ(available.count(name), 0u) << name << " is in both lists";
  EXPECT_FALSE(open.empty());
}

}  // namespace
