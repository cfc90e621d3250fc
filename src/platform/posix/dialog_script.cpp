// The scripted user of tests: dialog scripts, their driver, and the recorders
// of message boxes and help calls.
#include "../host/dialog_script.h"

#include "../win32/window.h"

namespace plat {

DialogScript& DialogScript::Add(std::string description, std::function<bool(RunningDialog&)> run) {
  steps_.push_back({std::move(description), std::move(run)});
  return *this;
}

DialogScript& DialogScript::Check(int id) {
  return Add("check " + std::to_string(id), [id](RunningDialog& d) { return d.SetCheck(id, true); });
}

DialogScript& DialogScript::Uncheck(int id) {
  return Add("uncheck " + std::to_string(id), [id](RunningDialog& d) { return d.SetCheck(id, false); });
}

DialogScript& DialogScript::Click(int id) {
  return Add("click " + std::to_string(id), [id](RunningDialog& d) { return d.Click(id); });
}

DialogScript& DialogScript::Type(int id, std::string text) {
  std::string description = "type " + std::to_string(id) + " \"" + text + "\"";
  return Add(std::move(description), [id, text = std::move(text)](RunningDialog& d) { return d.Type(id, text); });
}

DialogScript& DialogScript::Clear(int id) {
  return Add("clear " + std::to_string(id), [id](RunningDialog& d) { return d.Clear(id); });
}

DialogScript& DialogScript::Spin(int id, int steps) {
  return Add("spin " + std::to_string(id) + " " + std::to_string(steps),
             [id, steps](RunningDialog& d) { return d.Spin(id, steps); });
}

DialogScript& DialogScript::Enter() {
  return Add("enter", [](RunningDialog& d) { return d.PressEnter(); });
}

DialogScript& DialogScript::Escape() {
  return Add("escape", [](RunningDialog& d) { return d.PressEscape(); });
}

DialogScript& DialogScript::Mnemonic(char letter) {
  return Add(std::string("alt+") + letter, [letter](RunningDialog& d) { return d.PressMnemonic(letter); });
}

DialogScript& DialogScript::Close() {
  return Add("close box", [](RunningDialog& d) { return d.CloseBox(); });
}

DialogScript& DialogScript::Command(int id) {
  return Add("command " + std::to_string(id), [id](RunningDialog& d) {
    d.SendCommand(id);
    return true;
  });
}

DialogScript& DialogScript::Do(std::function<void(RunningDialog&)> step) {
  return Add("do", [step = std::move(step)](RunningDialog& d) {
    step(d);
    return true;
  });
}

DialogScript& DialogScript::Snapshot(std::string* out) {
  return Add("snapshot", [out](RunningDialog& d) {
    *out = d.Render();
    return true;
  });
}

void ScriptedDriver::Add(int templateId, DialogScript script) {
  std::lock_guard lock(mutex_);
  queued_[templateId].push_back(std::move(script));
}

bool ScriptedDriver::Play(RunningDialog& dialog) {
  const std::string who = std::to_string(dialog.TemplateId()) + ": ";
  DialogScript::Step step;
  {
    std::lock_guard lock(mutex_);
    auto it = running_.find(dialog.Window());
    if (it == running_.end()) {
      auto& queue = queued_[dialog.TemplateId()];
      if (queue.empty()) {
        log_.push_back(who + "no script");
        return false;
      }
      it = running_.emplace(dialog.Window(), Cursor{std::move(queue.front()), 0}).first;
      queue.pop_front();
    }
    Cursor& cursor = it->second;
    if (cursor.next >= cursor.script.steps_.size()) {
      log_.push_back(who + "script done");
      running_.erase(it);
      return false;
    }
    step = cursor.script.steps_[cursor.next++];
  }
  // Steps run without the lock: they call the dialog procedure, which may open
  // nested dialogs that this driver plays too.
  bool done = step.run(dialog);
  std::lock_guard lock(mutex_);
  log_.push_back(who + step.description + (done ? "" : " -> refused"));
  if (!done) ++refusals_;
  return true;
}

std::vector<std::string> ScriptedDriver::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

int ScriptedDriver::Refusals() const {
  std::lock_guard lock(mutex_);
  return refusals_;
}

std::size_t ScriptedDriver::PendingScripts() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [id, queue] : queued_) n += queue.size();
  return n;
}

std::size_t ScriptedDriver::UnplayedSteps() const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& [hwnd, cursor] : running_) n += cursor.script.steps_.size() - cursor.next;
  return n;
}

int MessageRecorder::Present(const MessageBoxRequest& request) {
  int owner = DialogTemplateOf(request.owner);
  std::lock_guard lock(mutex_);
  entries_.push_back({request, owner});
  if (answers_.empty()) return IDOK;
  int answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void MessageRecorder::QueueAnswer(int answer) {
  std::lock_guard lock(mutex_);
  answers_.push_back(answer);
}

std::vector<MessageRecorder::Entry> MessageRecorder::Messages() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::size_t MessageRecorder::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void HelpRecorder::Show(const HelpRequest& request) {
  std::lock_guard lock(mutex_);
  requests_.push_back(request);
}

std::vector<HelpRequest> HelpRecorder::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

}  // namespace plat
