// Start-up from registry states: the adapter map, "Timer", remembered ports.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "base/settings.h"
#include "diag/log.h"
#include "host/heap.h"
#include "host/netbios.h"
#include "host/registry.h"
#include "host/system.h"
#include "monitor/lifecycle.h"
#include "monitor_fixture.h"
#include "netbios/lana.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

namespace {

using monitor_test::ModuleTest;

const char kRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";
const char kRootKey[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";
const char kPrinters[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\";
const char kMapKey[] = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Rpc\\Netbios]\n";

class StartUp : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    plat::ResetRegistry();
    plat::ResetNetbios();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavro_init_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    plat::SetWindowsDirectory(dir_.string());
    OpenLogFile(ModuleInstance);
    // The threads that start-up starts end at once: these tests look at what
    // start-up made, not at what the threads do with it.
    WriteShared(StopFlag, static_cast<DWORD>(1));
    plat::SetNetbiosTrace([this](const NCB& ncb) {
      std::lock_guard lock(traceMutex_);
      trace_.push_back({ncb.ncb_command, ncb.ncb_lana_num});
    });
  }
  void TearDown() override {
    plat::SetNetbiosTrace({});
    ShutDownModule();
    ModuleTest::TearDown();
    std::filesystem::remove_all(dir_);
  }

  // Adapters 0..count-1 on the loop segment, and their values in the map.
  void AddAdapters(int count) {
    std::string text = "REGEDIT4\n\n" + std::string(kMapKey);
    for (int i = 0; i < count; ++i) {
      plat::NetbiosAdapterConfig config;
      config.lana = static_cast<UCHAR>(i);
      config.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, static_cast<UCHAR>(i)};
      ASSERT_TRUE(plat::AddNetbiosAdapter(config));
      text += "\"ncacn_nb_nb" + std::to_string(i) + "\"=\"" + std::to_string(i) + "\"\n";
    }
    Import(text);
  }

  static void Import(const std::string& text) {
    auto status = plat::ImportRegistry(text);
    ASSERT_TRUE(status.ok) << status.error;
  }

  // Runs InitMonitor while module time moves on, as the spooler's thread would.
  BOOL RunInitMonitor(const char* root = kRoot) {
    auto result = std::async(std::launch::async, [root] { return InitMonitor(root); });
    while (result.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
      plat::AdvanceClock(100);
    }
    EXPECT_TRUE(plat::WaitForAllThreads());
    return result.get();
  }

  std::string Log() {
    std::ifstream in(dir_ / "TAVRO.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  int Commands(UCHAR command, int lana = -1) {
    std::lock_guard lock(traceMutex_);
    int count = 0;
    for (auto [cmd, l] : trace_) count += cmd == command && (lana < 0 || l == lana);
    return count;
  }

  static std::string Messages(const std::vector<plat::MessageBoxRequest>& boxes) {
    std::string all;
    for (const auto& box : boxes) all += box.text + "|";
    return all;
  }

  static DWORD QueryDword(const std::string& key, const char* value) {
    HKEY hKey = nullptr;
    DWORD data = 0xdeadbeef;
    DWORD size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return data;
    RegQueryValueExA(hKey, value, nullptr, nullptr, reinterpret_cast<LPBYTE>(&data), &size);
    RegCloseKey(hKey);
    return data;
  }

  static bool KeyExists(const std::string& key) {
    HKEY hKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
    RegCloseKey(hKey);
    return true;
  }

  std::filesystem::path dir_;
  std::mutex traceMutex_;
  std::vector<std::pair<UCHAR, UCHAR>> trace_;
};

