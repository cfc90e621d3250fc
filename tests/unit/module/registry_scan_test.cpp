// ScanPrinterRegistry: the monitor's port and printer keys before and after a
// scan, the printer lists it renames in, and the keys and memory it releases.
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "host/clock.h"
#include "host/heap.h"
#include "host/message_box.h"
#include "host/registry.h"
#include "port_fixture.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "status/registry_scan.h"

namespace {

constexpr const char* kRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\TAVRO";
constexpr const char* kPrinters = "System\\CurrentControlSet\\Control\\Print\\Printers";

class CountingPresenter : public plat::MessagePresenter {
 public:
  int Present(const plat::MessageBoxRequest&) override { return ++count, IDOK; }
  int count = 0;
};

class RegistryScan : public porttest::PortListTest {
 protected:
  void SetUp() override {
    plat::ResetRegistry();
    plat::UseManualClock();
    porttest::PortListTest::SetUp();
    RegistryRoot = NewNameBlock(kRoot);
    presenter_ = std::make_shared<CountingPresenter>();
    plat::SetMessagePresenter(presenter_);
    Make(kRoot);
    Make(kPrinters);
  }
  void TearDown() override {
    EXPECT_EQ(plat::OpenKeyHandleCount(), 0u) << "the scan left keys open";
    LocalFree(RegistryRoot);
    RegistryRoot = nullptr;
    plat::SetMessagePresenter(nullptr);
    porttest::PortListTest::TearDown();
  }

  static void Make(const std::string& path) {
    HKEY key = nullptr;
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS) << path;
    RegCloseKey(key);
  }

  // A port key with its flags ("101": Offline, OutOfPaper, NoResponse; empty:
  // none stored) and its printer keys.
  static void PortKey(const char* port, const char* flags, std::initializer_list<const char*> printers) {
    std::string path = std::string(kRoot) + "\\" + port;
    HKEY key = nullptr;
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS);
    const char* names[] = {"Offline", "OutOfPaper", "NoResponse"};
    for (int i = 0; flags[i] != '\0'; ++i) WriteFlagValue(key, names[i], static_cast<DWORD>(flags[i] - '0'));
    RegCloseKey(key);
    for (const char* printer : printers) Make(path + "\\" + printer);
  }

  // A spooler printer; a null port leaves out its "Port" value.
  static void SpoolerPrinter(const char* name, const char* port) {
    std::string path = std::string(kPrinters) + "\\" + name;
    HKEY key = nullptr;
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS);
    if (port != nullptr) {
      RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(port),
                     static_cast<DWORD>(std::strlen(port) + 1));
    }
    RegCloseKey(key);
  }

  // The monitor's keys as "PORT(flags){printer,...}" in key order; a flag
  // that is not stored shows as '-'.
  static std::string State() {
    HKEY root = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_READ, &root), ERROR_SUCCESS);
    std::string state;
    char port[MAX_PATH];
    for (DWORD i = 0; RegEnumKeyA(root, i, port, sizeof port) == ERROR_SUCCESS; ++i) {
      HKEY key = nullptr;
      EXPECT_EQ(RegOpenKeyExA(root, port, 0, KEY_READ, &key), ERROR_SUCCESS);
      if (!state.empty()) state += ' ';
      state += std::string(port) + "(";
      for (const char* flag : {"Offline", "OutOfPaper", "NoResponse"}) {
        BYTE b = 0;
        DWORD cb = 1;
        state += RegQueryValueExA(key, flag, nullptr, nullptr, &b, &cb) == ERROR_SUCCESS ? char('0' + b) : '-';
      }
      state += "){";
      char printer[MAX_PATH];
      for (DWORD j = 0; RegEnumKeyA(key, j, printer, sizeof printer) == ERROR_SUCCESS; ++j) {
        state += (j ? "," : "") + std::string(printer);
      }
      state += "}";
      RegCloseKey(key);
    }
    RegCloseKey(root);
    return state;
  }

  // A port in OpenList with a printer list.
  static PortRecord* OpenPortWith(const char* name, std::initializer_list<const char*> printers) {
    ListNode* node = porttest::MakePort(name);
    PortRecord* record = PortOf(node);
    EXPECT_TRUE(CreatePrinterList(record));
    for (const char* printer : printers) EXPECT_TRUE(AddPrinter(record, printer));
    ListLock open(&OpenLock);
    InsertPort(node, OPEN_LIST);
    return record;
  }

  // A port that reports made available.
  static void AvailablePort(const char* name) {
    ListNode* node = porttest::MakePort(name);
    ListLock available(&AvailableLock);
    InsertPort(node, AVAILABLE_LIST);
  }

  // The printers of a port that get its status (not marked as moved away).
  static std::vector<std::string> AttachedPrintersOf(PortRecord* record) {
    std::vector<std::string> names;
    for (ListNode* n = FirstPrinter(record); n != nullptr; n = ListNext(n)) {
      if (PrinterOf(n)->dwDetached == 0) names.emplace_back(PrinterNameOf(PrinterOf(n)));
    }
    return names;
  }

  static std::vector<std::string> PrintersOf(PortRecord* record) {
    std::vector<std::string> names;
    for (ListNode* n = FirstPrinter(record); n != nullptr && n->bKind != NODE_HEAD; n = ListNext(n)) {
      names.emplace_back(PrinterNameOf(PrinterOf(n)));
    }
    return names;
  }

  // Last write time of a key below the root, to show that nothing was written.
  static ULONGLONG WriteTime(const char* parent, const char* name) {
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, parent, 0, KEY_READ, &key), ERROR_SUCCESS);
    char found[MAX_PATH];
    FILETIME ft{0, 0};
    for (DWORD i = 0;; ++i) {
      DWORD cch = sizeof found;
      if (RegEnumKeyExA(key, i, found, &cch, nullptr, nullptr, nullptr, &ft) != ERROR_SUCCESS) break;
      if (std::string(found) == name) break;
    }
    RegCloseKey(key);
    return (ULONGLONG{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  }

  std::shared_ptr<CountingPresenter> presenter_;
};

