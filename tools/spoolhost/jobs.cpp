// The job queue: one worker that carries the spooler's port operations to the
// monitors in order (opening ports, registering printers, printing jobs).
#include "jobs.h"

namespace spoolhost {
namespace {

// Bytes per WritePort: well below the 16-bit counts the monitor works in.
constexpr std::size_t kWriteChunk = 16 * 1024;

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
    : monitors_(monitors), printers_(printers), log_(std::move(log)), worker_([this] { Run(); }) {}

JobQueue::~JobQueue() { Stop(); }

bool JobQueue::Attach(const std::string& printer, const std::string& port, std::string* error) {
  auto result = std::make_shared<std::optional<std::string>>();
  std::unique_lock lock(mutex_);
  if (stopping_) {
    *error = "the spooler is stopping";
    return false;
  }
  tasks_.push_back(Task{Task::Open, 0, printer, port, result});
  changed_.notify_all();
  changed_.wait(lock, [&] { return result->has_value() || stopping_; });
  if (!result->has_value()) {
    *error = "the spooler is stopping";
    return false;
  }
  *error = **result;
  return error->empty();
}

std::uint32_t JobQueue::Submit(const std::string& printer, std::string data) {
  std::lock_guard lock(mutex_);
  JobInfo job;
  job.id = nextId_++;
  job.printer = printer;
  job.size = data.size();
  if (stopping_) {
    job.state = JobState::Failed;
    job.error = "the spooler is stopping";
  } else {
    data_[job.id] = std::move(data);
    tasks_.push_back(Task{Task::Print, job.id, printer, "", nullptr});
    changed_.notify_all();
  }
  jobs_[job.id] = job;
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
  if (!busy_) return std::nullopt;
  return jobs_.at(*busy_);
}

void JobQueue::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (Task& t : tasks_) {
      if (t.kind == Task::Print) {
        JobInfo& job = jobs_.at(t.job);
        job.state = JobState::Failed;
        job.error = "the spooler stopped before the job ran";
        data_.erase(t.job);
      }
    }
    tasks_.clear();
    changed_.notify_all();
  }
  if (worker_.joinable()) worker_.join();
}

void JobQueue::Update(std::uint32_t id, const std::function<void(JobInfo&)>& change) {
  std::lock_guard lock(mutex_);
  change(jobs_.at(id));
  changed_.notify_all();
}

void JobQueue::Run() {
  for (;;) {
    Task task;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
      if (stopping_) return;
      task = tasks_.front();
      tasks_.pop_front();
    }
    if (task.kind == Task::Open) {
      std::string error;
      bool opened = OpenPortFor(task.port, &error);
      {
        std::lock_guard lock(mutex_);
        *task.openResult = opened ? "" : error;
        changed_.notify_all();
      }
      if (!opened) continue;
      // The empty job that puts the printer on the port's list.
      std::uint32_t id;
      {
        std::lock_guard lock(mutex_);
        JobInfo job;
        job.id = id = nextId_++;
        job.printer = task.printer;
        job.port = task.port;
        job.registration = true;
        jobs_[id] = job;
      }
      RunJob(id, "");
    } else {
      std::string data;
      {
        std::lock_guard lock(mutex_);
        data = std::move(data_[task.job]);
        data_.erase(task.job);
      }
      RunJob(task.job, std::move(data));
    }
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
  if (table == nullptr || !table->pfnOpenPort(name.data(), &handle)) {
    *error = "the monitor refused to open port " + port;
    return false;
  }
  std::lock_guard lock(mutex_);
  handles_[port] = {*owner, handle};
  return true;
}

void JobQueue::RunJob(std::uint32_t id, std::string data) {
  JobInfo job;
  {
    std::lock_guard lock(mutex_);
    job = jobs_.at(id);
    busy_ = id;
  }
  auto fail = [&](const std::string& error) {
    Update(id, [&](JobInfo& j) {
      j.state = JobState::Failed;
      j.error = error;
    });
    log_("job " + std::to_string(id) + " failed: " + error);
    std::lock_guard lock(mutex_);
    busy_.reset();
  };

  // The printer's port is read when the job runs, so a job follows its printer.
  std::string port = job.port;
  if (!job.registration) {
    std::optional<Printer> printer = printers_.Find(job.printer);
    if (!printer) return fail("printer " + job.printer + " no longer exists");
    port = printer->port;
    Update(id, [&](JobInfo& j) { j.port = port; });
    bool open;
    {
      std::lock_guard lock(mutex_);
      open = handles_.count(port) != 0;
    }
    if (!open) {
      // First job on this port since the daemon started: open it and run the
      // empty job first, as after any OpenPort.
      std::string error;
      if (!OpenPortFor(port, &error)) return fail(error);
      std::uint32_t reg;
      {
        std::lock_guard lock(mutex_);
        JobInfo r;
        r.id = reg = nextId_++;
        r.printer = job.printer;
        r.port = port;
        r.registration = true;
        jobs_[reg] = r;
      }
      RunJob(reg, "");
      {
        std::lock_guard lock(mutex_);
        busy_ = id;
      }
    }
  }
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
  log_(std::string(job.registration ? "registering printer " : "job " + std::to_string(id) + ": printer ") +
       job.printer + " on port " + port);
  if (!table->pfnStartDocPort(handle.second, printerName.data(), id, 1, reinterpret_cast<LPBYTE>(&doc)))
    return fail("the monitor refused the job at port " + port + " (StartDocPort failed; spoolhost log shows why)");
  Update(id, [](JobInfo& j) { j.state = JobState::Printing; });

  std::size_t at = 0;
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
    Update(id, [at](JobInfo& j) { j.sent = at; });
  }
  // The session is ended even after a failed write, so the port is free again.
  BOOL ended = table->pfnEndDocPort(handle.second);
  if (!writeError.empty()) return fail(writeError);
  if (!ended) return fail("EndDocPort failed at port " + port);
  Update(id, [](JobInfo& j) { j.state = JobState::Done; });
  log_(job.registration ? "printer " + job.printer + " registered on port " + port
                        : "job " + std::to_string(id) + " done: " + std::to_string(data.size()) + " bytes to port " + port);
  std::lock_guard lock(mutex_);
  busy_.reset();
}

}  // namespace spoolhost
