// Message boxes of the loaded monitors: queued for the user, each blocking the
// thread that raised it until answered, as MessageBoxA does on Windows.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/message_box.h"

namespace spoolhost {

struct PendingBox {
  std::uint32_t id;
  std::string caption;
  std::string text;
  unsigned type;
  bool answered = false;
  int answer = 0;
};

class MessageQueue : public plat::MessagePresenter {
 public:
  // Where every box and its fate are reported (the daemon's log).
  using Logger = std::function<void(const std::string&)>;
  explicit MessageQueue(Logger log) : log_(std::move(log)) {}

  int Present(const plat::MessageBoxRequest& request) override;

  // Answer boxes at once from now on (--answer-boxes, start-up, shutdown);
  // turning it on also answers the boxes already waiting.
  void SetAnswerAtOnce(bool on);
  // Boxes answered at once since the last call (shown to `start`).
  std::vector<std::string> TakeAnsweredAtOnce();

  std::vector<PendingBox> Pending() const;
  // Answers a waiting box with OK; false when there is no such box.
  bool Answer(std::uint32_t id);
  int AnswerAll();
  // Waits (real time) until a box is pending; false on time-out.
  bool WaitForPending(int seconds);
  std::uint32_t Shown() const;

 private:
  static std::string Describe(const PendingBox& box);

  Logger log_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PendingBox*> pending_;
  std::uint32_t nextId_ = 1;
  bool answerAtOnce_ = false;
  std::vector<std::string> answeredAtOnce_;
};

}  // namespace spoolhost
