// A CUPS job carried to spoolhost: the queue's printer made or moved onto
// the port, the job's bytes streamed with `print`, the port's state and the
// job's progress told to the scheduler, and the job cancelled on SIGTERM.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scheduler_report.h"
#include "spoolhost_link.h"

namespace varnhold {

struct JobOrder {
  std::string port;     // from DEVICE_URI
  std::string printer;  // the spoolhost printer that stands for the queue
  int input = 0;        // the job's file, or standard input
  int copies = 1;  // asked of spoolhost for a file; filters make them for standard input
};

// The job number in a line of `print`'s output ("job N queued ..."), if any.
std::optional<std::uint32_t> JobNumberIn(const std::string& out);

class PrintJob {
 public:
  PrintJob(const SpoolhostLink& link, SchedulerReport& report, JobOrder order);

  // The whole job; a backend exit status.
  int Run();
  // From the signal thread: ends the spoolhost job, if one was made, and
  // returns once spoolhost has been told (or cannot be).
  void Cancel();

 private:
  int Prepare();
  int Print();
  // Streams the input to the daemon; on a read error the backend exits.
  void SendData(tools::DaemonConnection& daemon);
  void Progress(const std::string& line);

  const SpoolhostLink& link_;
  SchedulerReport& report_;
  const JobOrder order_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::uint32_t> job_;
  bool dataSent_ = false;
  bool cancelling_ = false;  // once set, Run never returns: the cancel ends the backend
  bool finished_ = false;    // Run has its result; a cancel comes too late
  std::string lastProgress_;
  std::int64_t lastProgressAt_ = 0;
};

}  // namespace varnhold
