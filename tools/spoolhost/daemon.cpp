// The spoolhost daemon: start-up, the connection loop, the orderly stop, and
// `start`, which runs it detached.
#include "daemon.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "client.h"
#include "configure_driver.h"
#include "host/clock.h"
#include "host/dialog.h"
#include "host/message_box.h"
#include "host/printers.h"
#include "host/registry.h"
#include "host/system.h"
#include "jobs.h"
#include "monitors.h"
#include "network.h"
#include "printers.h"
#include "protocol.h"
#include "specs.h"

#ifndef SPOOLHOST_MODULE_DIR
#define SPOOLHOST_MODULE_DIR "."
#endif

namespace spoolhost {
namespace {

std::string ModuleDir() {
  if (const char* env = std::getenv("SPOOLHOST_MODULE_DIR"); env != nullptr && *env != '\0') return env;
  return SPOOLHOST_MODULE_DIR;
}

}  // namespace

Daemon::Daemon(Command command, StateDir dir) : command_(std::move(command)), dir_(std::move(dir)) {
  if (command_.Has("time-scale")) timeScale_ = std::strtod(command_.Value("time-scale").c_str(), nullptr);
}

Daemon::~Daemon() {
  for (int fd : wakePipe_)
    if (fd >= 0) ::close(fd);
}

void Daemon::Log(const std::string& line) {
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
  std::lock_guard lock(logMutex_);
  std::printf("%s %s\n", stamp, line.c_str());
  std::fflush(stdout);
}

void Daemon::Ready(int fd, const std::string& line) {
  if (fd < 0) return;
  std::string text = line + "\n";
  if (::write(fd, text.data(), text.size()) < 0) {
    // The starter has gone; the daemon runs on all the same.
  }
}

bool Daemon::Setup(std::string* error) {
  auto log = [this](const std::string& line) { Log(line); };
  if (timeScale_ != 1.0)
    plat::UseScaledClock(timeScale_);
  else
    plat::UseRealClock();
  plat::SetWindowsDirectory(dir_.WindowsDir());
  if (plat::RegistryStatus s = plat::OpenRegistryFile(dir_.RegistryFile()); !s) {
    *error = "cannot open the registry: " + s.error;
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
  jobs_ = std::make_unique<JobQueue>(*monitors_, *printers_, log);
  return true;
}

int Daemon::Serve(int readyFd) {
  startedAt_ = static_cast<long>(std::time(nullptr));
  // Signals are taken through a descriptor by the connection loop; every
  // thread, the monitor's included, inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  std::string error;
  if (!dir_.Create(&error)) {
    Ready(readyFd, "failed " + error);
    std::fprintf(stderr, "spoolhost: %s\n", error.c_str());
    return kExitFailed;
  }
  DaemonLock lock;
  if (!lock.Acquire(dir_, &error)) {
    Ready(readyFd, "failed " + error);
    std::fprintf(stderr, "spoolhost: %s\n", error.c_str());
    return kExitFailed;
  }
  Log("spoolhost daemon (pid " + std::to_string(::getpid()) + ") in " + dir_.Path());
  bool ok = Setup(&error);
  if (messages_)
    for (const std::string& box : messages_->TakeAnsweredAtOnce()) Ready(readyFd, "note message box " + box);
  if (ok && !monitors_->AnyRunning()) {
    error = "no monitor is running:";
    for (const LoadedMonitor& m : monitors_->List()) error += " " + m.name + ": " + m.error + ";";
    if (monitors_->List().empty()) error += " none is installed";
    if (error.back() == ';') error.pop_back();
    ok = false;
  }
  int listenFd = -1;
  if (ok) {
    listenFd = ListenUnix(dir_.SocketPath(), &error);
    ok = listenFd >= 0;
  }
  if (!ok) {
    Log("start-up failed: " + error);
    Ready(readyFd, "failed " + error);
    if (readyFd >= 0) ::close(readyFd);
    Shutdown(nullptr);
    return kExitFailed;
  }
  messages_->SetAnswerAtOnce(command_.Has("answer-boxes"));
  std::string monitors;
  for (const LoadedMonitor& m : monitors_->List())
    monitors += (monitors.empty() ? "" : ", ") + m.name + (m.initialised ? " initialised" : " failed: " + m.error);
  Log("ready: " + monitors);
  Ready(readyFd, "ok pid " + std::to_string(::getpid()) + "; monitor " + monitors);
  if (readyFd >= 0) ::close(readyFd);

  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) wakePipe_[0] = wakePipe_[1] = -1;
  int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  AcceptLoop(listenFd, signalFd);
  ::close(listenFd);
  ::unlink(dir_.SocketPath().c_str());
  if (signalFd >= 0) ::close(signalFd);
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
    pollfd fds[3] = {{listenFd, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}, {signalFd, POLLIN, 0}};
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
      auto done = std::make_shared<std::atomic<bool>>(false);
      connections_.push_back(Connection{fd, std::thread([this, fd, done] {
                                          ServeConnection(fd);
                                          done->store(true);
                                        }),
                                        done});
    }
  }
}

