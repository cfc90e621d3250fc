// Message boxes of the loaded monitors: queued for the user, each blocking the
// thread that raised it until answered, as MessageBoxA does on Windows.
#include "message_queue.h"

#include <chrono>

#include "session.h"
#include "win32/window.h"

namespace spoolhost {

using tools::kPromptBox;


std::string MessageQueue::Describe(const PendingBox& box) {
  return "message " + std::to_string(box.id) + " [" + box.caption + "] " + box.text;
}

int MessageQueue::Present(const plat::MessageBoxRequest& request) {
  PendingBox box{0, request.caption, request.text, request.type};
  std::unique_lock lock(mutex_);
  box.id = nextId_++;
  if (answerAtOnce_) {
    answeredAtOnce_.push_back("[" + box.caption + "] " + box.text);
    lock.unlock();
    log_(Describe(box) + " (answered OK at once)");
    return IDOK;
  }
  // A box raised while serving a client's own request goes to that client.
  if (Session* session = Session::Current(); session != nullptr && !session->Gone()) {
    lock.unlock();
    log_(Describe(box) + " (shown to the client)");
    session->Ask(kPromptBox, "[" + box.caption + "] " + box.text);
    return IDOK;
  }
  pending_.push_back(&box);
  changed_.notify_all();
  lock.unlock();
  log_(Describe(box) + " (waiting for an answer: spoolhost messages --answer " + std::to_string(box.id) + ")");
  lock.lock();
  changed_.wait(lock, [&box] { return box.answered; });
  return box.answer;
}

void MessageQueue::SetAnswerAtOnce(bool on) {
  std::lock_guard lock(mutex_);
  answerAtOnce_ = on;
  if (!on) return;
  for (PendingBox* box : pending_) {
    box->answered = true;
    box->answer = IDOK;
  }
  pending_.clear();
  changed_.notify_all();
}

std::vector<std::string> MessageQueue::TakeAnsweredAtOnce() {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  out.swap(answeredAtOnce_);
  return out;
}

std::vector<PendingBox> MessageQueue::Pending() const {
  std::lock_guard lock(mutex_);
  std::vector<PendingBox> out;
  for (const PendingBox* box : pending_) out.push_back(*box);
  return out;
}

bool MessageQueue::Answer(std::uint32_t id) {
  std::string described;
  {
    std::lock_guard lock(mutex_);
    auto it = pending_.begin();
    while (it != pending_.end() && (*it)->id != id) ++it;
    if (it == pending_.end()) return false;
    (*it)->answered = true;
    (*it)->answer = IDOK;
    described = Describe(**it);
    pending_.erase(it);
    changed_.notify_all();
  }
  log_(described + " (answered OK)");
  return true;
}

int MessageQueue::AnswerAll() {
  int count = 0;
  for (const PendingBox& box : Pending()) count += Answer(box.id) ? 1 : 0;
  return count;
}

bool MessageQueue::WaitForPending(int seconds) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(seconds), [this] { return !pending_.empty(); });
}

std::uint32_t MessageQueue::Shown() const {
  std::lock_guard lock(mutex_);
  return nextId_ - 1;
}

}  // namespace spoolhost
