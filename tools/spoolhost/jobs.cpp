// The job queues: one per port, each with a worker that carries its jobs to
// the port's monitor in order, reading each job's spool file behind its client.
#include "jobs.h"

#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace spoolhost {
namespace {

// Bytes per WritePort: below the 16-bit counts the monitor works in, and
// large enough that a long job takes few calls. Also the most of a job the
// worker holds in memory: the rest waits in the spool file.
constexpr std::size_t kWriteChunk = 60 * 1024;

// How far a client may send ahead of its job's port: a stream that never
// ends fills the spool at the printer's pace, not the disk's.
constexpr std::size_t kAheadOfPort = 64 << 20;

// How long a job waits for its port to be listed (in real time: the
// monitor's discovery runs on the platform clock, which may run faster).
constexpr std::chrono::seconds kPortWait{60};

// The most of a job's freshly spooled data kept in memory for its port's
// worker, and of all jobs' together. A worker close behind its client takes
// each piece from here; one further behind reads the spool file, as it
// always may, and so does a job waiting for its port.
constexpr std::size_t kHotBytes = 2 << 20;
constexpr std::size_t kHotBytesInAll = 16 << 20;

// Ended jobs `jobs` still lists.
constexpr std::size_t kHistory = 20;

// While the client still sends, the job's size is not known: progress goes
// out every this many bytes instead of in whole percents.
constexpr std::size_t kProgressStep = 4 << 20;

// DOC_INFO_1 as StartDocPort receives it at level 1.
struct DocInfo1 {
  LPSTR pDocName;
  LPSTR pOutputFile;
  LPSTR pDatatype;
};

// Reads exactly `size` bytes at `offset`; false with errno set (0 at an
// early end of file).
bool ReadAt(int fd, char* data, std::size_t size, std::size_t offset) {
  while (size > 0) {
    ssize_t n = ::pread(fd, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

const char* JobStateName(JobState state) {
  switch (state) {
    case JobState::Queued: return "queued";
    case JobState::Starting: return "waiting for the port";
    case JobState::Printing: return "printing";
    case JobState::Done: return "done";
    case JobState::Failed: return "failed";
    case JobState::Cancelled: return "cancelled";
  }
  return "?";
}

JobQueue::JobQueue(Monitors& monitors, PrinterRegistry& printers, SpoolFolder spool, Logger log)
    : monitors_(monitors), printers_(printers), spool_(std::move(spool)), log_(std::move(log)) {}

JobQueue::~JobQueue() { Stop(); }

bool JobQueue::Attach(const std::string&, const std::string& port, std::string* error) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      *error = "the spooler is stopping";
      return false;
    }
    if (handles_.count(port) != 0) return true;
  }
  return OpenPortFor(port, error);
}

JobQueue::PortQueue& JobQueue::QueueOf(const std::string& port) {
  std::unique_ptr<PortQueue>& queue = queues_[port];
  if (!queue) {
    queue = std::make_unique<PortQueue>();
    queue->worker = std::thread([this, port] { Run(port); });
  }
  return *queue;
}

void JobQueue::Enqueue(const std::string& port, std::uint32_t id) {
  jobs_.at(id).info.port = port;
  QueueOf(port).jobs.push_back(id);
  changed_.notify_all();
}

JobRecord JobQueue::RecordOf(const Job& job) const {
  JobRecord r;
  r.id = job.info.id;
  r.printer = job.info.printer;
  r.port = job.info.port;
  r.size = job.info.size;
  r.complete = job.info.complete;
  r.printing = job.info.state == JobState::Starting || job.info.state == JobState::Printing;
  r.copies = job.info.copies;
  r.copiesDone = job.copiesDone;
  return r;
}

bool JobQueue::SaveRecord(std::uint32_t id, bool durable, std::string* error) {
  // One writer at a time, and never for an ended job, whose files are gone.
  std::lock_guard files(filesMutex_);
  JobRecord record;
  {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(id);
    if (it == jobs_.end() || it->second.info.Ended()) return true;
    record = RecordOf(it->second);
  }
  return spool_.WriteRecord(record, durable, error);
}

void JobQueue::End(std::uint32_t id, JobState state, const std::string& error) {
  {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(id);
    if (it == jobs_.end() || it->second.info.Ended()) return;
    Job& job = it->second;
    job.info.state = state;
    job.info.error = error;
    job.hot.clear();
    hotBytes_ -= job.hotBytes;
    job.hotBytes = 0;
    for (auto& [port, queue] : queues_) {
      auto at = std::find(queue->jobs.begin(), queue->jobs.end(), id);
      if (at != queue->jobs.end()) queue->jobs.erase(at);
    }
    TrimHistoryLocked();
    changed_.notify_all();
  }
  std::lock_guard files(filesMutex_);
  spool_.Remove(id);
}

void JobQueue::TrimHistoryLocked() {
  std::size_t ended = 0;
  for (const auto& [id, job] : jobs_) ended += job.info.Ended() ? 1 : 0;
  for (auto it = jobs_.begin(); it != jobs_.end() && ended > kHistory;) {
    const Job& job = it->second;
    if (job.info.Ended() && job.waiters == 0 && job.client < 0) {
      it = jobs_.erase(it);
      --ended;
    } else {
      ++it;
    }
  }
}

void JobQueue::Recover() {
  std::vector<std::pair<std::uint32_t, std::string>> failed;
  std::vector<JobRecord> records = spool_.ReadRecords(&failed);
  std::uint32_t next = spool_.LoadNextId();
  for (const JobRecord& r : records) next = std::max(next, r.id + 1);
  for (const auto& [id, why] : failed) next = std::max(next, id + 1);
  std::vector<Job> found;
  for (const auto& [id, why] : failed) {
    Job job;
    job.info.id = id;
    job.info.printer = "?";
    found.push_back(std::move(job));
  }
  for (const JobRecord& r : records) {
    Job job;
    job.info.id = r.id;
    job.info.printer = r.printer;
    job.info.port = r.port;
    job.info.size = r.size;
    job.info.complete = r.complete;
    job.info.copies = r.copies;
    job.info.restarted = r.printing;
    job.copiesDone = r.copiesDone;
    long long onDisk = spool_.DataSize(r.id);
    if (!r.complete) {
      job.info.size = onDisk < 0 ? 0 : static_cast<std::size_t>(onDisk);
      failed.push_back({r.id, "incomplete: its client was cut off when the spooler stopped, after " +
                                  std::to_string(job.info.size) + " bytes"});
    } else if (onDisk < 0 || static_cast<std::uint64_t>(onDisk) != r.size) {
      failed.push_back({r.id, "its spool file " + spool_.DataPath(r.id) + " holds " +
                                  std::to_string(std::max(onDisk, 0LL)) + " of its " + std::to_string(r.size) +
                                  " bytes"});
    } else if (!printers_.Find(r.printer)) {
      failed.push_back({r.id, "printer " + r.printer + " no longer exists"});
    }
    found.push_back(std::move(job));
  }
  for (const auto& [id, why] : failed) {
    log_("job " + std::to_string(id) + " failed: " + why);
    spool_.Remove(id);
  }
  spool_.RemoveStrays();
  std::lock_guard lock(mutex_);
  nextId_ = next;
  for (Job& job : found) {
    const std::uint32_t id = job.info.id;
    auto why = std::find_if(failed.begin(), failed.end(), [id](const auto& f) { return f.first == id; });
    if (why != failed.end()) {
      job.info.state = JobState::Failed;
      job.info.error = why->second;
    }
    jobs_[id] = std::move(job);
  }
  for (auto& [id, job] : jobs_) {
    if (job.info.Ended()) continue;
    std::optional<Printer> printer = printers_.Find(job.info.printer);
    if (!printer) continue;
    log_("job " + std::to_string(id) + " of printer " + job.info.printer +
         (job.info.restarted ? " prints again from its start" : " is queued") + " from the spool");
    Enqueue(printer->port, id);
  }
  TrimHistoryLocked();
}

std::uint32_t JobQueue::Open(const std::string& printer, unsigned copies, int client, std::string* error) {
  std::optional<Printer> found = printers_.Find(printer);
  if (!found) {
    *error = "unknown printer " + printer + " (spoolhost printers lists them)";
    return 0;
  }
  std::uint32_t id;
  {
    // The id is on the disk before it is used, so no later daemon gives it again.
    std::lock_guard ids(idMutex_);
    {
      std::lock_guard lock(mutex_);
      if (stopping_) {
        *error = "the spooler is stopping";
        return 0;
      }
      id = nextId_;
    }
    if (!spool_.StoreNextId(id + 1, error)) return 0;
    std::lock_guard lock(mutex_);
    nextId_ = id + 1;
  }
  Job job;
  job.info.id = id;
  job.info.printer = found->name;
  job.info.port = found->port;
  job.info.copies = copies;
  job.client = client;
  job.data = spool_.CreateData(id, error);
  if (!job.data.Valid()) return 0;
  if (!spool_.WriteRecord(RecordOf(job), false, error)) {
    std::lock_guard files(filesMutex_);
    spool_.Remove(id);
    return 0;
  }
  std::unique_lock lock(mutex_);
  if (stopping_) {
    lock.unlock();
    *error = "the spooler is stopping";
    std::lock_guard files(filesMutex_);
    spool_.Remove(id);
    return 0;
  }
  jobs_[id] = std::move(job);
  Enqueue(found->port, id);
  return id;
}

bool JobQueue::Append(std::uint32_t id, std::string* piece, std::string* error) {
  const std::size_t size = piece->size();
  int fd;
  {
    std::unique_lock lock(mutex_);
    Job& job = jobs_.at(id);
    job.clientWaits = true;
    changed_.wait(lock, [&] {
      return job.info.state != JobState::Printing || job.info.size < job.written + kAheadOfPort || job.cancelled ||
             stopping_;
    });
    job.clientWaits = false;
    if (job.info.Ended() || job.cancelled) {
      *error = job.info.error.empty() ? "cancelled" : job.info.error;
      job.data.Reset();
      return false;
    }
    fd = job.data.Get();
  }
  // Only the client's own thread writes the file, so it is written unlocked.
  if (!WriteAll(fd, piece->data(), size)) {
    *error = "cannot spool the job: " + spool_.DataPath(id) + ": " + std::strerror(errno);
    End(id, JobState::Failed, *error);
    std::lock_guard lock(mutex_);
    jobs_.at(id).data.Reset();
    return false;
  }
  std::lock_guard lock(mutex_);
  Job& job = jobs_.at(id);
  if (size > 0 && job.info.state == JobState::Printing && job.hotBytes + size <= kHotBytes &&
      hotBytes_ + size <= kHotBytesInAll) {
    job.hot.emplace_back(job.info.size, std::move(*piece));
    job.hotBytes += size;
    hotBytes_ += size;
    piece->clear();
  }
  job.info.size += size;
  changed_.notify_all();
  return true;
}

bool JobQueue::Close(std::uint32_t id, std::string* error) {
  {
    // The port worker may finish the job while its record goes to the disk:
    // the box need not wait for two fsyncs.
    std::lock_guard lock(mutex_);
    jobs_.at(id).info.complete = true;
    changed_.notify_all();
  }
  // The data is not synced: waiting for a large job to reach the disk would
  // hold up its client for nothing but a power cut, after which the next
  // start finds the file shorter than its record and reports the job failed.
  std::string why;
  bool ok = SaveRecord(id, true, &why);
  if (!ok) {
    *error = "cannot spool the job: " + why;
    End(id, JobState::Failed, *error);
  }
  std::lock_guard lock(mutex_);
  jobs_.at(id).data.Reset();
  changed_.notify_all();
  return ok;
}

void JobQueue::Abandon(std::uint32_t id, const std::string& why) {
  bool cancelled;
  {
    std::lock_guard lock(mutex_);
    Job& job = jobs_.at(id);
    job.data.Reset();
    cancelled = job.cancelled;
  }
  // A cancel shuts the client's socket, and ends the job itself (or its
  // worker does, at the port).
  if (!cancelled) End(id, JobState::Failed, why);
}

JobInfo JobQueue::Wait(std::uint32_t id, const std::function<void(const JobInfo&)>& progress) {
  std::unique_lock lock(mutex_);
  ++jobs_.at(id).waiters;
  JobInfo last;
  bool first = true;
  for (;;) {
    const JobInfo& now = jobs_.at(id).info;
    if (first || now.state != last.state || now.sent != last.sent || now.copy != last.copy) {
      last = now;
      first = false;
      lock.unlock();
      progress(last);
      lock.lock();
      continue;
    }
    if (now.Ended() || stopping_) break;
    changed_.wait(lock);
  }
  Job& job = jobs_.at(id);
  --job.waiters;
  job.client = -1;  // the client's thread lets go of the job here
  return job.info;
}

std::optional<JobInfo> JobQueue::Find(std::uint32_t id) const {
  std::lock_guard lock(mutex_);
  auto it = jobs_.find(id);
  if (it == jobs_.end()) return std::nullopt;
  return it->second.info;
}

std::vector<std::uint32_t> JobQueue::ActiveJobsOf(const std::string& printer) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint32_t> ids;
  for (const auto& [id, job] : jobs_)
    if (!job.info.Ended() && ::strcasecmp(job.info.printer.c_str(), printer.c_str()) == 0) ids.push_back(id);
  return ids;
}