void Daemon::ReapConnections(bool all) {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (all && !it->done->load()) ::shutdown(it->fd, SHUT_RDWR);
    if (all || it->done->load()) {
      it->thread.join();
      ::close(it->fd);
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
  const std::string& v = c.verb;
  if (v == "status") return Status(c, s);
  if (v == "stop") return Stop(c, s);
  if (v == "messages") return MessagesVerb(c, s);
  if (v == "jobs") return Jobs(c, s);
  if (v == "printers") return Printers(c, s);
  if (v == "box") return Box(c, s);
  if (v == "reg") return Reg(c, s);
  // The rest call into the monitors, which must stay loaded meanwhile.
  std::shared_lock use(moduleUse_);
  if (stopping_) {
    s.Err("the daemon is stopping");
    return kExitNotRunning;
  }
  if (v == "ports") return Ports(c, s);
  if (v == "add-port") return AddPort(c, s);
  if (v == "configure") return Configure(c, s);
  if (v == "add-printer") return AddPrinter(c, s);
  if (v == "delete-printer") return DeletePrinter(c, s);
  if (v == "rename-printer") return RenamePrinter(c, s);
  if (v == "set-port") return SetPort(c, s);
  if (v == "print") return Print(c, s);
  s.Err("the daemon does not serve '" + v + "'");
  return kExitUsage;
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
  if (wakePipe_[1] >= 0 && ::write(wakePipe_[1], "x", 1) < 0) {
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
  for (const AdapterInfo& a : network_->Adapters())
    out += "adapter: lana " + std::to_string(a.lana) + " on " + a.Describe() + ", hardware address " +
           MacText(a.net.adapter.hardwareAddress) + "\n";
  for (const BoxInfo& b : network_->Boxes()) {
    out += "print box: " + b.name + " on loop:" + b.segment + ", ports";
    for (const BoxPortSpec& p : b.ports) out += " " + p.name + "=" + PortStateName(p.state);
    out += ", " + std::to_string(b.completeJobs) + " job(s) printed to " + b.outDir + "\n";
  }
  for (const LoadedMonitor& m : monitors_->List())
    out += "monitor: " + m.name + " (" + m.driver + "): " + (m.initialised ? "initialised" : m.error) + "\n";
  std::size_t queued = 0, done = 0, failed = 0;
  for (const JobInfo& j : jobs_->List()) {
    if (j.state == JobState::Done)
      ++done;
    else if (j.state == JobState::Failed)
      ++failed;
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
  int ready[2];
  if (::pipe(ready) != 0) {
    std::perror("spoolhost: pipe");
    return kExitFailed;
  }
  Command serve = command;
  serve.verb = "serve";
  serve.options["ready-fd"] = {std::to_string(ready[1])};
  std::vector<std::string> words = CommandWords(serve);
  words.insert(words.begin(), {"spoolhost", "--state", dir.Path()});
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    std::perror("spoolhost: fork");
    return kExitFailed;
  }
  if (child == 0) {
    ::close(ready[0]);
    ::setsid();
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(dir.DaemonLog().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (in >= 0) ::dup2(in, 0);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    ::execv("/proc/self/exe", argv.data());
    std::_Exit(127);
  }
  ::close(ready[1]);
  std::string text;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(ready[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  int result = kExitFailed;
  bool said = false;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, 5, "note ") == 0) {
      std::printf("%s\n", line.substr(5).c_str());
    } else if (line.compare(0, 3, "ok ") == 0) {
      std::printf("spoolhost: started in %s (%s)\n", dir.Path().c_str(), line.substr(3).c_str());
      result = kExitOk;
      said = true;
    } else if (line.compare(0, 7, "failed ") == 0) {
      std::fprintf(stderr, "spoolhost: start-up failed: %s (log: %s)\n", line.substr(7).c_str(),
                   dir.DaemonLog().c_str());
      said = true;
    }
  }
  if (!said) std::fprintf(stderr, "spoolhost: the daemon died while starting (log: %s)\n", dir.DaemonLog().c_str());
  if (result != kExitOk) {
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  return result;
}

}  // namespace spoolhost
