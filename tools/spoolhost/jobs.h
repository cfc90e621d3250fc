// The job queues: one per port, each with a worker that carries its jobs to
// the port's monitor in order, so a job waiting at one port (out of paper,
// off line) holds up no other port's jobs.
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
};

class JobQueue {
 public:
  using Logger = std::function<void(const std::string&)>;
  JobQueue(Monitors& monitors, PrinterRegistry& printers, Logger log);
  ~JobQueue();

  // Opens the port for a printer put on it (OpenPort, once per port). The
  // monitor registers the printer on the port with its first job.
  bool Attach(const std::string& printer, const std::string& port, std::string* error);
  // Queues the job at its printer's port.
  std::uint32_t Submit(const std::string& printer, std::string data);
  // Waits until the job has ended; `progress` hears its changes.
  JobInfo Wait(std::uint32_t id, const std::function<void(const JobInfo&)>& progress);
  std::vector<JobInfo> List() const;
  // A job inside the monitor now, if any.
  std::optional<JobInfo> Busy() const;
  // Fails the queued jobs and ends the workers; the caller makes sure no job
  // is inside the monitor.
  void Stop();

 private:
  struct PortQueue {
    std::deque<std::uint32_t> jobs;
    std::optional<std::uint32_t> busy;
    std::thread worker;
  };
  // Under mutex_: the port's queue, its worker started on first use.
  PortQueue& QueueOf(const std::string& port);
  void Enqueue(const std::string& port, std::uint32_t id);
  void Run(std::string port);
  bool OpenPortFor(const std::string& port, std::string* error);
  // Runs the job at its printer's port; a job whose printer moved to another
  // port meanwhile goes to that port's queue instead.
  void RunJob(const std::string& queuePort, std::uint32_t id);
  void Update(std::uint32_t id, const std::function<void(JobInfo&)>& change);

  Monitors& monitors_;
  PrinterRegistry& printers_;
  Logger log_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::unique_ptr<PortQueue>> queues_;
  std::map<std::uint32_t, JobInfo> jobs_;
  std::map<std::uint32_t, std::string> data_;
  std::uint32_t nextId_ = 1;
  bool stopping_ = false;
  // Port handles from OpenPort, by port name, with the monitor that gave them.
  std::map<std::string, std::pair<std::size_t, HANDLE>> handles_;
};

}  // namespace spoolhost
