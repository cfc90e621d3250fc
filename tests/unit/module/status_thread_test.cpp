// The status worker: filing, the status mapping, staleness and the popups.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <initializer_list>
#include <string>
#include <thread>

#include "base/settings.h"
#include "diag/log.h"
#include "host/registry.h"
#include "host/system.h"
#include "monitor_fixture.h"
#include "port_fixture.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "status/status_thread.h"

namespace {

using monitor_test::ModuleTest;
using History = std::vector<std::uint32_t>;

class StatusWorker : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    CreateListLocks();
    ASSERT_TRUE(InitLists());
    // A monitor key that does not exist: the registry scan has nothing to do.
    RegistryRoot = NewNameBlock("SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Absent");
  }
  void TearDown() override {
    porttest::FreeAllPorts();
    DeleteListLocks();
    LocalFree(RegistryRoot);
    RegistryRoot = nullptr;
    ModuleTest::TearDown();
  }

  PortRecord* AddOpenPort(const char* name, std::initializer_list<const char*> printers) {
    ListNode* node = NewPortNode();
    PortRecord* record = PortOf(node);
    record->pPortName = NewNameBlock(name);
    record->pCName = NewNameBlock(name);
    EXPECT_TRUE(CreatePrinterList(record));
    for (const char* printer : printers) {
      EXPECT_TRUE(AddPrinter(record, printer));
      printers_->AddPrinter(printer, 0xdead);
    }
    InsertPort(node, OPEN_LIST);
    return record;
  }

  // A cycle, then its popups answered: each box runs on a thread of its own.
  static void Cycle() {
    RunStatusCycle();
    EXPECT_TRUE(plat::WaitForAllThreads());
  }

  static void Report(PortRecord* record, BYTE status, DWORD when) {
    WriteShared(record->Entry.bStatus, status);
    WriteShared(record->tLastReport, when);
  }
};

TEST_F(StatusWorker, MapsReadyPaperOutAndOffLineAndLeavesOtherStatesAlone) {
  DWORD value = 0xdeadbeef;
  EXPECT_TRUE(MapServerStatus(STATUS_READY, &value));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(MapServerStatus(STATUS_PAPER_OUT, &value));
  EXPECT_EQ(value, static_cast<DWORD>(PRINTER_STATUS_PAPER_OUT));
  EXPECT_TRUE(MapServerStatus(STATUS_OFFLINE, &value));
  EXPECT_EQ(value, static_cast<DWORD>(PRINTER_STATUS_OFFLINE));
  for (BYTE other : {BYTE{0}, BYTE{0x11}, BYTE{0x14}, BYTE{0xff}}) {
    value = 0xdeadbeef;
    EXPECT_FALSE(MapServerStatus(other, &value)) << int(other);
    EXPECT_EQ(value, 0xdeadbeefu);
  }
}

// A box waits for the user on a thread of its own: the worker goes on
// mirroring the port, raises no second box for a printer's trouble while the
// first is open but one for another trouble, and the boxes still open once
// the worker has stopped and the port is freed touch nothing of it.
TEST_F(StatusWorker, PopupsWaitForTheUserWithoutHoldingTheWorker) {
  ListNode* node = NewPortNode();
  PortRecord* port = PortOf(node);
  port->pPortName = NewNameBlock("BOX_P1");
  port->pCName = NewNameBlock("BOX_P1");
  ASSERT_TRUE(CreatePrinterList(port));
  ASSERT_TRUE(AddPrinter(port, "Laser"));
  printers_->AddPrinter("Laser", 0xdead);
  InsertPort(node, OPEN_LIST);
  port->dwOutOfPaper = port->dwOffline = 1;
  ASSERT_TRUE(SetPrinterActive(port, "Laser"));
  presenter_->Hold();

  Report(port, STATUS_PAPER_OUT, NowSeconds());
  RunStatusCycle();
  ASSERT_TRUE(presenter_->WaitOpen(1));
  RunStatusCycle();
  Report(port, STATUS_OFFLINE, NowSeconds());
  RunStatusCycle();
  ASSERT_TRUE(presenter_->WaitOpen(2));
  RunStatusCycle();
  Report(port, STATUS_READY, NowSeconds());
  RunStatusCycle();
  EXPECT_EQ(printers_->History("Laser"), (History{PRINTER_STATUS_PAPER_OUT, PRINTER_STATUS_PAPER_OUT,
                                                  PRINTER_STATUS_OFFLINE, PRINTER_STATUS_OFFLINE, 0, 0}));
  auto texts = presenter_->Texts();
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"Your printer Laser is Off Line!", "Your printer Laser is Out Of Paper!"}));
  EXPECT_EQ(presenter_->Open(), 2);

  // Shutdown's part: the records go while both boxes are still open.
  UnlinkPort(node);
  FreePrinterList(port);
  FreePortNode(node);
  presenter_->Release();
  EXPECT_TRUE(plat::WaitForAllThreads());
  EXPECT_EQ(presenter_->Open(), 0);
}

