// A scripted user for tests: dialog scripts that a driver plays in order, and
// a presenter that records message boxes and answers them.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dialog.h"
#include "message_box.h"

namespace plat {

// What the user does in one dialog, step by step.
class DialogScript {
 public:
  DialogScript& Check(int id);
  DialogScript& Uncheck(int id);
  DialogScript& Click(int id);
  DialogScript& Type(int id, std::string text);
  DialogScript& Clear(int id);
  DialogScript& Spin(int id, int steps);
  DialogScript& Enter();
  DialogScript& Escape();
  DialogScript& Mnemonic(char letter);
  DialogScript& Close();
  // WM_COMMAND as another program sends it (reaches hidden controls too).
  DialogScript& Command(int id);
  // A step of the test's own: a look at the dialog, or a wait that holds it
  // open while another thread works.
  DialogScript& Do(std::function<void(RunningDialog&)> step);
  // Keeps the dialog's rendering at this point.
  DialogScript& Snapshot(std::string* out);

 private:
  friend class ScriptedDriver;
  struct Step {
    std::string description;
    std::function<bool(RunningDialog&)> run;
  };
  DialogScript& Add(std::string description, std::function<bool(RunningDialog&)> run);
  std::vector<Step> steps_;
};

// Plays each dialog from the script given for its template, in the order the
// dialogs open. A dialog without a script, or whose script has run out, is
// closed through its close box (see DialogDriver::Play).
class ScriptedDriver : public DialogDriver {
 public:
  void Add(int templateId, DialogScript script);
  bool Play(RunningDialog& dialog) override;

  // One line per step played: "<template>: <step>" and " -> refused" when the
  // user could not do it; "<template>: no script" and "<template>: script
  // done" when the driver gives a dialog up.
  std::vector<std::string> Log() const;
  // Steps that were refused.
  int Refusals() const;
  // Scripts that no dialog has taken yet.
  std::size_t PendingScripts() const;
  // Steps left unplayed because their dialog ended before them.
  std::size_t UnplayedSteps() const;

 private:
  struct Cursor {
    DialogScript script;
    std::size_t next = 0;
  };
  mutable std::mutex mutex_;
  std::map<int, std::deque<DialogScript>> queued_;
  std::map<HWND, Cursor> running_;
  std::vector<std::string> log_;
  int refusals_ = 0;
};

// Records every message box and answers it: with the queued answers first,
// then IDOK.
class MessageRecorder : public MessagePresenter {
 public:
  struct Entry {
    MessageBoxRequest request;
    int ownerTemplate;  // template id of the dialog that owns the box, or -1
  };
  int Present(const MessageBoxRequest& request) override;
  void QueueAnswer(int answer);
  std::vector<Entry> Messages() const;
  std::size_t Count() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  std::deque<int> answers_;
};

// Records every WinHelpA call.
class HelpRecorder : public HelpSink {
 public:
  void Show(const HelpRequest& request) override;
  std::vector<HelpRequest> Requests() const;

 private:
  mutable std::mutex mutex_;
  std::vector<HelpRequest> requests_;
};

}  // namespace plat