TEST_F(StartUp, TwoAdaptersGiveTwoRecordsAndOnlyTheFirstIsReset) {
  AddAdapters(2);
  ASSERT_TRUE(RunInitMonitor());
  ASSERT_EQ(LanaCount, 2u);
  EXPECT_EQ(LanaRecords[0].bLanaNum, 0);
  EXPECT_EQ(LanaRecords[1].bLanaNum, 1);
  EXPECT_STREQ(LanaRecords[0].szLocalName, "OV_007856341202");
  EXPECT_STREQ(LanaRecords[1].szLocalName, "OV_017856341202");
  EXPECT_EQ(Commands(NCBRESET, 0), 1);
  EXPECT_EQ(Commands(NCBRESET, 1), 0);
  EXPECT_EQ(Commands(NCBADDGRNAME, 0), 2);
  EXPECT_EQ(Commands(NCBADDGRNAME, 1), 2);
  EXPECT_EQ(Commands(NCBADDNAME, 1), 1);
  EXPECT_NE(Log().find("InitMonitor nw.bLanaNum: 00"), std::string::npos) << Log();
  EXPECT_NE(Log().find("InitMonitor nw.bLanaNum: 01"), std::string::npos);
  EXPECT_NE(ThreadHandles[0], nullptr);
  EXPECT_NE(ThreadHandles[1], nullptr);
  EXPECT_EQ(ThreadHandles[2], nullptr);
  EXPECT_NE(ThreadHandles[STATUS_THREAD_SLOT], nullptr);
  EXPECT_TRUE(presenter_->Boxes().empty()) << Messages(presenter_->Boxes());
}

TEST_F(StartUp, ReturnsOnlyAfterThreeSecondsOfModuleTime) {
  AddAdapters(1);
  auto result = std::async(std::launch::async, [] { return InitMonitor(kRoot); });
  // Module time stands still until start-up sleeps with every thread it
  // started asleep or gone: its sleep began at the clock's start.
  auto quiet = [] { return plat::SleeperCount() + plat::NetbiosWaiterCount() >= plat::LiveThreadCount() + 1; };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!quiet() && result.wait_for(std::chrono::seconds(0)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  plat::AdvanceClock(2999);
  EXPECT_EQ(result.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  plat::AdvanceClock(1);
  ASSERT_EQ(result.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_TRUE(plat::WaitForAllThreads());
}

TEST_F(StartUp, NoAdapterValueStartsWithRememberedPortsOnly) {
  AddAdapters(0);
  plat::NetbiosAdapterConfig config;
  config.lana = 3;
  ASSERT_TRUE(plat::AddNetbiosAdapter(config));
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"ncacn_ip_tcp\"=\"3\"\n\n" + kRootKey + "\\BOX_P1]\n");
  ASSERT_TRUE(RunInitMonitor());
  EXPECT_EQ(LanaCount, 0u);
  EXPECT_EQ(Commands(NCBRESET), 0);
  EXPECT_EQ(ThreadHandles[0], nullptr);
  EXPECT_NE(ThreadHandles[STATUS_THREAD_SLOT], nullptr);
  EnterCriticalSection(&ReportLock);
  EXPECT_NE(FindPort("BOX_P1", REPORT_LIST), nullptr);
  LeaveCriticalSection(&ReportLock);
}

TEST_F(StartUp, ValueWithoutSuffixCountsAsAnAdapter) {
  AddAdapters(1);
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"ncacn_nb_nb\"=\"0\"\n\"NCACN_NB_NB7\"=\"7\"\n");
  ASSERT_TRUE(RunInitMonitor());
  EXPECT_EQ(LanaCount, 2u);  // ncacn_nb_nb0 and ncacn_nb_nb; the upper-case one does not count
}

TEST_F(StartUp, TenAdaptersGiveEightRecordsAndEveryOneItsNames) {
  AddAdapters(10);
  ASSERT_TRUE(RunInitMonitor());
  EXPECT_EQ(LanaCount, 8u);
  for (int i = 0; i < 8; ++i) EXPECT_NE(ThreadHandles[i], nullptr) << i;
  for (int lana = 0; lana < 10; ++lana) EXPECT_EQ(Commands(NCBADDGRNAME, lana), 2) << lana;
  EXPECT_EQ(Commands(NCBRESET), 1);
}

TEST_F(StartUp, ValueNameOf32CharactersStopsWithMessage522) {
  AddAdapters(1);
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"" + std::string(32, 'x') + "\"=\"1\"\n");
  EXPECT_FALSE(RunInitMonitor());
  auto boxes = presenter_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Varnhold cannot find required info in the Registry");
  EXPECT_EQ(boxes[0].caption, "Varnhold");
  EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK | MB_SETFOREGROUND));
  EXPECT_NE(Log().find("InitMonitor RegEnumValue to find Lana failed"), std::string::npos);
  EXPECT_EQ(ThreadHandles[STATUS_THREAD_SLOT], nullptr);
}

