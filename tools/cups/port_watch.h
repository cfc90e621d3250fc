// Watches the status spoolhost shows for the queue's printer while a job
// waits or prints, and mirrors it into the queue's printer-state-reasons.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "scheduler_report.h"
#include "spoolhost_link.h"

namespace varnhold {

// The printer's status as `spoolhost printers` shows it for PRINTER on
// PORT, from that verb's output; nothing when the printer is not listed so.
std::optional<std::string> PrinterStatusIn(const std::string& printersOut, const std::string& printer,
                                           const std::string& port);
// The printer-state-reasons a status text stands for.
std::set<std::string> ReasonsOf(const std::string& status);

class PortWatch {
 public:
  PortWatch(const SpoolhostLink& link, SchedulerReport& report, std::string printer, std::string port);
  ~PortWatch();  // stops the watch

  // Polls on its own connection, one `printers` a second, until stopped.
  void Start();
  void Stop();

 private:
  void Run();
  void Poll();

  const SpoolhostLink& link_;
  SchedulerReport& report_;
  const std::string printer_, port_;
  std::string lastStatus_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace varnhold
