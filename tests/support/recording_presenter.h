// A message-box presenter for tests: it records every box the module raises
// and answers IDOK at once, unless the test holds it, in which case each box
// stays open until Release.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "host/message_box.h"
#include "platform.h"

namespace testsupport {

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
  // Boxes shown and not yet answered.
  int Open() {
    std::lock_guard lock(mutex_);
    return open_;
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
  // Waits (real time, bounded) until `count` boxes are open at once.
  bool WaitOpen(int count = 1) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return open_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<plat::MessageBoxRequest> boxes_;
  int open_ = 0;
  bool hold_ = false;
};

}  // namespace testsupport