// Ages count on the monotonic clock: steps of the calendar, back or forward,
// neither freshen nor age a report.
TEST_F(StatusWorker, ReportIsFreshAt120SecondsAndStaleAt121WhateverTheCalendarSays) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  Report(port, STATUS_OFFLINE, NowSeconds());
  plat::StepCalendarClock(3'600'000);
  plat::AdvanceClock(120'000);
  Cycle();
  EXPECT_EQ(printers_->History("Laser"), (History{PRINTER_STATUS_OFFLINE}));
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_OFFLINE);

  plat::StepCalendarClock(-7'200'000);
  plat::AdvanceClock(1'000);
  Cycle();
  EXPECT_EQ(printers_->History("Laser"), (History{PRINTER_STATUS_OFFLINE, PRINTER_STATUS_NOT_AVAILABLE}));
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_NONE);
}

TEST_F(StatusWorker, PortFromRegistryIsNotAvailableFromTheFirstCycle) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser", "Inkjet"});
  port->dwFromRegistry = 1;  // never reported: tLastReport is 0
  Cycle();
  EXPECT_EQ(printers_->Status("Laser"), PRINTER_STATUS_NOT_AVAILABLE);
  EXPECT_EQ(printers_->Status("Inkjet"), PRINTER_STATUS_NOT_AVAILABLE);
}

TEST_F(StatusWorker, SecondReadyCodeLeavesPrinterStatusAsItWas) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  Report(port, STATUS_READY2, NowSeconds());
  Cycle();
  EXPECT_EQ(printers_->SetCount(), 0);
  EXPECT_EQ(printers_->Status("Laser"), 0xdeadu);
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_READY2);
}

TEST_F(StatusWorker, ReadyClearsTheTroubleOfEveryPrinter) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser", "Inkjet"});
  Report(port, STATUS_READY, NowSeconds());
  Cycle();
  // Mirrored, then cleared once more after the popup step.
  EXPECT_EQ(printers_->History("Laser"), (History{0, 0}));
  EXPECT_EQ(printers_->History("Inkjet"), (History{0, 0}));
}

TEST_F(StatusWorker, PrinterThatCannotBeOpenedIsSkippedAndPortKeepsItsState) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Gone"});
  printers_->RemovePrinter("Gone");
  port->dwNoResponse = 1;
  ASSERT_TRUE(SetPrinterActive(port, "Gone"));
  Report(port, STATUS_OFFLINE, NowSeconds() - 200);
  Cycle();
  EXPECT_EQ(printers_->SetCount(), 0);
  // Stale, but only the status step resets the state, and it did not run.
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_OFFLINE);
  EXPECT_TRUE(presenter_->Boxes().empty());
  port->dwOffline = 1;
  Cycle();
  EXPECT_EQ(presenter_->Texts(), (std::vector<std::string>{"Your printer Gone is Off Line!"}));
}

TEST_F(StatusWorker, PopupsForActivePrintersWithTheirFlagSet) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser", "Idle"});
  port->dwOutOfPaper = 1;
  port->dwOffline = 1;
  port->dwNoResponse = 1;
  ASSERT_TRUE(SetPrinterActive(port, "Laser"));

  Report(port, STATUS_PAPER_OUT, NowSeconds());
  Cycle();
  Report(port, STATUS_OFFLINE, NowSeconds());
  Cycle();
  plat::AdvanceClock(121'000);
  Cycle();  // stale: the no-response box comes in the same cycle
  Report(port, STATUS_READY, NowSeconds());
  Cycle();
  Report(port, STATUS_READY2, NowSeconds());
  Cycle();

  EXPECT_EQ(presenter_->Texts(), (std::vector<std::string>{
                                     "Your printer Laser is Out Of Paper!",
                                     "Your printer Laser is Off Line!",
                                     "There is No Response from your printer Laser",
                                 }));
  for (const auto& box : presenter_->Boxes()) {
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.caption, "Varnhold");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_SETFOREGROUND));
  }
  // The idle printer's status followed the port all the same.
  EXPECT_EQ(printers_->History("Idle"),
            (History{PRINTER_STATUS_PAPER_OUT, PRINTER_STATUS_OFFLINE, PRINTER_STATUS_NOT_AVAILABLE, 0, 0}));
}

