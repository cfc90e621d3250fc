// The job queue: one worker that carries the spooler's port operations to the
// monitors in order (opening ports, registering printers, printing jobs).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "monitors.h"
#include "printers.h"

namespace spoolhost {

enum class JobState { Queued, Starting, Printing, Done, Failed };
const char* JobStateName(JobState state);

struct JobInfo {
  std::uint32_t id = 0;
  std::string printer;
  std::string port;
  std::size_t size = 0;
  std::size_t sent = 0;
  JobState state = JobState::Queued;
  std::string error;
  bool registration = false;  // the empty job that puts a printer on its port
};

// Jobs run one at a time. The monitor keeps one "port just opened" mark for
// all ports, and a job that meets it only registers its printer and sends
// nothing, so opening a port and running jobs must not overlap; after every
// OpenPort the queue runs an empty job for the printer first, so the user's
// own jobs always reach the box.
class JobQueue {
 public:
  using Logger = std::function<void(const std::string&)>;
  JobQueue(Monitors& monitors, PrinterRegistry& printers, Logger log);
  ~JobQueue();

  // Opens the port for the printer (OpenPort) and then registers the printer
  // on it. Waits only for the OpenPort: false with a reason when it fails.
  bool Attach(const std::string& printer, const std::string& port, std::string* error);
  std::uint32_t Submit(const std::string& printer, std::string data);
  // Waits until the job has ended; `progress` hears its changes.
  JobInfo Wait(std::uint32_t id, const std::function<void(const JobInfo&)>& progress);
  std::vector<JobInfo> List() const;
  // The job inside the monitor now, if any.
  std::optional<JobInfo> Busy() const;
  // Fails the queued jobs and ends the worker; the caller makes sure no job
  // is inside the monitor.
  void Stop();

 private:
  struct Task {
    enum Kind { Open, Print } kind;
    std::uint32_t job = 0;
    std::string printer, port;
    std::shared_ptr<std::optional<std::string>> openResult;  // Open: "" ok, else the reason
  };
  void Run();
  bool OpenPortFor(const std::string& port, std::string* error);
  void RunJob(std::uint32_t id, std::string data);
  void Update(std::uint32_t id, const std::function<void(JobInfo&)>& change);

  Monitors& monitors_;
  PrinterRegistry& printers_;
  Logger log_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Task> tasks_;
  std::map<std::uint32_t, JobInfo> jobs_;
  std::map<std::uint32_t, std::string> data_;
  std::optional<std::uint32_t> busy_;
  std::uint32_t nextId_ = 1;
  bool stopping_ = false;
  // Port handles from OpenPort, by port name, with the monitor that gave them.
  std::map<std::string, std::pair<std::size_t, HANDLE>> handles_;
  std::thread worker_;
};

}  // namespace spoolhost
