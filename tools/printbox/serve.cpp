// printbox serve: the box on its adapter, controlled over the state
// directory's socket until stopped.
#include "serve.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "box_set.h"
#include "daemon_start.h"
#include "exit_codes.h"
#include "host/nbt.h"
#include "net_check.h"
#include "print_box.h"
#include "state_dir.h"
#include "protocol.h"
#include "unique_fd.h"

namespace printbox {
namespace {

using tools::Frame;
using tools::kExitFailed;
using tools::kExitOk;
using tools::kExitUsage;
using tools::UniqueFd;

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "printbox: %s\n", line.c_str());
  return status;
}

std::string Trimmed(std::string name) {
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::string PortsText(const std::vector<PortStatus>& ports) {
  std::string out;
  for (const auto& p : ports) out += " " + p.name + "=" + tools::PortStateName(p.status);
  return out;
}

void PrintJob(const std::string& port, JobState state, std::size_t bytes, const std::filesystem::path& file) {
  const char* what = state == JobState::Complete     ? "complete"
                     : state == JobState::Incomplete ? "incomplete (the sender hung up early)"
                                                     : "broken (bad framing), dropped";
  std::printf("job on port %s: %s, %zu bytes%s%s\n", port.c_str(), what, bytes, file.empty() ? "" : ", ",
              file.c_str());
  std::fflush(stdout);
}

// The exclusive hold on the state directory, with this process's pid in it;
// invalid with a reason when another box holds it.
UniqueFd LockState(const Options& o, std::string* error) {
  ::mkdir(o.state.c_str(), 0700);
  if (!tools::MakeFolderPrivate(o.state, error)) return UniqueFd();
  UniqueFd lock(::open(o.LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock.Valid() || ::flock(lock.Get(), LOCK_EX | LOCK_NB) != 0) {
    *error = "a printbox already runs in " + o.state;
    return UniqueFd();
  }
  std::string pid = std::to_string(::getpid());
  if (::ftruncate(lock.Get(), 0) != 0 || ::pwrite(lock.Get(), pid.data(), pid.size(), 0) < 0) {
    *error = "pid file";
    return UniqueFd();
  }
  return lock;
}

// Starts the boxes on their adapters (BoxSet removes the adapters once the
// boxes have stopped, on every way out); false with a reason.
bool OpenBoxes(const Options& o, BoxSet& set, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(o.out, ec);
  if (ec) {
    *error = "cannot create " + o.out + ": " + ec.message();
    return false;
  }
  BoxSetFailure failure;
  if (set.Start(&failure)) {
    for (std::size_t i = 0; i < set.Size(); ++i) {
      set.At(i).SetRefuseSessions(o.refuseSessions);
      set.At(i).SetAnswerPings(!o.noPings);
    }
    return true;
  }
  std::string which =
      o.Numbered() ? "box " + o.name + std::to_string((o.firstBox > 0 ? o.firstBox : 1) + failure.box) + ": " : "";
  if (failure.code == 0) {
    *error = which + "cannot open the box's adapter on " + tools::DescribeNet(failure.net) + ": " +
             tools::DescribeNbtBindFailure(failure.net.nbt);
    return false;
  }
  char code[8];
  std::snprintf(code, sizeof code, "0x%02X", failure.code);
  std::string name = Trimmed(failure.name);
  if (failure.code == NRC_INUSE && !name.empty())
    *error = which + "the name " + name + " is held by another node on the segment (NetBIOS code " + code + ")";
  else
    *error = which + "the box could not register " + (name.empty() ? std::string("its names") : "the name " + name) +
             " (NetBIOS code " + code + ")";
  return false;
}

// What the control socket reports and changes.
struct Control {
  const Options& o;
  BoxSet& set;
  std::string pid;
  std::string where;
  std::vector<std::vector<PortStatus>> ports;  // per box, with the states set since the start
};

std::string StatusText(const Control& c) {
  std::size_t n = c.set.Size();
  std::string out = "printbox " + c.o.BoxesName() + " (pid " + c.pid + ") on " + c.where +
                    (n > 1 ? " and the next " + std::to_string(n - 1) + " addresses" : "") + "\n";
  for (std::size_t i = 0; i < n; ++i)
    out += (n > 1 ? "ports of " + c.set.ConfigOf(i).name + ":" : std::string("ports:")) + PortsText(c.ports[i]) + "\n";
  // Every box hears every ping; the first one speaks for all.
  BoxStats stats = c.set.Stats();
  out += "pings heard: " + std::to_string(c.set.At(0).Stats().pingsHeard) + "\n";
  out += "jobs: " + std::to_string(stats.completeJobs) + " printed, " + std::to_string(stats.incompleteJobs) +
         " incomplete, to " + c.o.out + "\n";
  return out;
}

// Answers one client; false when it asked the box to stop.
bool AnswerClient(Control& c, int fd) {
  auto request = tools::ReceiveFrame(fd);
  std::vector<std::string> words = request ? tools::SplitWords(request->payload) : std::vector<std::string>{};
  int status = kExitOk;
  bool running = true;
  if (words.empty()) {
    status = kExitUsage;
  } else if (words[0] == "stop") {
    tools::SendFrame(fd, Frame::Out, "printbox " + c.o.BoxesName() + " stopped\n");
    running = false;
  } else if (words[0] == "status") {
    tools::SendFrame(fd, Frame::Out, StatusText(c));
  } else if (words[0] == "set-status" && words.size() == 3) {
    auto state = tools::ParsePortState(words[2]);
    if (state && c.set.SetPortStatus(words[1], *state)) {
      for (auto& box : c.ports)
        for (auto& p : box)
          if (p.name == words[1]) p.status = *state;
      tools::SendFrame(fd, Frame::Out, "port " + words[1] + " set\n");
    } else {
      tools::SendFrame(fd, Frame::Err, "the box has no port " + words[1]);
      status = kExitFailed;
    }
  }
  tools::SendFrame(fd, Frame::Exit, std::string(1, static_cast<char>(status)));
  return running;
}

// Serves the control socket until a client asks to stop or a stop signal comes.
void ServeClients(Control& c, int listenFd, int signalFd) {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN) return;
    if (!(fds[0].revents & POLLIN)) continue;
    UniqueFd client(::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (client.Valid() && !AnswerClient(c, client.Get())) return;
  }
}

}  // namespace

