// DllMain, InitializeMonitorEx and its table, and ShutdownMonitor's waits.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "base/settings.h"
#include "diag/log.h"
#include "host/dialog.h"
#include "host/dialog_script.h"
#include "host/netbios.h"
#include "host/registry.h"
#include "monitor/lifecycle.h"
#include "monitor/monitor_table.h"
#include "monitor_fixture.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "spool/port_operations.h"

namespace {

using monitor_test::AdvanceUntilReady;
using monitor_test::ModuleTest;

const char kRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";

class MonitorEntry : public ModuleTest {
 protected:
  void SetUp() override {
    ModuleTest::SetUp();
    plat::ResetRegistry();
    plat::ResetNetbios();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavro_entry_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    plat::SetWindowsDirectory(dir_.string());
  }
  void TearDown() override {
    // A second unload frees what the first kept for a thread that still ran.
    ShutDownModule();
    ModuleTest::TearDown();
    std::filesystem::remove_all(dir_);
  }

  // One adapter, in the map unless `listed` is false, and the refresh
  // interval in seconds.
  static void PrepareStart(DWORD timerSeconds, bool listed = true) {
    plat::NetbiosAdapterConfig config;
    config.hardwareAddress = {2, 0x12, 0x34, 0x56, 0x78, 0x9a};
    config.inAdapterMap = listed;
    ASSERT_TRUE(plat::AddNetbiosAdapter(config));
    ASSERT_TRUE(plat::WriteNetbiosAdapterMap());
    HKEY hKey = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, const_cast<LPSTR>("REG_SZ"), 0, KEY_ALL_ACCESS,
                              nullptr, &hKey, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(hKey, "Timer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&timerSeconds),
                   sizeof timerSeconds);
    RegCloseKey(hKey);
  }

  // InitializeMonitorEx on a spooler thread while module time moves on;
  // `awake` threads are held on purpose.
  static BOOL Initialize(LPMONITOR table, int awake = 0) {
    auto done = std::async(std::launch::async,
                           [table] { return InitializeMonitorEx(const_cast<LPSTR>(kRoot), table); });
    AdvanceUntilReady(done, awake);
    return done.get();
  }

  // Process detach; returns the module milliseconds it took.
  static std::uint64_t Detach(int awake = 0) {
    auto done = std::async(std::launch::async, [] { return DllMain(ModuleInstance, DLL_PROCESS_DETACH, nullptr); });
    std::uint64_t elapsed = AdvanceUntilReady(done, awake);
    EXPECT_TRUE(done.get());
    return elapsed;
  }

  std::string Log() {
    std::ifstream in(dir_ / "TAVRO.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::filesystem::path dir_;
};

TEST_F(MonitorEntry, AttachStartsTheLogWithItsFirstLine) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  std::string log = Log();
  // MM/DD/YYHH:MM:SS, then the label.
  ASSERT_GE(log.size(), 16u);
  EXPECT_EQ(log.substr(16, std::strlen("Initialize Print Monitor Log File")), "Initialize Print Monitor Log File");
  EXPECT_TRUE(DllMain(ModuleInstance, DLL_THREAD_ATTACH, nullptr));
  EXPECT_TRUE(DllMain(ModuleInstance, DLL_THREAD_DETACH, nullptr));
}

TEST_F(MonitorEntry, DetachWithoutStartUpCompletesAtOnce) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  EXPECT_EQ(Detach(), 0u);
}

TEST_F(MonitorEntry, FailedStartLeavesTheTableAsItWas) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  MONITOR table;
  std::memset(&table, 0xAB, sizeof table);
  MONITOR before = table;
  EXPECT_FALSE(Initialize(&table));  // no adapter map: NetBEUI is not there
  EXPECT_EQ(std::memcmp(&table, &before, sizeof table), 0);
  EXPECT_NE(Log().find("InitializeMonitorEx InitMonitor failed"), std::string::npos) << Log();
  EXPECT_EQ(Detach(), 0u);
}

TEST_F(MonitorEntry, SuccessfulStartFillsAllThirteenSlots) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  PrepareStart(1);
  MONITOR table;
  std::memset(&table, 0xAB, sizeof table);
  ASSERT_TRUE(Initialize(&table));
  EXPECT_EQ(table.pfnEnumPorts, &EnumPorts);
  EXPECT_EQ(table.pfnOpenPort, &OpenPort);
  EXPECT_EQ(table.pfnOpenPortEx, nullptr);
  EXPECT_EQ(table.pfnStartDocPort, &StartDocPort);
  EXPECT_EQ(table.pfnWritePort, &WritePort);
  EXPECT_EQ(table.pfnReadPort, &ReadPort);
  EXPECT_EQ(table.pfnEndDocPort, &EndDocPort);
  EXPECT_EQ(table.pfnClosePort, &ClosePort);
  // AddPort tells the user that ports are found, not added.
  presenter_->Clear();
  EXPECT_TRUE(table.pfnAddPort(nullptr, nullptr, const_cast<LPSTR>("Varnhold")));
  CHAR addPortText[MESSAGE_CCH];
  LoadMessage(IDS_ADD_PORT, addPortText);
  EXPECT_EQ(presenter_->Texts(), std::vector<std::string>{addPortText});
  // ConfigurePort runs the dialog, then hands its interval to the worker.
  auto driver = std::make_shared<plat::ScriptedDriver>();
  plat::SetDialogDriver(driver);
  std::string screen;
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Snapshot(&screen).Click(IDCANCEL));
  SetConfiguredInterval(45000);
  table.pfnConfigurePort(nullptr, nullptr, const_cast<LPSTR>("NPS_PORT1"));
  plat::SetDialogDriver(nullptr);
  EXPECT_NE(screen.find("Configure Print Server Ports"), std::string::npos) << screen;
  EXPECT_EQ(ReadShared(RefreshInterval), 45000u);
  EXPECT_EQ(table.pfnDeletePort, &DeletePort);
  EXPECT_EQ(table.pfnGetPrinterDataFromPort, &GetPrinterDataFromPort);
  EXPECT_EQ(reinterpret_cast<void*>(table.pfnSetPortTimeOuts), reinterpret_cast<void*>(table.pfnDeletePort));
  EXPECT_FALSE(table.pfnSetPortTimeOuts(nullptr, nullptr, 0));

  DWORD read = 0xdeadbeef;
  BYTE buffer[4];
  EXPECT_FALSE(table.pfnReadPort(nullptr, buffer, sizeof buffer, &read));
  EXPECT_EQ(read, 0u);
  EXPECT_TRUE(table.pfnClosePort(reinterpret_cast<HANDLE>(0x1234)));
  Detach();
}