std::optional<JobInfo> JobQueue::Cancel(std::uint32_t id, std::chrono::milliseconds wait) {
  bool atPort = false;
  {
    std::lock_guard lock(mutex_);
    auto it = jobs_.find(id);
    if (it == jobs_.end()) return std::nullopt;
    Job& job = it->second;
    if (job.info.Ended()) return job.info;
    job.cancelled = true;
    // A client waiting for its own input to come lets go of the job.
    if (job.data.Valid() && job.client >= 0) ::shutdown(job.client, SHUT_RD);
    for (const auto& [port, queue] : queues_) atPort |= queue->busy == id;
    changed_.notify_all();
  }
  if (atPort) {
    log_("job " + std::to_string(id) + ": cancel asked while at its port");
  } else {
    End(id, JobState::Cancelled, "cancelled");
    log_("job " + std::to_string(id) + " cancelled before it reached its port");
  }
  std::unique_lock lock(mutex_);
  Job& job = jobs_.at(id);
  ++job.waiters;
  changed_.wait_for(lock, wait, [&job] { return job.info.Ended(); });
  --job.waiters;
  return job.info;
}

std::vector<JobInfo> JobQueue::List() const {
  std::lock_guard lock(mutex_);
  std::vector<JobInfo> out;
  for (const auto& [id, job] : jobs_) out.push_back(job.info);
  return out;
}

