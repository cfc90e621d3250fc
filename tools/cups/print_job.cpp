// A CUPS job carried to spoolhost.
#include "print_job.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "backend_status.h"
#include "exit_codes.h"
#include "port_watch.h"
#include "protocol.h"

namespace varnhold {

using tools::DaemonConnection;
using tools::Frame;
using tools::Message;

namespace {

constexpr std::size_t kPiece = 256 * 1024;

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool ListsPort(const std::string& portsOut, const std::string& port) {
  std::istringstream lines(portsOut);
  for (std::string line; std::getline(lines, line);)
    if (line == port) return true;
  return false;
}

bool ListsPrinter(const std::string& printersOut, const std::string& printer) {
  if (printersOut.rfind("no printers", 0) == 0) return false;
  std::istringstream lines(printersOut);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, printer.size() + 1, printer + " ") == 0) return true;
  return false;
}

}  // namespace

std::optional<std::uint32_t> JobNumberIn(const std::string& out) {
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("job ", 0) != 0) continue;
    char* end = nullptr;
    unsigned long n = std::strtoul(line.c_str() + 4, &end, 10);
    if (end != line.c_str() + 4 && *end == ' ' && n > 0 && n <= 0xffffffffUL) return static_cast<std::uint32_t>(n);
  }
  return std::nullopt;
}

PrintJob::PrintJob(const SpoolhostLink& link, SchedulerReport& report, JobOrder order)
    : link_(link), report_(report), order_(std::move(order)) {}

int PrintJob::Run() {
  if (int status = Prepare(); status != kBackendOk) return status;
  PortWatch watch(link_, report_, order_.printer, order_.port);
  watch.Start();
  int status = Print();
  watch.Stop();
  std::unique_lock lock(mutex_);
  // A cancel under way ends the backend itself once spoolhost has heard it:
  // the job's end it brings about is not this job's result.
  changed_.wait(lock, [this] { return !cancelling_; });
  finished_ = true;
  if (status == kBackendOk) report_.SetReasons({});
  return status;
}

// The port must be one the monitor lists, and the queue's printer must be on
// it: made with the queue's first job, moved when the queue's URI changed.
int PrintJob::Prepare() {
  report_.Info("Connecting to spoolhost for port " + order_.port);
  Answer ports = link_.Ask({"ports"});
  if (ports.status != tools::kExitOk) {
    report_.Error(ports.err);
    return kBackendRetry;
  }
  if (!ListsPort(ports.out, order_.port)) {
    report_.Error("spoolhost lists no port " + order_.port + " (is its print server on and on the network?)");
    report_.SetReasons({"offline-report"});
    return kBackendRetry;
  }
  Answer printers = link_.Ask({"printers"});
  if (printers.status != tools::kExitOk) {
    report_.Error(printers.err);
    return kBackendRetry;
  }
  const bool exists = ListsPrinter(printers.out, order_.printer);
  if (exists) {
    // The printer is the queue's, and CUPS sends a queue one job at a time:
    // a job of it still in spoolhost was left by an earlier run of this job
    // that CUPS did not see end (given back, or the backend killed), and
    // would print a second copy beside this one.
    Answer left = link_.Ask({"cancel", "--all=" + order_.printer});
    if (left.status == tools::kExitOk && left.out.rfind("no job", 0) != 0) {
      std::string said = left.out;
      for (std::size_t nl; (nl = said.find('\n')) != std::string::npos;) said.replace(nl, 1, nl + 1 < said.size() ? "; " : "");
      report_.Info("Cancelled what an earlier try of the job left in spoolhost: " + said);
    }
  }
  if (PrinterStatusIn(printers.out, order_.printer, order_.port)) return kBackendOk;
  Answer made = exists ? link_.Ask({"set-port", "--", order_.printer, order_.port})
                       : link_.Ask({"add-printer", "--", order_.printer, order_.port});
  if (made.status == -1) {
    report_.Error(made.err);
    return kBackendRetry;
  }
  if (made.status != tools::kExitOk) {
    // A refusal the administrator must look into: the queue stops, the job stays.
    report_.Error("spoolhost refused printer " + order_.printer + " on port " + order_.port + ": " + made.err);
    return kBackendStop;
  }
  report_.Debug((exists ? "moved spoolhost printer " : "added spoolhost printer ") + order_.printer + " to port " +
                order_.port);
  return kBackendOk;
}

