// The daemon's verbs that reach the monitors, the printers, the jobs, the
// boxes and the registry.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <istream>
#include <limits>
#include <ostream>
#include <streambuf>

#include "configure_driver.h"
#include "daemon.h"
#include "host/dialog_terminal.h"
#include "host/registry.h"
#include "jobs.h"
#include "monitors.h"
#include "network.h"
#include "printers.h"
#include "specs.h"

namespace spoolhost {

using tools::ParsePortState;
using tools::PortStateName;
using tools::PrinterStatusText;
using tools::kPromptLine;

namespace {

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() >= width ? text + "  " : text + std::string(width - text.size(), ' ');
}

std::string OnOff(bool on) { return on ? "on" : "off"; }

// Reads the file a client passed as its job into the spool, from `offset` to
// its end, a piece at a time as the job's port takes it. False with *error
// when the file cannot be read (the job is then the caller's to end), or with
// *error empty when the job queue refused a piece and ended the job itself.
bool SpoolPassedFile(JobQueue& jobs, std::uint32_t id, int fd, const std::string& offset, std::size_t* got,
                     std::string* error) {
  std::optional<unsigned long> at = ParseNumber(offset, 0, std::numeric_limits<long>::max());
  if (!tools::IsReadableRegularFile(fd) || !at) {
    *error = "the client passed no regular file open for reading";
    return false;
  }
  std::string piece;
  for (;;) {
    piece.resize(256 * 1024);
    ssize_t n = ::pread(fd, piece.data(), piece.size(), static_cast<off_t>(*at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("cannot read the job's file: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    piece.resize(static_cast<std::size_t>(n));
    std::string refused;
    if (!jobs.Append(id, &piece, &refused)) return false;
    *at += static_cast<unsigned long>(n);
    *got += static_cast<std::size_t>(n);
  }
}

std::string DescribeSettings(const ConfigureSettings& s) {
  return "popups on off line " + OnOff(s.offline) + ", out of paper " + OnOff(s.outOfPaper) + ", no response " +
         OnOff(s.noResponse) + "; status update every " + (s.timer.empty() ? "?" : s.timer) + " s";
}

// The client's terminal as streams, for the interactive dialog: output goes
// out as it is flushed, input comes one answered line at a time.
class SessionOut : public std::streambuf {
 public:
  explicit SessionOut(Session& s) : session_(s) {}

 protected:
  int overflow(int ch) override {
    if (ch != EOF) pending_.push_back(static_cast<char>(ch));
    return ch;
  }
  int sync() override {
    if (!pending_.empty()) session_.Out(pending_);
    pending_.clear();
    return 0;
  }

 private:
  Session& session_;
  std::string pending_;
};

class SessionIn : public std::streambuf {
 public:
  explicit SessionIn(Session& s) : session_(s) {}

 protected:
  int underflow() override {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    std::optional<std::string> line = session_.Ask(kPromptLine, "");
    if (!line) return EOF;
    line_ = *line + "\n";
    setg(line_.data(), line_.data(), line_.data() + line_.size());
    return traits_type::to_int_type(*gptr());
  }

 private:
  Session& session_;
  std::string line_;
};

}  // namespace

bool Daemon::KnownPort(const std::string& port, Session& s) {
  if (monitors_->OwnerOf(port)) return true;
  s.Err("unknown port " + port + " (spoolhost ports lists the ports the monitors offer)");
  return false;
}

int Daemon::Ports(const Command& c, Session& s) {
  int level = c.Has("level") ? static_cast<int>(*ParseNumber(c.Value("level"), 1, 2)) : 1;
  std::vector<PortEntry> ports;
  std::string error;
  if (!monitors_->EnumPorts(level, &ports, &error)) {
    s.Err(error);
    return kExitFailed;
  }
  std::string out;
  if (level == 2) out += Padded("PORT", 18) + Padded("MONITOR", 14) + "DESCRIPTION\n";
  for (const PortEntry& p : ports)
    out += level == 1 ? p.name + "\n" : Padded(p.name, 18) + Padded(p.monitorName, 14) + p.description + "\n";
  if (ports.empty()) out += "(no ports yet: the monitor lists the boxes' ports once they have answered its ping)\n";
  s.Out(out);
  return kExitOk;
}

int Daemon::AddPort(const Command&, Session& s) {
  // The monitor's AddPort only tells the user how ports come; its box goes to
  // this client.
  bool any = false;
  for (std::size_t i = 0; i < monitors_->List().size(); ++i) {
    const MONITOR* table = monitors_->Table(i);
    if (table == nullptr || table->pfnAddPort == nullptr) continue;
    any = true;
    std::string name = monitors_->Name(i);
    if (!table->pfnAddPort(nullptr, nullptr, name.data())) {
      s.Err("the monitor " + name + " added no port");
      return kExitFailed;
    }
  }
  if (!any) {
    s.Err("no running monitor adds ports");
    return kExitFailed;
  }
  return kExitOk;
}

int Daemon::Configure(const Command& c, Session& s) {
  const std::string& port = c.args[0];
  if (!KnownPort(port, s)) return kExitFailed;
  std::optional<std::size_t> owner = monitors_->OwnerOf(port);
  const MONITOR* table = monitors_->Table(*owner);
  std::vector<char> name(port.begin(), port.end());
  name.push_back('\0');
  if (c.Has("interactive")) {
    SessionOut outBuf(s);
    SessionIn inBuf(s);
    std::ostream out(&outBuf);
    std::istream in(&inBuf);
    in.tie(&out);
    plat::TerminalDriver terminal(in, out);
    ConfigureDriver::Scope scope(&terminal);
    BOOL result = table->pfnConfigurePort(nullptr, nullptr, name.data());
    out.flush();
    return result ? kExitOk : kExitFailed;
  }
  ConfigureScript script;
  if (c.Has("offline")) script.offline = ParseSwitch(c.Value("offline"));
  if (c.Has("out-of-paper")) script.outOfPaper = ParseSwitch(c.Value("out-of-paper"));
  if (c.Has("no-response")) script.noResponse = ParseSwitch(c.Value("no-response"));
  if (c.Has("timer")) script.timer = c.Value("timer");
  script.cancel = c.Has("cancel");
  BOOL result;
  {
    ConfigureDriver::Scope scope(&script);
    result = table->pfnConfigurePort(nullptr, nullptr, name.data());
  }
  if (!script.Shown()) {
    s.Err("the Configure dialog of port " + port + " did not open" +
          (result ? " (is another Configure dialog open?)" : ""));
    return kExitFailed;
  }
  if (script.Refused()) {
    s.Err("the Configure dialog refused the settings (" + DescribeSettings(script.After()) +
          "); nothing was stored");
    return kExitFailed;
  }
  if (script.cancel) {
    s.Out("port " + port + ": cancelled; the settings stay: " + DescribeSettings(script.Before()) + "\n");
    return kExitOk;
  }
  s.Out("port " + port + ": " + DescribeSettings(script.After()) + "\n");
  return result ? kExitOk : kExitFailed;
}

int Daemon::AddPrinter(const Command& c, Session& s) {
  const std::string& name = c.args[0];
  const std::string& port = c.args[1];
  if (!KnownPort(port, s)) return kExitFailed;
  std::string error;
  if (!printers_->Add(name, port, &error)) {
    s.Err(error);
    return kExitFailed;
  }
  // Attaching the printer opens the port; the monitor registers the printer
  // on it with its first job.
  if (!jobs_->Attach(name, port, &error)) {
    std::string ignored;
    printers_->Delete(name, &ignored);
    s.Err(error);
    return kExitFailed;
  }
  s.Out("printer " + name + " added on port " + port + "\n");
  return kExitOk;
}

int Daemon::DeletePrinter(const Command& c, Session& s) {
  std::string error;
  if (!printers_->Delete(c.args[0], &error)) {
    s.Err(error);
    return kExitFailed;
  }
  s.Out("printer " + c.args[0] + " deleted\n");
  return kExitOk;
}

int Daemon::RenamePrinter(const Command& c, Session& s) {
  std::string error;
  if (!printers_->Rename(c.args[0], c.args[1], &error)) {
    s.Err(error);
    return kExitFailed;
  }
  s.Out("printer " + c.args[0] + " renamed " + c.args[1] + "\n");
  return kExitOk;
}

int Daemon::SetPort(const Command& c, Session& s) {
  const std::string& port = c.args[1];
  std::optional<Printer> printer = printers_->Find(c.args[0]);
  if (!printer) {
    s.Err("unknown printer " + c.args[0] + " (spoolhost printers lists them)");
    return kExitFailed;
  }
  if (!KnownPort(port, s)) return kExitFailed;
  std::string error;
  if (!printers_->SetPort(printer->name, port, &error)) {
    s.Err(error);
    return kExitFailed;
  }
  if (!jobs_->Attach(printer->name, port, &error)) {
    s.Err(error);
    return kExitFailed;
  }
  s.Out("printer " + printer->name + " now prints to port " + port + "\n");
  return kExitOk;
}

int Daemon::Printers(const Command&, Session& s) {
  std::vector<Printer> printers = printers_->List();
  std::string out = Padded("PRINTER", 18) + Padded("PORT", 18) + "STATUS\n";
  for (const Printer& p : printers) out += Padded(p.name, 18) + Padded(p.port, 18) + PrinterStatusText(p.status) + "\n";
  if (printers.empty()) out = "no printers (spoolhost add-printer NAME PORT adds one)\n";
  s.Out(out);
  return kExitOk;
}

int Daemon::Print(const Command& c, Session& s) {
  const unsigned copies = c.Has("copies") ? static_cast<unsigned>(*ParseNumber(c.Value("copies"), 1, 999)) : 1;
  if (!printers_->Find(c.args[0])) {
    s.Err("unknown printer " + c.args[0] + " (spoolhost printers lists them)");
    s.StopReceiving();
    return kExitFailed;
  }
  std::string error;
  // The job is spooled and queued before its first byte, so that it starts
  // at its port as its bytes come.
  std::uint32_t id = jobs_->Open(c.args[0], copies, s.Socket(), &error);
  if (id == 0) {
    s.Err("the job was not spooled: " + error);
    s.StopReceiving();
    return kExitFailed;
  }
  std::optional<JobInfo> opened = jobs_->Find(id);
  s.Out("job " + std::to_string(id) + " queued for printer " + opened->printer + "\n");
  // Each piece goes to the spool file as it comes: the daemon holds one
  // frame of the job at a time, however long the job.
  std::string piece;
  std::size_t got = 0;
  bool whole = false, refused = false;
  std::string unreadable;  // why the file a client passed could not be read
  for (;;) {
    tools::UniqueFd passed;
    std::optional<tools::Frame> type = s.Receive(&piece, &passed);
    if (!type) break;
    if (*type == tools::Frame::DataFile) {
      whole = SpoolPassedFile(*jobs_, id, passed.Get(), piece, &got, &unreadable);
      refused = !whole && unreadable.empty();
      break;
    }
    if (*type == tools::Frame::DataEnd) {
      whole = true;
      break;
    }
    if (*type != tools::Frame::Data) continue;
    const std::size_t size = piece.size();
    if (!jobs_->Append(id, &piece, &error)) {
      refused = true;
      break;
    }
    got += size;
  }
  piece = std::string();
  if (whole)
    jobs_->Close(id, &error);
  else if (!refused)
    jobs_->Abandon(id, unreadable.empty()
                           ? "incomplete: the client was cut off after " + std::to_string(got) + " bytes"
                           : "incomplete after " + std::to_string(got) + " bytes: " + unreadable);
  if (!whole) s.StopReceiving();
  JobInfo job = jobs_->Wait(id, [&s](const JobInfo& j) {
    std::string line = "job " + std::to_string(j.id) + ": " + JobStateName(j.state);
    if (j.copies > 1 && j.copy > 0) line += " copy " + std::to_string(j.copy) + " of " + std::to_string(j.copies);
    if (j.state == JobState::Printing && j.complete && j.size > 0)
      line += " " + std::to_string(j.sent) + " of " + std::to_string(j.size) + " bytes (" +
              std::to_string(j.sent * 100 / j.size) + "%)";
    s.Progress(line);
  });
  if (job.state == JobState::Cancelled) {
    s.Err("job " + std::to_string(id) + " cancelled");
    return kExitFailed;
  }
  if (!job.Ended()) {
    s.Err("job " + std::to_string(id) + " stays in the spool: the spooler is stopping; it prints when it starts again");
    return kExitFailed;
  }
  if (job.state != JobState::Done) {
    s.Err("job " + std::to_string(id) + " failed: " + job.error);
    return kExitFailed;
  }
  s.Out("job " + std::to_string(id) + " printed: " + std::to_string(job.size) + " bytes to port " + job.port +
        (job.copies > 1 ? ", " + std::to_string(job.copies) + " copies" : "") + "\n");
  return kExitOk;
}

int Daemon::Jobs(const Command&, Session& s) {
  std::string out;
  for (const JobInfo& j : jobs_->List()) {
    std::string state = JobStateName(j.state);
    if (j.restarted) state += " (restarted)";
    std::string what = std::to_string(j.sent) + "/" + std::to_string(j.size) + (j.complete || j.Ended() ? "" : "+") +
                       " bytes";
    if (j.copies > 1) what += ", copy " + std::to_string(std::max(j.copy, 1u)) + " of " + std::to_string(j.copies);
    out += Padded(std::to_string(j.id), 6) + Padded(j.printer, 16) + Padded(j.port.empty() ? "-" : j.port, 16) +
           Padded(state, 22) + what + (j.error.empty() || j.state == JobState::Cancelled ? "" : "  " + j.error) +
           "\n";
  }
  if (out.empty())
    out = "no jobs\n";
  else
    out = Padded("JOB", 6) + Padded("PRINTER", 16) + Padded("PORT", 16) + Padded("STATE", 22) + "DATA\n" + out;
  s.Out(out);
  return kExitOk;
}

int Daemon::Cancel(const Command& c, Session& s) {
  std::vector<std::uint32_t> ids;
  if (c.Has("all")) {
    const std::string name = c.Value("all");
    std::optional<Printer> printer = printers_->Find(name);
    ids = jobs_->ActiveJobsOf(printer ? printer->name : name);
    if (!printer && ids.empty()) {
      s.Err("unknown printer " + name + " (spoolhost printers lists them)");
      return kExitFailed;
    }
    if (ids.empty()) s.Out("no job of printer " + (printer ? printer->name : name) + " to cancel\n");
  } else {
    ids.push_back(static_cast<std::uint32_t>(*ParseNumber(c.args[0], 1, 0xffffffffUL)));
  }
  int status = kExitOk;
  for (std::uint32_t id : ids) {
    // A job at its port stops there within a write; one waiting for its port
    // to be ready stops once StartDocPort returns.
    std::optional<JobInfo> job = jobs_->Cancel(id, std::chrono::seconds(10));
    const std::string name = "job " + std::to_string(id);
    if (!job) {
      s.Err("no " + name + " (spoolhost jobs lists them)");
      status = kExitFailed;
    } else if (job->state == JobState::Cancelled) {
      s.Out(name + " cancelled\n");
    } else if (job->Ended()) {
      s.Err(name + " has ended already: " + JobStateName(job->state));
      status = kExitFailed;
    } else {
      s.Out(name + " cancelled; it stops once port " + job->port + " lets it go\n");
    }
  }
  return status;
}

int Daemon::Box(const Command& c, Session& s) {
  std::string error;
  std::uint8_t state = *ParsePortState(c.args[2]);
  if (!network_->SetPortState(c.args[0], c.args[1], state, &error)) {
    s.Err(error);
    return kExitFailed;
  }
  s.Out("box " + c.args[0] + ": port " + c.args[1] + " is " + PortStateName(state) +
        " (the monitor hears it at its next ping)\n");
  return kExitOk;
}

int Daemon::Reg(const Command& c, Session& s) {
  if (c.args[0] == "export") {
    std::string key = c.args.size() > 1 ? c.args[1] : "";
    for (const char* prefix : {"HKEY_LOCAL_MACHINE\\", "HKLM\\"})
      if (key.compare(0, std::strlen(prefix), prefix) == 0) key = key.substr(std::strlen(prefix));
    s.OutRaw(plat::ExportRegistry(key));
    return kExitOk;
  }
  std::string text;
  if (!s.ReceiveData(&text)) return kExitFailed;
  plat::RegistryStatus status = plat::ImportRegistry(text);
  if (!status) {
    s.Err("import refused, nothing changed: " + status.error);
    return kExitFailed;
  }
  s.Out("imported " + c.args[1] + "\n");
  return kExitOk;
}

}  // namespace spoolhost
