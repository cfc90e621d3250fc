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

#include "diag/messages.h"
#include "host/clock.h"
#include "host/message_box.h"
#include "host/netbios.h"
#include "host/printers.h"
#include "host/resources.h"
#include "host/system.h"
#include "monitor/module_state.h"
#include "platform.h"
#include "ports/port_list.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace monitor_test {

// Records every box; answers at once unless held, in which case the box stays
// open until Release.
class RecordingPresenter : public plat::MessagePresenter {
 public:
  int Present(const plat::MessageBoxRequest& request) override {
    std::unique_lock lock(mutex_);
    boxes_.push_back(request);
    ++open_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold_; });
    --open_;
    changed_.notify_all();
    return IDOK;
  }
  std::vector<plat::MessageBoxRequest> Boxes() {
    std::lock_guard lock(mutex_);
    return boxes_;
  }
  std::vector<std::string> Texts() {
    std::lock_guard lock(mutex_);
    std::vector<std::string> texts;
    for (const auto& box : boxes_) texts.push_back(box.text);
    return texts;
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    boxes_.clear();
  }
  void Hold() {
    std::lock_guard lock(mutex_);
    hold_ = true;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  // Waits (real time, bounded) until a box is open.
  bool WaitOpen() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<plat::MessageBoxRequest> boxes_;
  int open_ = 0;
  bool hold_ = false;
};

inline constexpr std::uint64_t kStartMs = 1'000'000'000'000ULL;

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::UseManualClock(kStartMs);
    ModuleInstance = plat::MakeModuleInstance(&TavroResourceTable);
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

  static DWORD NowSeconds() { return static_cast<DWORD>(plat::ClockNowMs() / 1000); }

  std::shared_ptr<plat::MemoryPrinterStore> printers_;
  std::shared_ptr<RecordingPresenter> presenter_;
};

}  // namespace monitor_test

namespace monitor_test {

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

}  // namespace monitor_test