TEST_F(StatusWorker, FlagOffSetsTheStatusButShowsNoBox) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  port->dwOffline = 1;  // only off line is wanted
  ASSERT_TRUE(SetPrinterActive(port, "Laser"));
  Report(port, STATUS_PAPER_OUT, NowSeconds());
  Cycle();
  EXPECT_EQ(printers_->Status("Laser"), PRINTER_STATUS_PAPER_OUT);
  plat::AdvanceClock(121'000);
  Cycle();
  EXPECT_EQ(printers_->Status("Laser"), PRINTER_STATUS_NOT_AVAILABLE);
  EXPECT_TRUE(presenter_->Boxes().empty());
}

TEST_F(StatusWorker, InactivePrinterNeverGetsAPopup) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  port->dwOffline = port->dwOutOfPaper = port->dwNoResponse = 1;
  for (BYTE status : {STATUS_OFFLINE, STATUS_PAPER_OUT, STATUS_NONE}) {
    Report(port, status, status == STATUS_NONE ? 0 : NowSeconds());
    Cycle();
  }
  EXPECT_TRUE(presenter_->Boxes().empty());
}

TEST_F(StatusWorker, PopupComesAgainEveryCycleForEachActivePrinter) {
  PortRecord* port = AddOpenPort("BOX_P1", {"A", "B"});
  port->dwOffline = 1;
  ASSERT_TRUE(SetPrinterActive(port, "A"));
  ASSERT_TRUE(SetPrinterActive(port, "B"));
  Report(port, STATUS_OFFLINE, NowSeconds());
  Cycle();
  Cycle();
  auto texts = presenter_->Texts();
  std::sort(texts.begin(), texts.end());  // the two boxes of a cycle come in either order
  EXPECT_EQ(texts, (std::vector<std::string>{"Your printer A is Off Line!", "Your printer A is Off Line!",
                                             "Your printer B is Off Line!", "Your printer B is Off Line!"}));
}

TEST_F(StatusWorker, LongPrinterNameIsCutToTheBox) {
  std::string name(200, 'N');
  PortRecord* port = AddOpenPort("BOX_P1", {name.c_str()});
  port->dwOffline = 1;
  ASSERT_TRUE(SetPrinterActive(port, name.c_str()));
  Report(port, STATUS_OFFLINE, NowSeconds());
  Cycle();
  auto texts = presenter_->Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].size(), static_cast<std::size_t>(MESSAGE_CCH - 1));
  EXPECT_EQ(texts[0], ("Your printer " + name).substr(0, MESSAGE_CCH - 1));
}

TEST_F(StatusWorker, OpenPortWithoutPrintersIsNeitherMirroredNorReset) {
  PortRecord* port = AddOpenPort("BOX_P1", {});
  Report(port, STATUS_OFFLINE, 0);
  Cycle();
  EXPECT_EQ(printers_->SetCount(), 0);
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_OFFLINE);
}

TEST_F(StatusWorker, FilesReportsOfOpenPortsIntoTheirRecords) {
  PortRecord* open = AddOpenPort("BOX_P1", {"Laser"});
  for (const char* name : {"BOX_P1", "BOX_P2"}) {
    ListNode* node = NewPortNode();
    PortRecord* fresh = PortOf(node);
    fresh->pPortName = NewNameBlock(name);
    fresh->pCName = NewNameBlock(name);
    Report(fresh, STATUS_PAPER_OUT, NowSeconds());
    EnterCriticalSection(&ReportLock);
    InsertPort(node, REPORT_LIST);
    LeaveCriticalSection(&ReportLock);
  }
  Cycle();
  EXPECT_EQ(ReadShared(open->Entry.bStatus), STATUS_PAPER_OUT);
  EXPECT_EQ(printers_->Status("Laser"), PRINTER_STATUS_PAPER_OUT);
  EXPECT_NE(FindPort("BOX_P2", AVAILABLE_LIST), nullptr);
  EnterCriticalSection(&ReportLock);
  EXPECT_TRUE(IsEndOfList(FirstPort(REPORT_LIST)));
  LeaveCriticalSection(&ReportLock);
}