TEST_F(StartUp, ValueNameOf31CharactersIsRead) {
  AddAdapters(1);
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"" + std::string(31, 'x') + "\"=\"1\"\n");
  EXPECT_TRUE(RunInitMonitor());
  EXPECT_EQ(LanaCount, 1u);
}

TEST_F(StartUp, MissingMapOrNoAdapterAsksForNetBEUI) {
  plat::NetbiosAdapterConfig config;
  ASSERT_TRUE(plat::AddNetbiosAdapter(config));
  EXPECT_FALSE(RunInitMonitor());
  EXPECT_EQ(Messages(presenter_->Boxes()), "You must enable the NetBEUI protocol.|");

  presenter_->Clear();
  plat::ResetNetbios();
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"ncacn_nb_nb0\"=\"0\"\n");
  EXPECT_FALSE(InitMonitor(kRoot));  // no adapter at all: fails before any wait
  EXPECT_EQ(Messages(presenter_->Boxes()), "You must enable the NetBEUI protocol.|");
}

TEST_F(StartUp, FirstAllocationFailingShowsMessage516) {
  AddAdapters(1);
  plat::FailNthAllocation(1);
  EXPECT_FALSE(RunInitMonitor());
  plat::ResetAllocationFaults();
  EXPECT_EQ(Messages(presenter_->Boxes()), "There is not enough memory left!|");
}

struct TimerCase {
  const char* name;
  const char* stored;  // REGEDIT4 data, or null for no value
  DWORD intervalMs;
  DWORD storedAfter;
  bool overflowLogged;
};

class StartUpTimer : public StartUp, public ::testing::WithParamInterface<TimerCase> {};

TEST_P(StartUpTimer, ReadsTimerAndWritesVersion) {
  const TimerCase& c = GetParam();
  AddAdapters(1);
  std::string text = std::string("REGEDIT4\n\n") + kRootKey + "]\n";
  if (c.stored != nullptr) text += std::string("\"Timer\"=") + c.stored + "\n";
  Import(text);
  ASSERT_TRUE(RunInitMonitor());
  EXPECT_EQ(RefreshInterval, c.intervalMs);
  EXPECT_EQ(GetConfiguredInterval(), c.intervalMs);
  EXPECT_EQ(QueryDword(kRoot, "Timer"), c.storedAfter);
  EXPECT_EQ(Log().find("InitMonitor dwKeyValue Timer overflow") != std::string::npos, c.overflowLogged);
  char version[8] = {};
  DWORD size = sizeof version;
  DWORD type = 0;
  HKEY hKey = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_READ, &hKey), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(hKey, "Version", nullptr, &type, reinterpret_cast<LPBYTE>(version), &size),
            ERROR_SUCCESS);
  RegCloseKey(hKey);
  EXPECT_STREQ(version, "1.04");
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
}

INSTANTIATE_TEST_SUITE_P(Values, StartUpTimer,
                         ::testing::Values(TimerCase{"Missing", nullptr, 16000, 16, false},
                                           TimerCase{"Zero", "dword:00000000", 0, 0, false},
                                           TimerCase{"Five", "dword:00000005", 5000, 5, false},
                                           TimerCase{"Max999", "dword:000003e7", 999000, 999, false},
                                           TimerCase{"Over1000", "dword:000003e8", 16000, 16, true}),
                         [](const ::testing::TestParamInfo<TimerCase>& info) { return info.param.name; });

TEST_F(StartUp, MonitorKeyIsCreatedWhenMissing) {
  AddAdapters(1);
  ASSERT_TRUE(RunInitMonitor());
  EXPECT_TRUE(KeyExists(kRoot));
  EXPECT_EQ(RefreshInterval, 16000u);
}

