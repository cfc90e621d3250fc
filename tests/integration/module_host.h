// A host for TAVRO.so in the tests: the module loaded through the loader, one
// adapter of its own and a print box on the in-process segment, the manual
// clock, a printer store and a message-box presenter that records.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/clock.h"
#include "host/loader.h"
#include "host/message_box.h"
#include "host/netbios.h"
#include "host/printers.h"
#include "host/registry.h"
#include "host/system.h"
#include "monitor/monitor_table.h"
#include "platform.h"
#include "print_box.h"
#include "support/recording_presenter.h"

namespace module_host {

using Presenter = testsupport::RecordingPresenter;

inline const char kRoot[] = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";
inline const char kRootKey[] = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";
inline const char kPrintersKey[] = "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\control\\Print\\Printers\\";
inline constexpr UCHAR kModuleLana = 0;
inline constexpr UCHAR kBoxLana = 1;

// REGEDIT4 text (without its header) into the registry.
inline void Import(const std::string& text) {
  auto status = plat::ImportRegistry("REGEDIT4\n\n" + text);
  ASSERT_TRUE(status.ok) << status.error;
}

class ModuleHost : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::UseManualClock();
    dir_ = std::filesystem::temp_directory_path() /
           ("tavro_it_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    plat::SetWindowsDirectory(dir_.string());
    plat::ResetRegistry();
    plat::ResetNetbios();
    plat::NetbiosAdapterConfig mine;
    mine.lana = kModuleLana;
    mine.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9a};
    ASSERT_TRUE(plat::AddNetbiosAdapter(mine));
    plat::NetbiosAdapterConfig box;
    box.lana = kBoxLana;
    box.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    box.inAdapterMap = false;
    ASSERT_TRUE(plat::AddNetbiosAdapter(box));
    ASSERT_TRUE(plat::WriteNetbiosAdapterMap());
    printers_ = std::make_shared<plat::MemoryPrinterStore>();
    plat::SetPrinterStore(printers_);
    presenter_ = std::make_shared<Presenter>();
    plat::SetMessagePresenter(presenter_);
  }

  void TearDown() override {
    presenter_->Release();
    if (module_ != nullptr) Unload();
    if (box_) box_->Stop();
    box_.reset();
    // A module that an unload left mapped for a thread goes once the thread
    // has ended, so that the next load starts from fresh globals.
    plat::ReleasePinnedModules();
    plat::SetMessagePresenter(nullptr);
    plat::SetPrinterStore(nullptr);
    std::filesystem::remove_all(dir_);
  }

  void StartBox(std::vector<printbox::PortStatus> ports) {
    printbox::BoxConfig config;
    config.lana = kBoxLana;
    config.ports = ports;
    box_ = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box_->Start(), 0);
    // The box's own receivers (pings, one listen per port) wait in the service.
    boxWaiters_ = 1 + static_cast<int>(ports.size());
    ASSERT_TRUE(plat::WaitForQuiet(boxWaiters_));
  }

  void Load() {
    module_ = LoadLibraryA(TAVRO_MODULE_PATH);
    ASSERT_NE(module_, nullptr) << GetLastError();
  }

  // InitializeMonitorEx on a spooler thread while module time moves on.
  BOOL Start(LPMONITOR table) {
    auto initialize = plat::ProcAddress<PFN_INITIALIZE_MONITOR_EX>(module_, INITIALIZE_MONITOR_EX_NAME);
    EXPECT_NE(initialize, nullptr);
    if (initialize == nullptr) return FALSE;
    auto done = std::async(std::launch::async,
                           [initialize, table] { return initialize(const_cast<LPSTR>(kRoot), table); });
    AdvanceUntil(done, /*callerSleeps=*/true);
    return done.get();
  }

  // FreeLibrary while module time moves on; the module milliseconds it took.
  std::uint64_t Unload(int awake = 0) {
    HMODULE module = module_;
    module_ = nullptr;
    auto done = std::async(std::launch::async, [module] { return FreeLibrary(module); });
    std::uint64_t elapsed = AdvanceUntil(done, /*callerSleeps=*/true, awake);
    EXPECT_TRUE(done.get());
    return elapsed;
  }

  // Module time moves on by `ms`, in steps that wait for the threads to settle.
  void RunFor(std::uint64_t ms, int awake = 0) {
    for (std::uint64_t done = 0; done < ms; done += kStepMs) {
      Settle(false, awake);
      plat::AdvanceClock(kStepMs);
    }
    Settle(false, awake);
  }

  template <typename T>
  std::uint64_t AdvanceUntil(std::future<T>& done, bool callerSleeps, int awake = 0) {
    const std::uint64_t start = plat::ClockNowMs();
    auto ready = [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
    while (!ready()) {
      Settle(callerSleeps, awake, ready);
      if (ready()) break;
      plat::AdvanceClock(kStepMs);
    }
    return plat::ClockNowMs() - start;
  }

  // Waits (real time, bounded) until every thread of the module sleeps or waits
  // in the NetBIOS service, apart from `awake` ones held on purpose.
  template <typename Ready = bool (*)()>
  void Settle(bool callerSleeps, int awake, Ready ready = [] { return false; }) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      int quiet = plat::SleeperCount() + plat::NetbiosWaiterCount();
      int wanted = plat::LiveThreadCount() + boxWaiters_ + (callerSleeps ? 1 : 0) - awake;
      if (quiet >= wanted || ready() || std::chrono::steady_clock::now() >= deadline) break;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(300));
  }

  std::string ReadFile(const char* name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static constexpr std::uint64_t kStepMs = 100;
  std::filesystem::path dir_;
  HMODULE module_ = nullptr;
  std::unique_ptr<printbox::Box> box_;
  int boxWaiters_ = 0;
  std::shared_ptr<plat::MemoryPrinterStore> printers_;
  std::shared_ptr<Presenter> presenter_;
};

}  // namespace module_host