std::optional<JobInfo> JobQueue::Busy() const {
  std::lock_guard lock(mutex_);
  for (const auto& [port, queue] : queues_)
    if (queue->busy) return jobs_.at(*queue->busy).info;
  return std::nullopt;
}

void JobQueue::Stop() {
  std::vector<std::thread> workers;
  std::vector<std::uint32_t> coming;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [id, job] : jobs_) {
      if (job.info.Ended() || !job.data.Valid() || job.client < 0) continue;
      ::shutdown(job.client, SHUT_RD);
      coming.push_back(id);
    }
    for (auto& [port, queue] : queues_)
      if (queue->worker.joinable()) workers.push_back(std::move(queue->worker));
    changed_.notify_all();
  }
  // Jobs spooled whole wait in the spool folder for the next start.
  for (std::uint32_t id : coming) End(id, JobState::Failed, "the spooler stopped before the whole job came");
  for (std::thread& worker : workers) worker.join();
}

void JobQueue::Update(std::uint32_t id, const std::function<void(JobInfo&)>& change) {
  std::lock_guard lock(mutex_);
  change(jobs_.at(id).info);
  changed_.notify_all();
}

bool JobQueue::Ready(std::uint32_t id) const {
  const Job& job = jobs_.at(id);
  return job.info.size > 0 || job.info.complete || job.cancelled;
}