TEST_F(StartUp, RememberedPortsWithAndWithoutPrintersAndAVanishedPrinter) {
  AddAdapters(1);
  Import(std::string("REGEDIT4\n\n") +                                              //
         kRootKey + "\\BOX_P1]\n\"Offline\"=hex:01\n\"OutOfPaper\"=hex:00\n\"NoResponse\"=hex:01\n\n" +  //
         kRootKey + "\\BOX_P1\\A]\n\n" +                                             //
         kRootKey + "\\BOX_P1\\B]\n\n" +                                             //
         kRootKey + "\\BOX_P1\\C]\n\n" +                                             //
         kRootKey + "\\BOX_P2]\n\"OutOfPaper\"=hex:01\n\n" +                         //
         kPrinters + "B]\n\"Port\"=\"BOX_P1\"\n\n" +                                 //
         kPrinters + "C]\n\"Port\"=\"BOX_P1\"\n");
  ASSERT_TRUE(RunInitMonitor());

  std::string root = kRoot;
  EXPECT_FALSE(KeyExists(root + "\\BOX_P1\\A"));
  EXPECT_TRUE(KeyExists(root + "\\BOX_P1\\B"));
  EXPECT_TRUE(KeyExists(root + "\\BOX_P1\\C"));

  ListNode* open = FindPort("BOX_P1", OPEN_LIST);
  ASSERT_NE(open, nullptr);
  PortRecord* p1 = PortOf(open);
  EXPECT_FALSE(HasPrinter(p1, "A"));
  EXPECT_TRUE(HasPrinter(p1, "B"));
  EXPECT_TRUE(HasPrinter(p1, "C"));
  EXPECT_EQ(p1->dwOffline, 1u);
  EXPECT_EQ(p1->dwOutOfPaper, 0u);
  EXPECT_EQ(p1->dwNoResponse, 1u);
  EXPECT_EQ(p1->dwFromRegistry, 1u);
  EXPECT_EQ(p1->dwListed, 1u);
  EXPECT_EQ(p1->tLastReport, 0u);
  EXPECT_STREQ(p1->pPortName, "BOX_P1");
  EXPECT_STREQ(p1->pCName, "BOX_P1");
  EXPECT_NE(p1->pPortName, p1->pCName);
  EXPECT_EQ(p1->pMonitorName, MonitorNameText);
  EXPECT_EQ(p1->pDescription, DescriptionText);
  EXPECT_STREQ(MonitorNameText, "Local Port");
  EXPECT_STREQ(DescriptionText, "Print Server Port");
  EXPECT_STREQ(p1->szLocalName, LanaRecords[0].szLocalName);

  EXPECT_EQ(FindPort("BOX_P2", OPEN_LIST), nullptr);
  EnterCriticalSection(&ReportLock);
  ListNode* report = FindPort("BOX_P2", REPORT_LIST);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(PortOf(report)->pPrinters, nullptr);
  // Missing values read 0, whatever was read before them.
  EXPECT_EQ(PortOf(report)->dwOffline, 0u);
  EXPECT_EQ(PortOf(report)->dwOutOfPaper, 1u);
  EXPECT_EQ(PortOf(report)->dwNoResponse, 0u);
  LeaveCriticalSection(&ReportLock);
  EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);
}

// A root that is empty, missing or too long for its block would point start-up
// at another key, which it would take ports from and delete keys under.
TEST_F(StartUp, RegistryRootThatIsEmptyOrTooLongFailsAndTouchesNothing) {
  AddAdapters(1);
  Import(std::string("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Leaf]\n\n"));
  std::string root259 = "SOFTWARE\\" + std::string(250, 'r');
  std::string root260 = root259 + "x";
  const char* roots[] = {"", nullptr, root260.c_str()};
  for (const char* root : roots) {
    std::string before = plat::ExportRegistry();
    EXPECT_FALSE(InitMonitor(root));
    EXPECT_EQ(plat::ExportRegistry(), before);
    EXPECT_EQ(Commands(NCBRESET), 0);
    EXPECT_EQ(ThreadHandles[STATUS_THREAD_SLOT], nullptr);
  }
  EXPECT_NE(Log().find("InitMonitor registry root empty or longer than 259 characters"), std::string::npos);
  ASSERT_TRUE(RunInitMonitor(root259.c_str()));
  EXPECT_EQ(std::string(RegistryRoot), root259);
  EXPECT_TRUE(KeyExists("SOFTWARE\\Leaf"));
}

