// The spoolhost daemon: start-up, the connection loop, the orderly stop, and
// `start`, which runs it detached.
#include "daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "client.h"
#include "configure_driver.h"
#include "daemon_start.h"
#include "escape.h"
#include "host/clock.h"
#include "host/dialog.h"
#include "host/message_box.h"
#include "host/netbios.h"
#include "host/printers.h"
#include "host/registry.h"
#include "host/system.h"
#include "jobs.h"
#include "monitors.h"
#include "network.h"
#include "printers.h"
#include "protocol.h"
#include "specs.h"
#include "verb_table.h"

#ifndef SPOOLHOST_MODULE_DIR
#define SPOOLHOST_MODULE_DIR "."
#endif

namespace spoolhost {

using tools::BoxPortSpec;
using tools::BoxSpec;
using tools::Frame;
using tools::ListenUnix;
using tools::MacText;
using tools::Message;
using tools::NetSpec;
using tools::ParseBoxSpec;
using tools::ParseNetSpec;
using tools::PortStateName;
using tools::ReadyPipe;
using tools::ReceiveFrame;
using tools::SplitWords;
using tools::StateDir;
using tools::UniqueFd;

namespace {

std::string ModuleDir() {
  if (const char* env = std::getenv("SPOOLHOST_MODULE_DIR"); env != nullptr && *env != '\0') return env;
  // An installed spoolhost (bin/) finds the module installed beside it
  // (lib/tavro/); one in the build tree, where it was built.
  std::error_code ec;
  std::filesystem::path installed = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().parent_path() /
                                    "lib" / "tavro";
  if (!ec && std::filesystem::exists(installed / "TAVRO.so", ec)) return installed.string();
  return SPOOLHOST_MODULE_DIR;
}

}  // namespace

namespace {

// Clients served at once; more wait in the socket's queue until one ends, so
// a flood of connections costs no more than this many threads.
constexpr std::size_t kMaxClients = 64;

// A read on the client's socket gives up after SECONDS of silence (0: never).
void SetReceiveTimeout(int fd, int seconds) {
  timeval tv{seconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Why the monitor cannot append to its log, or nothing when it can: the
// module runs on without its log and says so nowhere else.
std::string MonitorLogFault(const StateDir& dir) {
  UniqueFd log(::open(dir.MonitorLog().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
  if (log.Valid()) return "";
  if (errno != ENOENT) return std::strerror(errno);
  if (::access(dir.WindowsDir().c_str(), W_OK) != 0) return dir.WindowsDir() + ": " + std::strerror(errno);
  return "";
}

}  // namespace

Daemon::Daemon(Command command, StateDir dir) : command_(std::move(command)), dir_(std::move(dir)) {
  if (command_.Has("time-scale")) timeScale_ = std::strtod(command_.Value("time-scale").c_str(), nullptr);
  if (command_.Has("client-idle"))
    clientIdleSeconds_ = static_cast<int>(*ParseNumber(command_.Value("client-idle"), 1, 86400));
}

Daemon::~Daemon() = default;

void Daemon::Log(const std::string& line) {
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::lock_guard lock(logMutex_);
  // Names in log lines come from the network and the registry.
  std::printf("%s %s\n", stamp, tools::EscapeText(line).c_str());
  std::fflush(stdout);
}

bool Daemon::Setup(std::string* error) {
  auto log = [this](const std::string& line) { Log(line); };
  if (timeScale_ != 1.0)
    plat::UseScaledClock(timeScale_);
  else
    plat::UseRealClock();
  plat::SetWindowsDirectory(dir_.WindowsDir());
  // An empty file is what a full disk or a cut copy leaves: starting on it
  // would lose every setting without a word.
  if (struct stat st {}; ::stat(dir_.RegistryFile().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0 &&
                         !command_.Has("new-registry")) {
    *error = dir_.RegistryFile() + " is empty (0 bytes); start with --new-registry to begin a new registry in it";
    return false;
  }
  const std::string shm = dir_.RegistryFile() + "-shm";
  const bool hadShm = ::access(shm.c_str(), F_OK) == 0;
  if (plat::RegistryStatus s = plat::OpenRegistryFile(dir_.RegistryFile()); !s) {
    *error = "cannot open the registry: " + s.error;
    // Name the file at fault: the database may be fine and its journal not.
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::string file = dir_.RegistryFile() + suffix;
      if (::access(file.c_str(), F_OK) == 0 && ::access(file.c_str(), R_OK | W_OK) != 0) {
        *error = "cannot open the registry: " + file + ": " + std::strerror(errno);
        break;
      }
    }
    // An index this failed start made would stand in the way of the next.
    if (!hadShm) ::unlink(shm.c_str());
    return false;
  }
  messages_ = std::make_shared<MessageQueue>(log);
  // Boxes raised while the monitors start are answered at once and reported
  // to whoever started the daemon: nobody could answer them yet.
  messages_->SetAnswerAtOnce(true);
  plat::SetMessagePresenter(messages_);
  plat::SetDialogDriver(std::make_shared<ConfigureDriver>());
  printers_ = std::make_shared<PrinterRegistry>(log);
  plat::SetPrinterStore(printers_);

  network_ = std::make_unique<Network>(log);
  std::vector<NetSpec> nets;
  std::vector<BoxSpec> boxes;
  std::string ignored;
  for (const std::string& s : command_.Values("net")) nets.push_back(*ParseNetSpec(s, &ignored));
  for (const std::string& s : command_.Values("printbox")) boxes.push_back(*ParseBoxSpec(s, &ignored));
  if (!network_->AddAdapters(nets, error) || !network_->StartBoxes(boxes, dir_, error)) return false;

  monitors_ = std::make_unique<Monitors>(log, ModuleDir());
  if (!monitors_->InstallVarnhold(command_.Value("module"), error)) return false;
  monitors_->LoadAll();
  jobs_ = std::make_unique<JobQueue>(*monitors_, *printers_, SpoolFolder(dir_.SpoolDir()), log);
  jobs_->Recover();
  return true;
}

int Daemon::Serve(int readyFd) {
  startedAt_ = static_cast<long>(std::time(nullptr));
  ReadyPipe ready(readyFd);
  std::string error;
  // Signals are taken through a descriptor by the connection loop; every
  // thread, the monitor's included, inherits the blocked mask.
  UniqueFd signalFd = tools::TakeSignals({SIGINT, SIGTERM, SIGHUP}, &error);
  ::signal(SIGPIPE, SIG_IGN);
  // Everything the daemon, the module and the boxes in it create is its
  // owner's alone: the registry and its journal, logs, jobs, the socket.
  ::umask(077);
  if (!signalFd.Valid() || !dir_.Create(&error) || !tools::HoldDaemonLock(dir_, &error)) {
    ready.Say("failed " + error);
    std::fprintf(stderr, "spoolhost: %s\n", error.c_str());
    return kExitFailed;
  }
  Log("spoolhost daemon (pid " + std::to_string(::getpid()) + ") in " + dir_.Path());
  bool ok = Setup(&error);
  if (messages_)
    for (const std::string& box : messages_->TakeAnsweredAtOnce()) ready.Say("note message box " + box);
  if (ok && !monitors_->AnyRunning()) {
    error = "no monitor is running:";
    for (const LoadedMonitor& m : monitors_->List()) error += " " + m.name + ": " + m.error + ";";
    if (monitors_->List().empty()) error += " none is installed";
    if (error.back() == ';') error.pop_back();
    ok = false;
  }
  UniqueFd listenFd;
  if (ok) {
    listenFd = ListenUnix(dir_.SocketPath(), &error);
    ok = listenFd.Valid();
  }
  if (!ok) {
    Log("start-up failed: " + error);
    ready.Say("failed " + error);
    ready.Close();
    Shutdown(nullptr);
    return kExitFailed;
  }
  messages_->SetAnswerAtOnce(command_.Has("answer-boxes"));
  std::string monitors;
  for (const LoadedMonitor& m : monitors_->List())
    monitors += (monitors.empty() ? "" : ", ") + m.name + (m.initialised ? " initialised" : " failed: " + m.error);
  Log("ready: " + monitors);
  ready.Say("ok pid " + std::to_string(::getpid()) + "; monitor " + monitors);
  ready.Close();

  if (int wake[2]; ::pipe2(wake, O_CLOEXEC) == 0) {
    wakeRead_.Reset(wake[0]);
    wakeWrite_.Reset(wake[1]);
  }
  AcceptLoop(listenFd.Get(), signalFd.Get());
  listenFd.Reset();
  ::unlink(dir_.SocketPath().c_str());
  signalFd.Reset();
  if (!stopping_.exchange(true)) {
    Log("stopping on a signal");
    if (auto busy = jobs_->Busy(); busy) {
      // The job's thread is inside the monitor and would not survive its unload.
      Log("job " + std::to_string(busy->id) + " is still at port " + busy->port + "; exiting without unloading");
      std::fflush(stdout);
      std::_Exit(kExitFailed);
    }
    Shutdown(nullptr);
  }
  ReapConnections(true);
  Log("stopped");
  return kExitOk;
}

void Daemon::AcceptLoop(int listenFd, int signalFd) {
  while (!exitRequested_) {
    const bool full = connections_.size() >= kMaxClients;
    pollfd fds[3] = {{full ? -1 : listenFd, POLLIN, 0}, {wakeRead_.Get(), POLLIN, 0}, {signalFd, POLLIN, 0}};
    int n = ::poll(fds, 3, 1000);
    ReapConnections(false);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (fds[2].revents & POLLIN) {
      signalfd_siginfo info{};
      if (::read(signalFd, &info, sizeof info) > 0) return;
    }
    if (fds[0].revents & POLLIN) {
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      // A client silent this long is dropped; one waiting on the daemon
      // (messages --wait, a job at its port) is not reading, so never is.
      SetReceiveTimeout(fd, clientIdleSeconds_);
      auto done = std::make_shared<std::atomic<bool>>(false);
      connections_.push_back(Connection{UniqueFd(fd), std::thread([this, fd, done] {
                                          ServeConnection(fd);
                                          done->store(true);
                                        }),
                                        done});
    }
  }
}

void Daemon::ReapConnections(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all && !it->done->load()) ::shutdown(it->fd.Get(), SHUT_RDWR);
    if (all || it->done->load()) {
      it->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void Daemon::ServeConnection(int fd) {
  std::optional<Message> request = ReceiveFrame(fd);
  if (!request || request->type != Frame::Request) return;
  Session session(fd);
  Session::Scope scope(&session);
  ParseResult parsed = ParseCommandLine(SplitWords(request->payload));
  // A job may come slowly down a pipe: its client is never dropped.
  if (parsed.command && parsed.command->verb == "print") SetReceiveTimeout(fd, 0);
  int status;
  if (!parsed.command) {
    session.Err(parsed.error.empty() ? "bad request" : parsed.error);
    status = kExitUsage;
  } else if (stopping_ && parsed.command->verb != "status") {
    session.Err("the daemon is stopping");
    status = kExitNotRunning;
  } else {
    status = Dispatch(*parsed.command, session);
  }
  session.Exit(status);
}

int Daemon::Dispatch(const Command& c, Session& s) {
  const VerbSpec* verb = FindVerb(c.verb);
  if (verb == nullptr || verb->handler == nullptr) {
    s.Err("the daemon does not serve '" + c.verb + "'");
    return kExitUsage;
  }
  if (!verb->needsModule) return (this->*verb->handler)(c, s);
  // Held while the verb runs, so the monitors cannot be unloaded under it.
  std::shared_lock use(moduleUse_);
  if (stopping_) {
    s.Err("the daemon is stopping");
    return kExitNotRunning;
  }
  return (this->*verb->handler)(c, s);
}

void Daemon::Shutdown(Session* session) {
  auto step = [this, session](const std::string& line) {
    Log(line);
    if (session != nullptr) session->Out(line + "\n");
  };
  // Every box still waiting is answered, so the threads that raised them can
  // see the stop; boxes raised during the unload are answered at once.
  if (messages_) {
    int answered = static_cast<int>(messages_->Pending().size());
    messages_->SetAnswerAtOnce(true);
    if (answered > 0) step("answered " + std::to_string(answered) + " waiting message box(es) with OK");
  }
  if (jobs_) jobs_->Stop();
  if (monitors_) {
    std::unique_lock alone(moduleUse_);
    monitors_->UnloadAll(step);
  }
  if (network_) network_->Stop();
  plat::SetDialogDriver(nullptr);
  plat::SetPrinterStore(nullptr);
  plat::SetMessagePresenter(nullptr);
  plat::CloseRegistry();
}

int Daemon::Stop(const Command& c, Session& s) {
  if (auto busy = jobs_->Busy(); busy) {
    if (!c.Has("force")) {
      s.Err("job " + std::to_string(busy->id) + " of printer " + busy->printer + " is " + JobStateName(busy->state) +
            " at port " + busy->port + "; let it finish, or `stop --force` to exit without unloading the monitor");
      return kExitFailed;
    }
    stopping_ = true;
    Log("stop --force: exiting without unloading the monitor");
    s.Out("exiting without unloading the monitor (the registry is kept as it is)\n");
    s.Exit(kExitOk);
    std::fflush(stdout);
    std::_Exit(kExitOk);
  }
  if (stopping_.exchange(true)) {
    s.Err("the daemon is stopping already");
    return kExitFailed;
  }
  Shutdown(&s);
  s.Out("stopped\n");
  // Answered before the loop ends, since ending it closes every connection.
  s.Exit(kExitOk);
  exitRequested_ = true;
  if (wakeWrite_.Valid() && ::write(wakeWrite_.Get(), "x", 1) < 0) {
    // The loop wakes within a second anyway.
  }
  return kExitOk;
}

int Daemon::Status(const Command&, Session& s) {
  std::string out;
  out += "daemon: running (pid " + std::to_string(::getpid()) + ") in " + dir_.Path() +
         (stopping_ ? " (stopping)" : "") + "\n";
  char scale[64];
  std::snprintf(scale, sizeof scale, "%g", timeScale_);
  out += std::string("clock: module time ") + (timeScale_ == 1.0 ? "is real time" : std::string(scale) + "x real time") +
         "\n";
  // Datagrams lost for want of room tell of a burst the monitor could not take.
  for (const AdapterInfo& a : network_->Adapters())
    out += "adapter: lana " + std::to_string(a.lana) + " on " + a.Describe() + ", hardware address " +
           MacText(a.net.adapter.hardwareAddress) + ", datagrams dropped " +
           std::to_string(plat::NetbiosDroppedDatagrams(static_cast<UCHAR>(a.lana)).value_or(0)) + "\n";
  for (const BoxInfo& b : network_->Boxes()) {
    out += "print box: " + b.name + " on loop:" + b.segment + ", ports";
    for (const BoxPortSpec& p : b.ports) out += " " + p.name + "=" + PortStateName(p.state);
    out += ", " + std::to_string(b.completeJobs) + " job(s) printed to " + b.outDir + "\n";
  }
  for (const LoadedMonitor& m : monitors_->List())
    out += "monitor: " + m.name + " (" + m.driver + "): " + (m.initialised ? "initialised" : m.error) + "\n";
  if (std::string why = MonitorLogFault(dir_); !why.empty())
    out += "monitor log: " + dir_.MonitorLog() + " is not being written: " + why + "\n";
  std::size_t queued = 0, done = 0, failed = 0;
  for (const JobInfo& j : jobs_->List()) {
    if (j.state == JobState::Done)
      ++done;
    else if (j.Ended())
      ++failed;  // or cancelled
    else
      ++queued;
  }
  out += "printers: " + std::to_string(printers_->List().size()) + "\n";
  out += "jobs: " + std::to_string(queued) + " waiting or printing, " + std::to_string(done) + " done, " +
         std::to_string(failed) + " failed\n";
  out += "message boxes waiting: " + std::to_string(messages_->Pending().size()) + "\n";
  s.Out(out);
  return kExitOk;
}

int Daemon::MessagesVerb(const Command& c, Session& s) {
  if (c.Has("wait")) {
    int seconds = static_cast<int>(*ParseNumber(c.Value("wait"), 0, 3600));
    if (!messages_->WaitForPending(seconds) && !c.Has("answer") && !c.Has("answer-all")) {
      s.Err("no message box came within " + std::to_string(seconds) + " s");
      return kExitFailed;
    }
  }
  if (c.Has("answer-all")) {
    int n = messages_->AnswerAll();
    s.Out("answered " + std::to_string(n) + " message box(es)\n");
    return kExitOk;
  }
  if (c.Has("answer")) {
    int status = kExitOk;
    for (const std::string& id : c.Values("answer")) {
      if (messages_->Answer(static_cast<std::uint32_t>(*ParseNumber(id, 1, 0xffffffffUL)))) {
        s.Out("answered message " + id + "\n");
      } else {
        s.Err("no message box " + id + " is waiting (spoolhost messages lists them)");
        status = kExitFailed;
      }
    }
    return status;
  }
  std::vector<PendingBox> pending = messages_->Pending();
  if (pending.empty()) s.Out("no message box is waiting\n");
  for (const PendingBox& box : pending)
    s.Out(std::to_string(box.id) + "  [" + box.caption + "] " + box.text + "\n");
  return kExitOk;
}

int ServeCommand(const Command& command, const StateDir& dir) {
  int readyFd = -1;
  if (command.Has("ready-fd")) readyFd = static_cast<int>(*ParseNumber(command.Value("ready-fd"), 0, 65535));
  Daemon daemon(command, dir);
  return daemon.Serve(readyFd);
}

int StartCommand(const Command& command, const StateDir& dir) {
  std::string error;
  if (!dir.Create(&error)) {
    std::fprintf(stderr, "spoolhost: %s\n", error.c_str());
    return kExitFailed;
  }
  if (auto pid = dir.RunningDaemon(); pid) {
    std::fprintf(stderr, "spoolhost: a daemon already runs in %s (pid %ld)\n", dir.Path().c_str(), *pid);
    return kExitFailed;
  }
  Command serve = command;
  serve.verb = "serve";
  auto argvFor = [&serve, &dir](int readyFd) {
    serve.options["ready-fd"] = {std::to_string(readyFd)};
    std::vector<std::string> words = CommandWords(serve);
    words.insert(words.begin(), {"spoolhost", "--state", dir.Path()});
    return words;
  };
  tools::StartReport report;
  if (!tools::StartDetached(argvFor, dir.DaemonLog(), &report, &error)) {
    std::fprintf(stderr, "spoolhost: %s\n", error.c_str());
    return kExitFailed;
  }
  for (const std::string& note : report.notes) std::printf("%s\n", note.c_str());
  if (report.ok) {
    std::printf("spoolhost: started in %s (%s)\n", dir.Path().c_str(), report.ok->c_str());
    return kExitOk;
  }
  if (report.failed)
    std::fprintf(stderr, "spoolhost: start-up failed: %s (log: %s)\n", report.failed->c_str(), dir.DaemonLog().c_str());
  else
    std::fprintf(stderr, "spoolhost: the daemon died while starting (log: %s)\n", dir.DaemonLog().c_str());
  return kExitFailed;
}

}  // namespace spoolhost
