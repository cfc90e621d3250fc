// Shared set-up of the tests that drive the status worker and start-up: the
// module's resources, the manual clock, a printer store and a message-box
// presenter that records what the module shows.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <future>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "diag/messages.h"
#include "host/clock.h"
#include "host/message_box.h"
#include "host/netbios.h"
#include "host/printers.h"
#include "host/resources.h"
#include "host/system.h"
#include "module_globals.h"
#include "monitor/lifecycle.h"
#include "platform.h"
#include "ports/port_record.h"
#include "support/recording_presenter.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace monitor_test {

using testsupport::RecordingPresenter;

inline constexpr std::uint64_t kStartMs = 1'000'000'000'000ULL;

// Moves module time on in steps while `done` is not ready, each step once every
// thread the module started sleeps or waits in the NetBIOS service (apart from
// `awake` threads held on purpose, in a message box say). The thread that runs
// `done` counts as one more sleeper. Returns the module milliseconds that passed.
template <typename T>
std::uint64_t AdvanceUntilReady(std::future<T>& done, int awake = 0, std::uint64_t stepMs = 100) {
  const std::uint64_t start = plat::ClockNowMs();
  auto ready = [&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  while (!ready()) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready() && plat::SleeperCount() + plat::NetbiosWaiterCount() < plat::LiveThreadCount() + 1 - awake &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (ready()) break;
    plat::AdvanceClock(stepMs);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  return plat::ClockNowMs() - start;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    moduletest::ResetModuleGlobals();
    plat::UseManualClock(kStartMs);
    // One instance for the process: a static keeps it reachable to the end.
    static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);
    ModuleInstance = instance;
    LoadMessage(IDS_TITLE, MessageTitle);
    printers_ = std::make_shared<plat::MemoryPrinterStore>();
    plat::SetPrinterStore(printers_);
    presenter_ = std::make_shared<RecordingPresenter>();
    plat::SetMessagePresenter(presenter_);
  }
  void TearDown() override {
    presenter_->Release();
    plat::SetMessagePresenter(nullptr);
    plat::SetPrinterStore(nullptr);
  }

  // Frees what start-up made, as an unload does; nothing happens when there is
  // nothing to free.
  static void ShutDownModule() {
    auto done = std::async(std::launch::async, [] { ShutdownMonitor(); });
    AdvanceUntilReady(done);
  }

  static DWORD NowSeconds() { return static_cast<DWORD>(plat::ClockNowMs() / 1000); }

  std::shared_ptr<plat::MemoryPrinterStore> printers_;
  std::shared_ptr<RecordingPresenter> presenter_;
};

}  // namespace monitor_test