TEST_F(RegistryScan, APrinterWhosePortValueNamesItsPortKeyWritesNothing) {
  PortKey("PS1_P1", "101", {"Laser"});
  SpoolerPrinter("Laser", "PS1_P1");
  std::string before = plat::ExportRegistry();
  ULONGLONG portTime = WriteTime(kRoot, "PS1_P1");
  plat::AdvanceClock(5000);
  ScanPrinterRegistry();
  EXPECT_EQ(plat::ExportRegistry(), before);
  EXPECT_EQ(WriteTime(kRoot, "PS1_P1"), portTime);
  EXPECT_EQ(presenter_->count, 0);
}

TEST_F(RegistryScan, AMovedPrinterTakesItsOldPortsFlagsToTheNewPortKey) {
  PortKey("PS1_P1", "101", {"Laser"});
  PortKey("PS2_P1", "010", {"Ink"});
  SpoolerPrinter("Laser", "PS2_P1");
  SpoolerPrinter("Ink", "PS2_P1");
  PortRecord* p1 = OpenPortWith("PS1_P1", {"Laser"});
  PortRecord* p2 = OpenPortWith("PS2_P1", {"Ink"});
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(101){} PS2_P1(101){Ink,Laser}");
  // In memory the printer follows too: its old port's status no longer
  // reaches it, its new port's does.
  EXPECT_EQ(AttachedPrintersOf(p1), std::vector<std::string>{});
  EXPECT_EQ(AttachedPrintersOf(p2), (std::vector<std::string>{"Ink", "Laser"}));
  // Moved back, it is the old port's again.
  SpoolerPrinter("Laser", "PS1_P1");
  ScanPrinterRegistry();
  EXPECT_EQ(AttachedPrintersOf(p1), std::vector<std::string>{"Laser"});
  EXPECT_EQ(AttachedPrintersOf(p2), std::vector<std::string>{"Ink"});

  // A port key that does not exist yet is made, flags and all; a flag missing
  // at the old port arrives as 0.
  AvailablePort("PS4_P1");
  PortKey("PS3_P1", "1", {"Matrix"});
  SpoolerPrinter("Matrix", "PS4_P1");
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(101){Laser} PS2_P1(101){Ink} PS3_P1(1--){} PS4_P1(100){Matrix}");
}

// Only ports of this monitor get keys: a printer that now prints to no port
// of ours loses its key, one in a pool with some of ours keeps it, and no key
// is ever made for another monitor's port, a pool or an empty name.
TEST_F(RegistryScan, APrinterMovedOffOurPortsMakesNoKeyForTheForeignName) {
  struct Case {
    const char* port;
    const char* state;
    bool attached;
  } cases[] = {
      {"LPT1:", "PS1_P1(110){} PS2_P1(000){}", false},
      {"", "PS1_P1(110){} PS2_P1(000){}", false},
      {"LPT1:,LPT2:", "PS1_P1(110){} PS2_P1(000){}", false},
      {"PS2_P1,LPT1:", "PS1_P1(110){Laser} PS2_P1(000){}", false},
      {"LPT1:,PS1_P1", "PS1_P1(110){Laser} PS2_P1(000){}", true},
  };
  PortRecord* p1 = OpenPortWith("PS1_P1", {"Laser"});
  AvailablePort("PS2_P1");
  for (const Case& c : cases) {
    PortKey("PS1_P1", "110", {"Laser"});
    PortKey("PS2_P1", "000", {});
    SpoolerPrinter("Laser", c.port);
    ScanPrinterRegistry();
    EXPECT_EQ(State(), c.state) << '"' << c.port << '"';
    EXPECT_EQ(AttachedPrintersOf(p1).size(), c.attached ? 1u : 0u) << '"' << c.port << '"';
    SetPrinterDetached(p1, "Laser", 0);
  }
}