void JobQueue::Run(std::string port) {
  for (;;) {
    std::uint32_t id;
    {
      std::unique_lock lock(mutex_);
      PortQueue& queue = *queues_.at(port);
      // A job whose client has sent nothing yet holds up no job behind it.
      auto ready = [&] { return std::find_if(queue.jobs.begin(), queue.jobs.end(), [&](std::uint32_t j) { return Ready(j); }); };
      changed_.wait(lock, [&] { return stopping_ || ready() != queue.jobs.end(); });
      if (stopping_) return;
      auto at = ready();
      id = *at;
      queue.jobs.erase(at);
      queue.busy = id;
    }
    RunJob(port, id);
    std::lock_guard lock(mutex_);
    queues_.at(port)->busy.reset();
    changed_.notify_all();
  }
}

bool JobQueue::OpenPortFor(const std::string& port, std::string* error) {
  std::optional<std::size_t> owner = monitors_.OwnerOf(port);
  if (!owner) {
    *error = "no monitor lists a port named " + port + " (spoolhost ports lists them)";
    return false;
  }
  const MONITOR* table = monitors_.Table(*owner);
  std::vector<char> name(port.begin(), port.end());
  name.push_back('\0');
  HANDLE handle = nullptr;
  // OpenPort of a port already open gives the same handle, so two callers
  // racing here do no harm.
  if (table == nullptr || !table->pfnOpenPort(name.data(), &handle)) {
    *error = "the monitor refused to open port " + port;
    return false;
  }
  std::lock_guard lock(mutex_);
  handles_[port] = {*owner, handle};
  return true;
}