// The map's data is the LANA number in decimal; the first usable adapter is
// the one reset.
TEST_F(StartUp, LanaNumbersAreWholeDecimalsFrom0To254) {
  for (UCHAR lana : {UCHAR{12}, UCHAR{254}}) {
    plat::NetbiosAdapterConfig config;
    config.lana = lana;
    config.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, lana};
    ASSERT_TRUE(plat::AddNetbiosAdapter(config));
  }
  Import(std::string("REGEDIT4\n\n") + kMapKey +
         "\"ncacn_nb_nb1\"=\"255\"\n\"ncacn_nb_nb2\"=\"1x\"\n\"ncacn_nb_nb3\"=\"\"\n"
         "\"ncacn_nb_nb4\"=\" 7\"\n\"ncacn_nb_nb5\"=\"12\"\n\"ncacn_nb_nb6\"=\"254\"\n");
  ASSERT_TRUE(RunInitMonitor());
  ASSERT_EQ(LanaCount, 2u);
  EXPECT_EQ(LanaRecords[0].bLanaNum, 12);
  EXPECT_EQ(LanaRecords[1].bLanaNum, 254);
  EXPECT_EQ(Commands(NCBRESET), 1);
  EXPECT_EQ(Commands(NCBRESET, 12), 1);
  for (const char* name : {"ncacn_nb_nb1", "ncacn_nb_nb2", "ncacn_nb_nb3", "ncacn_nb_nb4"}) {
    EXPECT_NE(Log().find(std::string("InitMonitor ") + name + ": no LANA number from 0 to 254, skipped"),
              std::string::npos)
        << name << "\n"
        << Log();
  }
}

// Start-up's own log lines for a failed reset, lists it cannot make and
// threads it cannot start; only the lists stop it.
TEST_F(StartUp, LogsAFailedResetListsItCannotMakeAndThreadsItCannotStart) {
  AddAdapters(2);
  Import(std::string("REGEDIT4\n\n") + kMapKey + "\"ncacn_nb_nb0\"=\"7\"\n");
  plat::FailNthThreadCreation(1);
  ASSERT_TRUE(RunInitMonitor());
  plat::FailNthThreadCreation(0);
  EXPECT_NE(Log().find("InitMonitor Reset ret: 23"), std::string::npos) << Log();
  EXPECT_NE(Log().find("Initialize Monitor CreateThread failed: 8"), std::string::npos) << Log();
  EXPECT_EQ(ThreadHandles[STATUS_THREAD_SLOT], nullptr);

  // A second start in the same process: the first one's texts and thread
  // handles go first.
  for (LPSTR* text : {&RegistryRoot, &DescriptionText, &MonitorNameText}) {
    LocalFree(*text);
    *text = nullptr;
  }
  for (HANDLE& thread : ThreadHandles) {
    if (thread != nullptr) CloseHandle(thread);
    thread = nullptr;
  }
  plat::FailNthThreadCreation(2);
  ASSERT_TRUE(RunInitMonitor());
  plat::FailNthThreadCreation(0);
  EXPECT_NE(Log().find("Initialize Monitor CreateThread failed: 0"), std::string::npos) << Log();

  // The first start made the lists; without them the allocation that fails
  // is InitLists' first head, whatever start-up allocates before it.
  FreeLists();
  for (std::uint64_t n = 1; Log().find("InitMonitor InitLists failed") == std::string::npos; ++n) {
    ASSERT_LT(n, 50u) << Log();
    plat::FailNthAllocation(n);
    EXPECT_FALSE(RunInitMonitor());
    plat::ResetAllocationFaults();
  }
}

}  // namespace
