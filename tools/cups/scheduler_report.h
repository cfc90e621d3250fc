// The backend's lines to the scheduler on standard error: INFO:, ERROR:,
// DEBUG: and STATE:, one whole line per write, from any thread.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>

namespace varnhold {

class SchedulerReport {
 public:
  // Texts are passed through SchedulerText: they may hold names from the
  // network and must not end the line or start another.
  void Info(std::string_view text);
  void Error(std::string_view text);
  void Debug(std::string_view text);
  // Makes the reasons this backend has set exactly REASONS (printer-state-
  // reasons keywords): one STATE: line adding and removing the difference.
  void SetReasons(const std::set<std::string>& reasons);
  // Whether a reason this backend set stands now.
  bool HasReasons();

 private:
  void Line(std::string_view prefix, std::string_view text);

  std::mutex mutex_;
  std::set<std::string> reasons_;
};

}  // namespace varnhold