TEST_F(StatusWorker, ThreadEndsAtOnceWhenStopIsAlreadySet) {
  WriteShared(StopFlag, static_cast<DWORD>(1));
  HANDLE thread = StartModuleThread(StatusThread, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(printers_->SetCount(), 0);
  CloseHandle(thread);
}

TEST_F(StatusWorker, ThreadRunsACycleEachIntervalUntilStopped) {
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  Report(port, STATUS_PAPER_OUT, NowSeconds());
  WriteShared(RefreshInterval, static_cast<DWORD>(16'000));
  HANDLE thread = StartModuleThread(StatusThread, nullptr);
  ASSERT_TRUE(plat::WaitForSleepers(1));
  EXPECT_EQ(printers_->History("Laser"), (History{PRINTER_STATUS_PAPER_OUT}));

  // Fresh at 112 s (seven intervals), stale at the eighth cycle (128 s).
  for (int cycle = 0; cycle < 8; ++cycle) {
    plat::AdvanceClock(16'000);
    while (printers_->SetCount() < cycle + 2) std::this_thread::yield();
    ASSERT_TRUE(plat::WaitForSleepers(1));
  }
  History history = printers_->History("Laser");
  EXPECT_EQ(history.back(), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE));
  EXPECT_EQ(std::count(history.begin(), history.end(), PRINTER_STATUS_PAPER_OUT), 8);

  // The stop is seen within a second, not at the end of the interval.
  WriteShared(StopFlag, static_cast<DWORD>(1));
  plat::AdvanceClock(1'000);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = STILL_ACTIVE;
  GetExitCodeThread(thread, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(thread);
}

TEST_F(StatusWorker, TimerOfZeroCyclesOnceASecondAndSaysSoOnce) {
  auto dir = std::filesystem::temp_directory_path() / ("tavro_timer0_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  plat::SetWindowsDirectory(dir.string());
  OpenLogFile(ModuleInstance);
  PortRecord* port = AddOpenPort("BOX_P1", {"Laser"});
  Report(port, STATUS_PAPER_OUT, NowSeconds());
  WriteShared(StopFlag, static_cast<DWORD>(0));
  WriteShared(RefreshInterval, static_cast<DWORD>(0));
  HANDLE thread = StartModuleThread(StatusThread, nullptr);
  for (int cycle = 1; cycle <= 3; ++cycle) {
    ASSERT_TRUE(plat::WaitForSleepers(1)) << "the worker does not sleep";
    EXPECT_EQ(printers_->SetCount(), cycle);
    plat::AdvanceClock(1'000);
    while (printers_->SetCount() < cycle + 1) std::this_thread::yield();
  }
  ASSERT_TRUE(plat::WaitForSleepers(1));
  WriteShared(StopFlag, static_cast<DWORD>(1));
  plat::AdvanceClock(1'000);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(thread);
  CloseLogFile();
  std::ifstream in(dir / "TAVRO.log", std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  std::string line = "StatusThread RefreshInterval 0 ms: 1000 ms used";
  ASSERT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line, log.find(line) + 1), std::string::npos) << "logged once";
}

// The cycle's registry scan follows a printer to its new port: from that
// cycle on the printer shows its new port's state, never its old port's.
TEST_F(StatusWorker, AMovedPrinterGetsOnlyItsNewPortsStatus) {
  plat::ResetRegistry();
  const std::string root = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";
  LocalFree(RegistryRoot);
  RegistryRoot = NewNameBlock(root.c_str());
  auto status = plat::ImportRegistry(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\" + root + "\\OLD_P1\\Laser]\n\n"
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\Laser]\n"
      "\"Port\"=\"NEW_P1\"\n");
  ASSERT_TRUE(status.ok) << status.error;
  PortRecord* oldPort = AddOpenPort("OLD_P1", {"Laser"});
  PortRecord* newPort = AddOpenPort("NEW_P1", {});
  Report(oldPort, STATUS_OFFLINE, NowSeconds());
  Report(newPort, STATUS_READY, NowSeconds());
  RunStatusCycle();
  RunStatusCycle();
  EXPECT_EQ(printers_->History("Laser"), (History{0, 0, 0, 0}));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (root + "\\NEW_P1\\Laser").c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

}  // namespace
