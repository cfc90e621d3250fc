// The job queues: one per port, each with a worker that carries its jobs to
// the port's monitor in order, so a job waiting at one port (out of paper,
// off line) holds up no other port's jobs. A job is spooled to a file as its
// client sends it, and goes to its port as its first bytes come: the worker
// reads the file back behind the client, a piece at a time. While the job
// is at its port the client keeps at most 64 MiB ahead of it.
#pragma once

#include <chrono>
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
#include "spool_files.h"
#include "unique_fd.h"

namespace spoolhost {

enum class JobState { Queued, Starting, Printing, Done, Failed, Cancelled };
const char* JobStateName(JobState state);

struct JobInfo {
  std::uint32_t id = 0;
  std::string printer;
  std::string port;
  std::size_t size = 0;  // bytes spooled so far
  std::size_t sent = 0;  // bytes of the current copy written to the port
  bool complete = false;  // the client has sent the whole job
  bool restarted = false;  // printed again from its start after the daemon died
  unsigned copies = 1;
  unsigned copy = 0;  // the copy at the port, from 1
  JobState state = JobState::Queued;
  std::string error;
  bool Ended() const { return state == JobState::Done || state == JobState::Failed || state == JobState::Cancelled; }
};

class JobQueue {
 public:
  using Logger = std::function<void(const std::string&)>;
  JobQueue(Monitors& monitors, PrinterRegistry& printers, SpoolFolder spool, Logger log);
  ~JobQueue();

  // Opens the port for a printer put on it (OpenPort, once per port). The
  // monitor registers the printer on the port with its first job.
  bool Attach(const std::string& printer, const std::string& port, std::string* error);
  // Queues the jobs a daemon before this one left in the spool folder; says
  // in `log` what became of each.
  void Recover();

  // A new job whose client is about to send its data: its files are made and
  // it is queued at its printer's port. `client` is the client's socket,
  // which a cancel shuts so that a client stuck on its input lets go. Its id,
  // or 0 with a reason.
  std::uint32_t Open(const std::string& printer, unsigned copies, int client, std::string* error);
  // Spools a piece of the job's data. The port's worker may take the piece on
  // from memory rather than read it back from the spool file: *piece is then
  // left empty. False with a reason when the job can take no more: cancelled,
  // or the piece could not be written (the job then fails).
  bool Append(std::uint32_t id, std::string* piece, std::string* error);
  // The whole job is in. False with a reason when it could not be stored.
  bool Close(std::uint32_t id, std::string* error);
  // The client went before the job's end: the job fails as incomplete.
  void Abandon(std::uint32_t id, const std::string& why);

  // Waits until the job has ended; `progress` hears its changes.
  JobInfo Wait(std::uint32_t id, const std::function<void(const JobInfo&)>& progress);
  std::optional<JobInfo> Find(std::uint32_t id) const;
  // Jobs not yet ended of the printer, oldest first.
  std::vector<std::uint32_t> ActiveJobsOf(const std::string& printer) const;
  // Cancels a job: a queued one is removed, one at its port stops there.
  // Waits (up to `wait`) until it has ended; the job as it is then, or
  // nothing when there is no such job.
  std::optional<JobInfo> Cancel(std::uint32_t id, std::chrono::milliseconds wait);
  std::vector<JobInfo> List() const;
  // A job inside the monitor now, if any.
  std::optional<JobInfo> Busy() const;
  // Ends the workers; jobs spooled whole stay in the spool folder for the
  // next start, jobs still coming fail. The caller makes sure no job is
  // inside the monitor.
  void Stop();

 private:
  struct Job {
    JobInfo info;
    unsigned copiesDone = 0;
    int client = -1;       // the client's socket, until its thread lets go of the job
    tools::UniqueFd data;  // the data file, open while the client sends
    bool cancelled = false;
    int waiters = 0;
    std::size_t written = 0;   // bytes of the current copy the port has taken
    bool clientWaits = false;  // the client's thread waits for the port to catch up
    // Pieces just spooled, by their offset in the job, for the worker to take
    // instead of reading them back, while the job is at its port.
    std::deque<std::pair<std::size_t, std::string>> hot;
    std::size_t hotBytes = 0;
  };
  struct PortQueue {
    std::deque<std::uint32_t> jobs;
    std::optional<std::uint32_t> busy;
    std::thread worker;
  };
  // Under mutex_: the port's queue, its worker started on first use.
  PortQueue& QueueOf(const std::string& port);
  void Enqueue(const std::string& port, std::uint32_t id);
  // Under mutex_: whether the worker may take the job now (it has bytes, or
  // has ended its input).
  bool Ready(std::uint32_t id) const;
  void Run(std::string port);
  bool OpenPortFor(const std::string& port, std::string* error);
  // Runs the job at its printer's port; a job whose printer moved to another
  // port meanwhile goes to that port's queue instead.
  void RunJob(const std::string& queuePort, std::uint32_t id);
  // What a failed WritePort tells the client, `written` bytes into the job.
  std::string WriteFailure(std::uint32_t id, std::size_t written) const;
  // Carries one copy to the port; an empty string, or why it stopped.
  std::string SendCopy(std::uint32_t id, int dataFd, const MONITOR* table, HANDLE handle);
  void Update(std::uint32_t id, const std::function<void(JobInfo&)>& change);
  // Writes the job's record as it is now; `durable` waits for the disk.
  bool SaveRecord(std::uint32_t id, bool durable, std::string* error);
  // The job ends (once: a job already ended stays as it was); its files go.
  void End(std::uint32_t id, JobState state, const std::string& error);
  // Under mutex_: drops the oldest ended jobs beyond the history kept.
  void TrimHistoryLocked();
  JobRecord RecordOf(const Job& job) const;

  Monitors& monitors_;
  PrinterRegistry& printers_;
  const SpoolFolder spool_;
  Logger log_;
  mutable std::mutex mutex_;
  // Taken before mutex_: one writer of the spool files at a time, and none
  // after a job's end has removed them.
  std::mutex filesMutex_;
  // Held while an id is given and stored.
  std::mutex idMutex_;
  std::condition_variable changed_;
  std::map<std::string, std::unique_ptr<PortQueue>> queues_;
  std::map<std::uint32_t, Job> jobs_;
  std::uint32_t nextId_ = 1;
  std::size_t hotBytes_ = 0;  // all jobs' pieces kept for their workers
  bool stopping_ = false;
  // Port handles from OpenPort, by port name, with the monitor that gave them.
  std::map<std::string, std::pair<std::size_t, HANDLE>> handles_;
};

}  // namespace spoolhost