TEST_F(RegistryScan, PortValuesCompareCaseSensitivelyButAKeyThatDiffersOnlyInCaseIsTheSameKey) {
  // "ps1_p1" names PS1_P1's own key to the registry: moving there would delete
  // the printer's only key, so nothing changes.
  PortKey("PS1_P1", "101", {"Laser"});
  SpoolerPrinter("Laser", "ps1_p1");
  std::string before = plat::ExportRegistry();
  ScanPrinterRegistry();
  EXPECT_EQ(plat::ExportRegistry(), before);
  EXPECT_EQ(State(), "PS1_P1(101){Laser}");

  // A vanished printer's successor must name the port exactly.
  PortKey("PS2_P1", "000", {"Gone"});
  SpoolerPrinter("Near", "ps2_p1");
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(101){Laser} PS2_P1(000){Gone}");
}

TEST_F(RegistryScan, APortKeyInLowerCaseKeepsItsPrinterWhosePortValueIsInUpperCase) {
  PortKey("ps1_p1", "101", {"Laser"});
  SpoolerPrinter("Laser", "PS1_P1");
  std::string before = plat::ExportRegistry();
  ScanPrinterRegistry();
  EXPECT_EQ(plat::ExportRegistry(), before);
  EXPECT_EQ(State(), "ps1_p1(101){Laser}");
}

TEST_F(RegistryScan, ARenamedPrinterIsRenamedInItsPortKeyAndInThePortsPrinterList) {
  PortKey("PS1_P1", "100", {"Old"});
  SpoolerPrinter("New", "PS1_P1");
  SpoolerPrinter("Elsewhere", "PS9_P9");
  PortRecord* p1 = OpenPortWith("PS1_P1", {"Old", "Other"});
  PortRecord* p2 = OpenPortWith("PS2_P1", {"Old"});
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(100){New}");
  EXPECT_EQ(PrintersOf(p1), (std::vector<std::string>{"New", "Other"}));
  EXPECT_EQ(PrintersOf(p2), std::vector<std::string>{"Old"}) << "another port's list is not touched";
}

TEST_F(RegistryScan, ADeletedPrinterIsReplacedByEveryPrinterThatStillPrintsToItsPort) {
  PortKey("PS1_P1", "000", {"Gone", "Other"});
  SpoolerPrinter("Other", "PS1_P1");
  SpoolerPrinter("Third", "PS1_P1");
  PortRecord* p1 = OpenPortWith("PS1_P1", {"Gone", "Other"});
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(000){Other,Third}");
  // The search does not stop at the first match: "Gone" became "Other", and
  // then there was no "Gone" left for "Third".
  EXPECT_EQ(PrintersOf(p1), (std::vector<std::string>{"Other", "Other"}));
}

TEST_F(RegistryScan, ADeletedPrinterWithoutASuccessorStaysAndAPrinterWithoutPortValueIsLeftAlone) {
  PortKey("PS1_P1", "000", {"Gone", "NoPort"});
  SpoolerPrinter("NoPort", nullptr);
  SpoolerPrinter("Elsewhere", "PS2_P1");
  std::string before = plat::ExportRegistry();
  ScanPrinterRegistry();
  ScanPrinterRegistry();
  EXPECT_EQ(plat::ExportRegistry(), before);
}

TEST_F(RegistryScan, AKeyThatMovesUpIntoAFreedPlaceIsExaminedInTheNextCycle) {
  AvailablePort("PS2_P1");
  PortKey("PS1_P1", "001", {"A", "B"});
  SpoolerPrinter("A", "PS2_P1");
  SpoolerPrinter("B", "PS2_P1");
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(001){B} PS2_P1(001){A}");
  ScanPrinterRegistry();
  EXPECT_EQ(State(), "PS1_P1(001){} PS2_P1(001){A,B}");
}

TEST_F(RegistryScan, WithoutTheMonitorsKeyTheScanDoesNothing) {
  LocalFree(RegistryRoot);
  RegistryRoot = NewNameBlock("System\\Missing\\TAVRO");
  std::string before = plat::ExportRegistry();
  ScanPrinterRegistry();
  EXPECT_EQ(plat::ExportRegistry(), before);
}

TEST_F(RegistryScan, ShortMemoryReleasesEverythingAndShowsTheMessageOnce) {
  AvailablePort("PS2_P1");
  PortKey("PS1_P1", "000", {"Laser"});
  SpoolerPrinter("Laser", "PS2_P1");
  // Allocations 1-4 are the name buffers, 5 the path of the first printer.
  for (std::uint64_t n = 1; n <= 5; ++n) {
    std::int64_t blocks = plat::LiveLocalBlocks();
    presenter_->count = 0;
    plat::FailNthAllocation(n);
    ScanPrinterRegistry();
    plat::ResetAllocationFaults();
    EXPECT_EQ(presenter_->count, 1) << "allocation " << n;
    EXPECT_EQ(plat::LiveLocalBlocks(), blocks) << "allocation " << n;
    EXPECT_EQ(plat::OpenKeyHandleCount(), 0u) << "allocation " << n;
    EXPECT_EQ(State(), "PS1_P1(000){Laser}") << "allocation " << n;
  }
  presenter_->count = 0;
  ScanPrinterRegistry();
  EXPECT_EQ(presenter_->count, 0);
  EXPECT_EQ(State(), "PS1_P1(000){} PS2_P1(000){Laser}");
}

}  // namespace