TEST_F(MonitorEntry, UnloadTakesAboutEightSecondsWhenEveryThreadEndsAtOnce) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  // The worker's interval is a minute: it still sees the stop within the
  // grace, and the adapter's threads end once its names are released.
  PrepareStart(60);
  MONITOR table;
  ASSERT_TRUE(Initialize(&table));
  std::uint64_t elapsed = Detach();
  EXPECT_GE(elapsed, 8000u);
  EXPECT_LT(elapsed, 9000u);
  EXPECT_TRUE(plat::WaitForAllThreads());
  EXPECT_EQ(RegistryRoot, nullptr);
  EXPECT_EQ(DescriptionText, nullptr);
  EXPECT_EQ(MonitorNameText, nullptr);
}

// A remembered port with a printer whose server never reported: the worker
// finds it stale at its first cycle. With the port's no-response switch on
// and a job of the printer there, it raises the no-response box.
static void RememberSilentPort() {
  HKEY hKey = nullptr;
  std::string port = std::string(kRoot) + "\\BOX_P1";
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (port + "\\Laser").c_str(), 0, const_cast<LPSTR>("REG_SZ"), 0,
                            KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(hKey);
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, port.c_str(), 0, KEY_ALL_ACCESS, &hKey), ERROR_SUCCESS);
  BYTE on = 1;
  RegSetValueExA(hKey, "NoResponse", 0, REG_BINARY, &on, 1);
  RegCloseKey(hKey);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\control\\Print\\Printers\\Laser", 0,
                            const_cast<LPSTR>("REG_SZ"), 0, KEY_ALL_ACCESS, nullptr, &hKey, nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(hKey, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>("BOX_P1"), 7);
  RegCloseKey(hKey);
}

// The no-response box waits for the user on a thread of its own: unloading
// does not wait for it, frees what start-up made, and the box, answered
// afterwards, touches none of it.
TEST_F(MonitorEntry, UnloadWithAPopupOpenCompletesAndFreesEverything) {
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  PrepareStart(1);
  RememberSilentPort();
  printers_->AddPrinter("Laser");

  presenter_->Hold();
  MONITOR table;
  ASSERT_TRUE(Initialize(&table));
  ListNode* node = FindPort("BOX_P1", OPEN_LIST);
  ASSERT_NE(node, nullptr);
  ASSERT_TRUE(SetPrinterActive(PortOf(node), "Laser"));
  auto open = std::async(std::launch::async, [this] { return presenter_->WaitOpen(); });
  AdvanceUntilReady(open, /*awake=*/1);
  ASSERT_TRUE(open.get());

  std::uint64_t elapsed = Detach(/*awake=*/1);
  EXPECT_GE(elapsed, 8000u);
  EXPECT_LT(elapsed, 12000u);
  EXPECT_EQ(RegistryRoot, nullptr);
  EXPECT_EQ(presenter_->Texts(), (std::vector<std::string>{"There is No Response from your printer Laser"}));
  presenter_->Release();
  EXPECT_TRUE(plat::WaitForAllThreads());
}

// A spooler call that never comes back holds the worker: unloading gives up
// on it after five passes and keeps what it may still use.
TEST_F(MonitorEntry, UnloadGivesUpAfterAboutTwentySecondsOnAThreadThatNeverEnds) {
  class HangingStore : public plat::PrinterStore {
   public:
    bool HasPrinter(const std::string&) override { return true; }
    bool SetPrinterStatus(const std::string&, std::uint32_t) override {
      std::unique_lock lock(mutex_);
      inside_ = true;
      changed_.notify_all();
      changed_.wait(lock, [&] { return released_; });
      return true;
    }
    bool WaitInside() {
      std::unique_lock lock(mutex_);
      return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return inside_; });
    }
    void Release() {
      std::lock_guard lock(mutex_);
      released_ = true;
      changed_.notify_all();
    }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool inside_ = false;
    bool released_ = false;
  };
  auto store = std::make_shared<HangingStore>();
  plat::SetPrinterStore(store);
  ASSERT_TRUE(DllMain(ModuleInstance, DLL_PROCESS_ATTACH, nullptr));
  PrepareStart(1);
  RememberSilentPort();
  MONITOR table;
  ASSERT_TRUE(Initialize(&table, /*awake=*/1));
  ASSERT_TRUE(store->WaitInside());

  std::uint64_t elapsed = Detach(/*awake=*/1);
  EXPECT_GE(elapsed, 20000u);
  EXPECT_LT(elapsed, 21000u);
  // What the worker still uses stays: it goes on once the call returns.
  EXPECT_NE(RegistryRoot, nullptr);
  store->Release();
  auto done = std::async(std::launch::async, [] { return plat::WaitForAllThreads(); });
  AdvanceUntilReady(done, /*awake=*/1);
  EXPECT_TRUE(done.get());
}

}  // namespace
