// How a tool becomes a daemon: `start` runs the program again detached, and
// the daemon tells it over a pipe how its start-up went; a stop signal reaches
// the daemon's loop as a descriptor.
#pragma once

#include <signal.h>

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace tools {

// What the starter heard on the pipe: lines "note TEXT", then "ok TEXT" or
// "failed TEXT". Neither ok nor failed: the daemon died while starting.
struct StartReport {
  std::vector<std::string> notes;
  std::optional<std::string> ok;
  std::optional<std::string> failed;
};

// Runs this program again (/proc/self/exe) in a session of its own, with
// /dev/null as input and its output appended to `logPath`; `argvFor` gives
// its words (program name first) for the descriptor of the pipe's write end.
// Reads the pipe until the daemon closes it; a daemon that did not say "ok"
// is waited for, so no zombie is left. False with *error when the pipe or the
// process cannot be made.
bool StartDetached(const std::function<std::vector<std::string>(int readyFd)>& argvFor, const std::string& logPath,
                   StartReport* report, std::string* error);

// The daemon's end of the pipe; -1 when it was started in the foreground,
// where nobody listens.
class ReadyPipe {
 public:
  explicit ReadyPipe(int fd) : fd_(fd) {}
  // One line; a starter that has gone is no reason to stop.
  void Say(const std::string& line);
  // The starter reads until the pipe closes.
  void Close() { fd_.Reset(); }

 private:
  UniqueFd fd_;
};

// Blocks `signals` in the calling thread, so every thread started after it
// inherits the mask, and returns a descriptor on which they arrive. Should no
// descriptor be had, the signals are unblocked again, keeping their default
// action (a stop signal then still ends the process), and the result is
// invalid with *error set.
UniqueFd TakeSignals(std::initializer_list<int> signals, std::string* error);

}  // namespace tools