void PrintJob::SendData(DaemonConnection& daemon) {
  std::string piece;
  bool sent = true;
  for (;;) {
    piece.resize(kPiece);
    ssize_t n = ::read(order_.input, piece.data(), piece.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // spoolhost fails a job whose client breaks off before its end.
      report_.Error(std::string("cannot read the job: ") + std::strerror(errno));
      std::_Exit(kBackendFailed);
    }
    if (n == 0) break;
    piece.resize(static_cast<std::size_t>(n));
    if (!(sent = daemon.Send(Frame::Data, piece))) break;
  }
  if (sent) sent = daemon.Send(Frame::DataEnd, "");
  std::lock_guard lock(mutex_);
  dataSent_ = sent;
  changed_.notify_all();
}

void PrintJob::Progress(const std::string& line) {
  // "job N: STATE[ details]": the state is told when it changes, the details
  // at most once a second.
  std::size_t colon = line.find(": ");
  std::string text = colon == std::string::npos ? line : line.substr(colon + 2);
  std::string state = text.substr(0, text.find(' '));
  std::int64_t now = NowMs();
  if (state == lastProgress_ && now - lastProgressAt_ < 1000) return;
  // While the port is in trouble, the watch's line says why the job waits.
  if (state == "waiting" && report_.HasReasons()) return;
  lastProgress_ = state;
  lastProgressAt_ = now;
  report_.Info("Port " + order_.port + ": " + text);
}

int PrintJob::Print() {
  std::string error;
  std::optional<DaemonConnection> daemon = link_.Connect(&error);
  std::vector<std::string> request{"print"};
  if (order_.copies > 1) request.push_back("--copies=" + std::to_string(order_.copies));
  request.insert(request.end(), {"--", order_.printer});
  if (!daemon || !daemon->SendRequest(request)) {
    report_.Error(daemon ? "spoolhost closed the connection" : error);
    return kBackendRetry;
  }
  // The data goes out on a thread of its own while the answers are read
  // here, so that neither side can fill the socket and wait on the other.
  std::thread sender([this, &daemon] { SendData(*daemon); });
  std::string out, err;
  int status = -1;
  while (status < 0) {
    std::optional<Message> m = daemon->Receive();
    if (!m) break;
    switch (m->type) {
      case Frame::Out:
        out += m->payload;
        if (std::optional<std::uint32_t> id = JobNumberIn(out); id) {
          std::lock_guard lock(mutex_);
          if (!job_) report_.Debug("spoolhost job " + std::to_string(*id));
          job_ = id;
          changed_.notify_all();
        }
        break;
      case Frame::Err:
        err += (err.empty() ? "" : "; ") + m->payload;
        break;
      case Frame::Progress:
        Progress(m->payload);
        break;
      case Frame::Prompt: {
        // Nobody sits at a backend to answer; the answer waits until the
        // sender is done with the socket.
        std::lock_guard lock(mutex_);
        if (dataSent_) daemon->Send(Frame::Answer, "ok");
        break;
      }
      case Frame::Exit:
        status = tools::ExitStatusOf(*m);
        break;
      default:
        break;
    }
  }
  // The daemon ends its answer once it has the data, or has given up on it
  // and closed the connection, so the sender is done or about to be.
  sender.join();
  if (status == tools::kExitOk) {
    report_.Info("Port " + order_.port + ": the job was printed");
    return kBackendOk;
  }
  if (status < 0) {
    // The job is not known to have printed: CUPS keeps it and tries again.
    report_.Error("spoolhost broke off the job on port " + order_.port + (err.empty() ? "" : ": " + err));
    return kBackendRetry;
  }
  report_.Error(err.empty() ? "spoolhost could not print the job" : err);
  // A job that failed at the port (its box gone or unreachable), or that a
  // stopping spoolhost kept in its spool, is tried again (the next try
  // cancels what is left of this one); a request spoolhost did not
  // understand never will print.
  return status == tools::kExitUsage ? kBackendFailed : kBackendRetry;
}

void PrintJob::Cancel() {
  std::optional<std::uint32_t> job;
  {
    std::unique_lock lock(mutex_);
    if (finished_) return;
    cancelling_ = true;
    // A job whose data is all sent is spoolhost's: wait a little for its
    // number. One whose data was still coming is dropped as the backend ends.
    if (dataSent_ && !job_) changed_.wait_for(lock, std::chrono::seconds(5), [this] { return job_.has_value(); });
    job = job_;
  }
  if (!job) return;
  Answer a = link_.Ask({"cancel", "--", std::to_string(*job)});
  if (a.status == tools::kExitOk)
    report_.Info("Port " + order_.port + ": the job was cancelled");
  else
    report_.Error("could not cancel spoolhost job " + std::to_string(*job) + ": " + a.err);
}

}  // namespace varnhold