int Serve(const Options& o) {
  // Jobs, the state and the socket are the box owner's alone.
  ::umask(077);
  tools::ReadyPipe ready(o.readyFd);
  auto fail = [&ready](int status, const std::string& error) {
    ready.Say("failed " + error);
    return Fail(status, error);
  };
  std::string error;
  // Taken before any thread starts, so every thread inherits the blocked
  // mask and a stop signal reaches the loop as a descriptor.
  UniqueFd signalFd = tools::TakeSignals({SIGINT, SIGTERM}, &error);
  if (!signalFd.Valid()) return fail(kExitFailed, error);
  std::optional<BoxSetConfig> config = BoxSetFor(o, &error);
  if (!config || o.ports.empty())
    return fail(kExitUsage, config ? "the box needs at least one --port NAME[=STATE]" : error);
  UniqueFd lock = LockState(o, &error);
  if (!lock.Valid()) return fail(kExitFailed, error);
  // A box of many holds a few descriptors for each of its sockets; the
  // process may use all it is allowed.
  rlimit files{};
  if (o.boxes > 1 && ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  config->box.onJob = PrintJob;
  {
    BoxSet set(*config);
    if (!OpenBoxes(o, set, &error)) return fail(kExitFailed, error);
    Control control{o, set, std::to_string(::getpid()), tools::DescribeNet(config->net), {}};
    for (std::size_t i = 0; i < set.Size(); ++i) control.ports.push_back(set.ConfigOf(i).ports);
    std::printf("printbox %s (pid %s) on %s%s, ports%s%s; jobs to %s\n", o.BoxesName().c_str(), control.pid.c_str(),
                control.where.c_str(),
                set.Size() > 1 ? (" and the next " + std::to_string(set.Size() - 1) + " addresses").c_str() : "",
                PortsText(o.ports).c_str(), o.Numbered() ? " with the box's number" : "", o.out.c_str());
    std::fflush(stdout);
    UniqueFd listenFd = tools::ListenUnix(o.SocketPath(), &error);
    if (!listenFd.Valid()) return fail(kExitFailed, error);
    ready.Say("ok pid " + control.pid);
    ready.Close();
    ServeClients(control, listenFd.Get(), signalFd.Get());
  }
  ::unlink(o.SocketPath().c_str());
  std::printf("printbox %s stopped\n", o.BoxesName().c_str());
  return kExitOk;
}

}  // namespace printbox