void JobQueue::RunJob(const std::string& queuePort, std::uint32_t id) {
  JobInfo job;
  unsigned copiesDone;
  bool cancelled;
  {
    std::lock_guard lock(mutex_);
    job = jobs_.at(id).info;
    copiesDone = jobs_.at(id).copiesDone;
    cancelled = jobs_.at(id).cancelled;
  }
  auto fail = [&](const std::string& error) {
    End(id, JobState::Failed, error);
    log_("job " + std::to_string(id) + " failed: " + error);
  };
  if (job.Ended()) return;
  if (cancelled) return End(id, JobState::Cancelled, "cancelled");

  // The printer's port is read when the job runs, so a job follows its printer.
  std::optional<Printer> printer = printers_.Find(job.printer);
  if (!printer) return fail("printer " + job.printer + " no longer exists");
  const std::string port = printer->port;
  bool open;
  {
    std::lock_guard lock(mutex_);
    if (port != queuePort && !stopping_) {
      Enqueue(port, id);
      return;
    }
    open = handles_.count(port) != 0;
  }
  if (port != queuePort) return;  // stopping: the job stays spooled
  std::string error;
  // First job on this port since the daemon started. A job found in the
  // spool at start may come before the monitor has heard from the port's
  // box again: it waits a while for the port to be listed.
  const auto giveUp = std::chrono::steady_clock::now() + kPortWait;
  while (!open && !OpenPortFor(port, &error)) {
    std::unique_lock lock(mutex_);
    const Job& waiting = jobs_.at(id);
    const auto retry = std::min(giveUp, std::chrono::steady_clock::now() + std::chrono::milliseconds(250));
    changed_.wait_until(lock, retry, [&] { return stopping_ || waiting.cancelled; });
    if (stopping_) return;  // it stays in the spool for the next start
    if (waiting.cancelled) {
      lock.unlock();
      return End(id, JobState::Cancelled, "cancelled");
    }
    if (std::chrono::steady_clock::now() >= giveUp) {
      lock.unlock();
      return fail(error);
    }
  }
  std::pair<std::size_t, HANDLE> handle;
  {
    std::lock_guard lock(mutex_);
    handle = handles_.at(port);
  }
  const MONITOR* table = monitors_.Table(handle.first);
  if (table == nullptr) return fail("the monitor of port " + port + " is not running");
  tools::UniqueFd data = spool_.OpenData(id, &error);
  if (!data.Valid()) return fail("cannot read the spool file: " + error);

  std::vector<char> printerName(job.printer.begin(), job.printer.end());
  printerName.push_back('\0');
  char docName[] = "spoolhost job";
  char datatype[] = "RAW";
  DocInfo1 doc{docName, nullptr, datatype};
  log_("job " + std::to_string(id) + ": printer " + job.printer + " on port " + port +
       (job.copies > 1 ? ", " + std::to_string(job.copies) + " copies" : ""));
  // Each copy is a job of its own at the box, as the spooler prints copies a
  // printer cannot make itself: the box prints each whole.
  for (unsigned copy = copiesDone + 1; copy <= job.copies; ++copy) {
    Update(id, [copy](JobInfo& j) {
      j.state = JobState::Starting;
      j.copy = copy;
      j.sent = 0;
    });
    // A job found printing after a crash prints again from its start.
    if (std::string why; !SaveRecord(id, false, &why)) log_("job " + std::to_string(id) + ": " + why);
    if (!table->pfnStartDocPort(handle.second, printerName.data(), id, 1, reinterpret_cast<LPBYTE>(&doc)))
      return fail("the monitor refused the job at port " + port + " (StartDocPort failed; spoolhost log shows why)");
    Update(id, [](JobInfo& j) { j.state = JobState::Printing; });
    std::string why = SendCopy(id, data.Get(), table, handle.second);
    // The session is ended even after a failed write or a cancel, so the port
    // is free again.
    BOOL ended = table->pfnEndDocPort(handle.second);
    bool cancelled;
    {
      std::lock_guard lock(mutex_);
      cancelled = jobs_.at(id).cancelled;
    }
    if (cancelled) {
      End(id, JobState::Cancelled, "cancelled");
      log_("job " + std::to_string(id) + " cancelled at port " + port);
      return;
    }
    if (!why.empty()) return fail(why + (ended ? "; the session was hung up" : ""));
    if (!ended) return fail("EndDocPort failed at port " + port);
    {
      std::lock_guard lock(mutex_);
      jobs_.at(id).copiesDone = copy;
    }
    if (copy < job.copies)
      if (std::string why2; !SaveRecord(id, false, &why2)) log_("job " + std::to_string(id) + ": " + why2);
  }
  std::size_t size = Find(id)->size;
  End(id, JobState::Done, "");
  log_("job " + std::to_string(id) + " done: " + std::to_string(size) + " bytes to port " + port +
       (job.copies > 1 ? ", " + std::to_string(job.copies) + " copies" : ""));
}

