// The backend's lines to the scheduler.
#include "scheduler_report.h"

#include <unistd.h>

#include <cerrno>

#include "cups_text.h"

namespace varnhold {

void SchedulerReport::Line(std::string_view prefix, std::string_view text) {
  std::string line(prefix);
  line += SchedulerText(text);
  line.push_back('\n');
  std::lock_guard lock(mutex_);
  // One write per line, so lines of two threads never interleave.
  for (std::size_t at = 0; at < line.size();) {
    ssize_t n = ::write(2, line.data() + at, line.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the scheduler has gone; nothing else to tell
    at += static_cast<std::size_t>(n);
  }
}

void SchedulerReport::Info(std::string_view text) { Line("INFO: ", text); }
void SchedulerReport::Error(std::string_view text) { Line("ERROR: ", text); }
void SchedulerReport::Debug(std::string_view text) { Line("DEBUG: ", text); }

bool SchedulerReport::HasReasons() {
  std::lock_guard lock(mutex_);
  return !reasons_.empty();
}

void SchedulerReport::SetReasons(const std::set<std::string>& reasons) {
  // The scheduler takes one action per line: "+" adds, "-" removes the
  // keywords that follow, separated by commas.
  std::string removed, added;
  {
    std::lock_guard lock(mutex_);
    for (const std::string& r : reasons_)
      if (!reasons.count(r)) removed += (removed.empty() ? "" : ",") + r;
    for (const std::string& r : reasons)
      if (!reasons_.count(r)) added += (added.empty() ? "" : ",") + r;
    reasons_ = reasons;
  }
  if (!removed.empty()) Line("STATE: -", removed);
  if (!added.empty()) Line("STATE: +", added);
}

}  // namespace varnhold
