// The job queues: one per port, each with a worker that carries its jobs to
// the port's monitor in order.
#include "jobs.h"

namespace spoolhost {
namespace {

// Bytes per WritePort: below the 16-bit counts the monitor works in, and
// large enough that a long job takes few calls.
constexpr std::size_t kWriteChunk = 60 * 1024;

// DOC_INFO_1 as StartDocPort receives it at level 1.
struct DocInfo1 {
  LPSTR pDocName;
  LPSTR pOutputFile;
  LPSTR pDatatype;
};

}  // namespace

const char* JobStateName(JobState state) {
  switch (state) {
    case JobState::Queued: return "queued";
    case JobState::Starting: return "waiting for the port";
    case JobState::Printing: return "printing";
    case JobState::Done: return "done";
    case JobState::Failed: return "failed";
  }
  return "?";
}

JobQueue::JobQueue(Monitors& monitors, PrinterRegistry& printers, Logger log)
    : monitors_(monitors), printers_(printers), log_(std::move(log)) {}

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
  jobs_.at(id).port = port;
  QueueOf(port).jobs.push_back(id);
  changed_.notify_all();
}

std::uint32_t JobQueue::Submit(const std::string& printer, std::string data) {
  std::optional<Printer> found = printers_.Find(printer);
  std::lock_guard lock(mutex_);
  JobInfo job;
  job.id = nextId_++;
  job.printer = printer;
  job.size = data.size();
  if (stopping_ || !found) {
    job.state = JobState::Failed;
    job.error = stopping_ ? "the spooler is stopping" : "printer " + printer + " no longer exists";
    jobs_[job.id] = job;
  } else {
    jobs_[job.id] = job;
    data_[job.id] = std::move(data);
    Enqueue(found->port, job.id);
  }
  return job.id;
}

JobInfo JobQueue::Wait(std::uint32_t id, const std::function<void(const JobInfo&)>& progress) {
  std::unique_lock lock(mutex_);
  JobInfo last;
  bool first = true;
  for (;;) {
    const JobInfo& now = jobs_.at(id);
    if (first || now.state != last.state || now.sent != last.sent) {
      last = now;
      first = false;
      lock.unlock();
      progress(last);
      lock.lock();
      continue;
    }
    if (now.state == JobState::Done || now.state == JobState::Failed) return now;
    changed_.wait(lock);
  }
}

std::vector<JobInfo> JobQueue::List() const {
  std::lock_guard lock(mutex_);
  std::vector<JobInfo> out;
  for (const auto& [id, job] : jobs_) out.push_back(job);
  return out;
}

std::optional<JobInfo> JobQueue::Busy() const {
  std::lock_guard lock(mutex_);
  for (const auto& [port, queue] : queues_)
    if (queue->busy) return jobs_.at(*queue->busy);
  return std::nullopt;
}

void JobQueue::Stop() {
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& [port, queue] : queues_) {
      for (std::uint32_t id : queue->jobs) {
        JobInfo& job = jobs_.at(id);
        job.state = JobState::Failed;
        job.error = "the spooler stopped before the job ran";
        data_.erase(id);
      }
      queue->jobs.clear();
      if (queue->worker.joinable()) workers.push_back(std::move(queue->worker));
    }
    changed_.notify_all();
  }
  for (std::thread& worker : workers) worker.join();
}

void JobQueue::Update(std::uint32_t id, const std::function<void(JobInfo&)>& change) {
  std::lock_guard lock(mutex_);
  change(jobs_.at(id));
  changed_.notify_all();
}

void JobQueue::Run(std::string port) {
  for (;;) {
    std::uint32_t id;
    {
      std::unique_lock lock(mutex_);
      PortQueue& queue = *queues_.at(port);
      changed_.wait(lock, [&] { return stopping_ || !queue.jobs.empty(); });
      if (stopping_) return;
      id = queue.jobs.front();
      queue.jobs.pop_front();
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
  std::string data;
  {
    std::lock_guard lock(mutex_);
    job = jobs_.at(id);
  }
  auto fail = [&](const std::string& error) {
    Update(id, [&](JobInfo& j) {
      j.state = JobState::Failed;
      j.error = error;
    });
    {
      std::lock_guard lock(mutex_);
      data_.erase(id);
    }
    log_("job " + std::to_string(id) + " failed: " + error);
  };

  // The printer's port is read when the job runs, so a job follows its printer.
  std::optional<Printer> printer = printers_.Find(job.printer);
  if (!printer) return fail("printer " + job.printer + " no longer exists");
  const std::string port = printer->port;
  bool open;
  {
    std::lock_guard lock(mutex_);
    if (port != queuePort) {
      if (!stopping_) {
        Enqueue(port, id);
        return;
      }
    }
    open = handles_.count(port) != 0;
    data = std::move(data_[id]);
    data_.erase(id);
  }
  if (port != queuePort) return fail("the spooler stopped before the job ran");
  std::string error;
  // First job on this port since the daemon started.
  if (!open && !OpenPortFor(port, &error)) return fail(error);
  std::pair<std::size_t, HANDLE> handle;
  {
    std::lock_guard lock(mutex_);
    handle = handles_.at(port);
  }
  const MONITOR* table = monitors_.Table(handle.first);
  if (table == nullptr) return fail("the monitor of port " + port + " is not running");

  std::vector<char> printerName(job.printer.begin(), job.printer.end());
  printerName.push_back('\0');
  char docName[] = "spoolhost job";
  char datatype[] = "RAW";
  DocInfo1 doc{docName, nullptr, datatype};
  Update(id, [](JobInfo& j) { j.state = JobState::Starting; });
  log_("job " + std::to_string(id) + ": printer " + job.printer + " on port " + port);
  if (!table->pfnStartDocPort(handle.second, printerName.data(), id, 1, reinterpret_cast<LPBYTE>(&doc)))
    return fail("the monitor refused the job at port " + port + " (StartDocPort failed; spoolhost log shows why)");
  Update(id, [](JobInfo& j) { j.state = JobState::Printing; });

  std::size_t at = 0, told = 0;
  int stalls = 0;
  std::string writeError;
  while (at < data.size()) {
    DWORD chunk = static_cast<DWORD>(std::min(kWriteChunk, data.size() - at));
    DWORD written = 0;
    if (!table->pfnWritePort(handle.second, reinterpret_cast<LPBYTE>(data.data() + at), chunk, &written)) {
      writeError = "WritePort failed after " + std::to_string(at + std::min<std::size_t>(written, chunk)) + " of " +
                   std::to_string(data.size()) + " bytes";
      break;
    }
    if (written == 0 && ++stalls > 3) {
      writeError = "WritePort took no bytes";
      break;
    }
    at += std::min<std::size_t>(written, chunk);
    // Progress goes out in whole percents: waking the waiting client for
    // every write would cost a large job more than its writes do.
    if (at == data.size() || at * 100 / data.size() != told * 100 / data.size()) {
      told = at;
      Update(id, [at](JobInfo& j) { j.sent = at; });
    }
  }
  // The session is ended even after a failed write, so the port is free again.
  BOOL ended = table->pfnEndDocPort(handle.second);
  if (!writeError.empty()) return fail(writeError + (ended ? "; the session was hung up" : ""));
  if (!ended) return fail("EndDocPort failed at port " + port);
  Update(id, [](JobInfo& j) { j.state = JobState::Done; });
  log_("job " + std::to_string(id) + " done: " + std::to_string(data.size()) + " bytes to port " + port);
}

}  // namespace spoolhost