// The job's size now, not the one its last piece was cut from: a job still
// arriving has grown since, and one whose client has finished is whole.
std::string JobQueue::WriteFailure(std::uint32_t id, std::size_t written) const {
  std::optional<JobInfo> job = Find(id);
  std::string size = job ? std::to_string(job->size) : "?";
  return "WritePort failed after " + std::to_string(written) + " of " +
         (job && job->complete ? size + " bytes" : "the " + size + " bytes received so far");
}

std::string JobQueue::SendCopy(std::uint32_t id, int dataFd, const MONITOR* table, HANDLE handle) {
  std::vector<char> buffer(kWriteChunk);
  std::size_t at = 0, told = 0;
  int stalls = 0;
  std::string hot;
  for (;;) {
    std::size_t size, piece;
    hot.clear();
    {
      std::unique_lock lock(mutex_);
      Job& job = jobs_.at(id);
      job.written = at;
      if (job.clientWaits) changed_.notify_all();
      changed_.wait(lock, [&] { return job.cancelled || job.info.Ended() || job.info.size > at || job.info.complete; });
      if (job.cancelled) return "cancelled";
      if (job.info.Ended()) return job.info.error;
      size = job.info.size;
      if (at == size) return "";  // complete, and all of it written
      // A piece still in memory is taken as it is; up to the next one, the
      // spool file is read.
      while (!job.hot.empty() && job.hot.front().first < at) {
        job.hotBytes -= job.hot.front().second.size();
        hotBytes_ -= job.hot.front().second.size();
        job.hot.pop_front();
      }
      std::size_t readable = size - at;
      if (!job.hot.empty() && job.hot.front().first == at) {
        hot = std::move(job.hot.front().second);
        job.hot.pop_front();
        job.hotBytes -= hot.size();
        hotBytes_ -= hot.size();
        readable = hot.size();
      } else if (!job.hot.empty()) {
        readable = job.hot.front().first - at;
      }
      piece = hot.empty() ? std::min(kWriteChunk, readable) : readable;
    }
    if (hot.empty() && !ReadAt(dataFd, buffer.data(), piece, at))
      return "cannot read the spool file " + spool_.DataPath(id) + ": " +
             (errno == 0 ? "it is shorter than the job" : std::strerror(errno));
    char* bytes = hot.empty() ? buffer.data() : hot.data();
    for (std::size_t done = 0; done < piece;) {
      DWORD chunk = static_cast<DWORD>(std::min(piece - done, kWriteChunk));
      DWORD written = 0;
      if (!table->pfnWritePort(handle, reinterpret_cast<LPBYTE>(bytes + done), chunk, &written))
        return WriteFailure(id, at + done + std::min<std::size_t>(written, chunk));
      if (written == 0 && ++stalls > 3) return "WritePort took no bytes";
      done += std::min<std::size_t>(written, chunk);
    }
    at += piece;
    // Progress goes out in whole percents (or steps while the size is not
    // known): waking the waiting client for every write would cost a large
    // job more than its writes do.
    bool complete = Find(id)->complete;
    if (complete ? at == size || at * 100 / size != told * 100 / size : at - told >= kProgressStep) {
      told = at;
      Update(id, [at](JobInfo& j) { j.sent = at; });
    }
  }
}

}  // namespace spoolhost
