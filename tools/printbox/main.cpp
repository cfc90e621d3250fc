// printbox: the emulated print-server box as a command (serve, start, stop,
// status, set-status), controlled over a Unix socket in its state directory.
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/nbt.h"
#include "net_check.h"
#include "print_box.h"
#include "protocol.h"
#include "specs.h"

namespace {

using spoolhost::Frame;

constexpr int kOk = 0, kFailed = 1, kUsage = 2, kNotRunning = 3;

struct Options {
  std::string verb;
  std::vector<std::string> args;
  std::string state;
  std::vector<std::string> nets;
  std::string name = "PRINTBOX";
  std::vector<printbox::PortStatus> ports;
  std::string out;
  bool refuseSessions = false;
  bool noPings = false;
  int receiveDelayMs = 0;
  int readyFd = -1;
};

// Jobs pass through in large blocks, and faulting fresh pages in costs more
// than copying into them: freed memory stays in the process for the next job
// (blocks up to 32 MiB come from the heap, which is not trimmed below 512 MiB).
void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "printbox: %s\n", line.c_str());
  return status;
}

std::optional<std::uint8_t> ParseState(const std::string& text) { return spoolhost::ParsePortState(text); }

const char* kUsageText =
    "usage: printbox [--state DIR] VERB [OPTIONS]\n"
    "  serve | start  --net nbt:ADDR/PREFIX[,bcast=ADDR][,ports=NS:DGM:SSN][,mac=..][,lana=N]\n"
    "                 [--name BOX] --port NAME[=STATE]... [--out DIR] [--refuse-sessions] [--no-pings]\n"
    "                 [--receive-delay MS]   (a slow printer: waits MS after each piece of a job)\n"
    "  stop | status\n"
    "  set-status PORT STATE   (ready, ready2, offline, paperout, none, notport, or a byte like 0x15)\n"
    "A print-server box as its own process on NetBIOS over TCP/IP: serve runs it\n"
    "in the foreground, start in the background once its names are registered.\n"
    "It answers the monitors' pings with its ports' states and writes one file\n"
    "per complete job to --out (default: DIR/jobs). The state directory (--state,\n"
    "else $PRINTBOX_STATE, else ./printbox-state) holds its socket and log; give\n"
    "each box its own. The ports default to 137/138/139 (root needed); boxes and\n"
    "a spoolhost on one machine use 127.0.0.N addresses and the same ports=....\n"
    "On the in-process segment (loop) a box runs only inside spoolhost:\n"
    "  spoolhost start --printbox BOX:PORT1=ready,PORT2=offline@OUTDIR\n";

// Parses the command line; an error line when it is wrong.
std::optional<Options> Parse(int argc, char** argv, std::string* error, bool* help) {
  Options o;
  static const std::map<std::string, bool> takesValue = {
      {"state", true},          {"net", true},         {"name", true},      {"port", true}, {"out", true},
      {"refuse-sessions", false}, {"no-pings", false}, {"ready-fd", true},
      {"receive-delay", true}};
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h" || a == "help") {
      *help = true;
      return std::nullopt;
    }
    if (a.compare(0, 2, "--") != 0) {
      if (o.verb.empty())
        o.verb = a;
      else
        o.args.push_back(a);
      continue;
    }
    std::string name = a.substr(2), value;
    bool inlineValue = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto it = takesValue.find(name);
    if (it == takesValue.end()) {
      *error = "unknown option --" + name;
      return std::nullopt;
    }
    if (it->second && !inlineValue) {
      if (i + 1 >= argc) {
        *error = "--" + name + " needs a value";
        return std::nullopt;
      }
      value = argv[++i];
    }
    if (name == "state") o.state = value;
    if (name == "net") o.nets.push_back(value);
    if (name == "name") o.name = value;
    if (name == "out") o.out = value;
    if (name == "refuse-sessions") o.refuseSessions = true;
    if (name == "no-pings") o.noPings = true;
    if (name == "ready-fd") o.readyFd = std::atoi(value.c_str());
    if (name == "receive-delay") {
      char* end = nullptr;
      long ms = std::strtol(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || ms < 0 || ms > 10000) {
        *error = "--receive-delay takes milliseconds from 0 to 10000";
        return std::nullopt;
      }
      o.receiveDelayMs = static_cast<int>(ms);
    }
    if (name == "port") {
      printbox::PortStatus port;
      auto eq = value.find('=');
      port.name = value.substr(0, eq);
      if (eq != std::string::npos) {
        auto state = ParseState(value.substr(eq + 1));
        if (!state) {
          *error = "unknown port state in --port " + value;
          return std::nullopt;
        }
        port.status = *state;
      }
      if (port.name.empty() || port.name.size() > 15) {
        *error = "a port name has 1 to 15 characters: --port " + value;
        return std::nullopt;
      }
      for (const auto& other : o.ports)
        if (other.name == port.name) {
          *error = "port " + port.name + " given twice";
          return std::nullopt;
        }
      o.ports.push_back(port);
    }
  }
  static const std::map<std::string, int> verbs = {{"serve", 0}, {"start", 0}, {"stop", 0}, {"status", 0},
                                                   {"set-status", 2}};
  auto v = verbs.find(o.verb);
  if (o.name.empty() || o.name.size() > 15) {
    *error = "the box name (--name) has 1 to 15 characters";
    return std::nullopt;
  }
  if (o.verb.empty()) {
    *error = "no verb given (printbox --help lists them)";
    return std::nullopt;
  }
  if (v == verbs.end()) {
    *error = "unknown verb '" + o.verb + "'";
    return std::nullopt;
  }
  if (static_cast<int>(o.args.size()) != v->second) {
    *error = o.verb == "set-status" ? "usage: printbox set-status PORT STATE" : o.verb + " takes no arguments";
    return std::nullopt;
  }
  if (o.verb == "set-status" && !ParseState(o.args[1])) {
    *error = "unknown port state '" + o.args[1] + "'";
    return std::nullopt;
  }
  if (o.state.empty()) {
    const char* env = std::getenv("PRINTBOX_STATE");
    o.state = env != nullptr && *env != '\0' ? env : "printbox-state";
  }
  if (o.state[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) o.state = std::string(cwd) + "/" + o.state;
  }
  if (o.out.empty()) o.out = o.state + "/jobs";
  return o;
}

std::string SocketPath(const Options& o) { return o.state + "/printbox.sock"; }

// The one adapter of a separate box, from its --net. The loop segment
// exists only inside one process, so a box on it alone would reach nobody.
std::optional<spoolhost::NetSpec> BoxNet(const Options& o, std::string* error) {
  if (o.nets.size() != 1) {
    *error = o.nets.empty() ? "a separate box needs its adapter: --net nbt:ADDR/PREFIX[,ports=NS:DGM:SSN] (or run it "
                              "inside spoolhost: spoolhost start --printbox " + o.name + ":PORT,...)"
                            : "a box has one adapter; give --net once";
    return std::nullopt;
  }
  const std::string& text = o.nets.front();
  auto net = spoolhost::ParseNetSpec(text, error);
  if (!net) {
    *error = "--net " + text + ": " + *error;
    return std::nullopt;
  }
  if (!net->IsNbt()) {
    *error = "--net " + text + ": the in-process segment reaches only nodes inside one process; run the box "
             "inside spoolhost (spoolhost start --printbox " + o.name + ":PORT,...), or give --net nbt:...";
    return std::nullopt;
  }
  // The box's adapter is not one the monitors of this host may claim.
  net->net.adapter.inAdapterMap = false;
  return net;
}

std::string Trimmed(std::string name) {
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::string PortsText(const std::vector<printbox::PortStatus>& ports) {
  std::string out;
  for (const auto& p : ports) out += " " + p.name + "=" + spoolhost::PortStateName(p.status);
  return out;
}

int Serve(const Options& o) {
  // Blocked before any thread starts, so every thread inherits the mask and
  // a stop signal reaches the loop below as a descriptor.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  auto ready = [&o](const std::string& line) {
    if (o.readyFd < 0) return;
    std::string text = line + "\n";
    if (::write(o.readyFd, text.data(), text.size()) < 0) {
      // The starter has gone; serve on.
    }
  };
  std::string error;
  std::optional<spoolhost::NetSpec> net = BoxNet(o, &error);
  if (!net || o.ports.empty()) {
    if (net) error = "the box needs at least one --port NAME[=STATE]";
    ready("failed " + error);
    return Fail(kUsage, error);
  }
  ::mkdir(o.state.c_str(), 0700);
  int lockFd = ::open((o.state + "/printbox.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    ready("failed a printbox already runs in " + o.state);
    return Fail(kFailed, "a printbox already runs in " + o.state);
  }
  std::string pid = std::to_string(::getpid());
  if (::ftruncate(lockFd, 0) != 0 || ::pwrite(lockFd, pid.data(), pid.size(), 0) < 0) return Fail(kFailed, "pid file");
  const std::string where = spoolhost::DescribeNet(net->net);
  if (!plat::AddNetAdapter(net->net)) {
    error = "cannot open the box's adapter on " + where + ": " + spoolhost::DescribeNbtBindFailure(net->net.nbt);
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  const UCHAR lana = net->net.adapter.lana;

  printbox::BoxConfig config;
  config.lana = lana;
  config.name = o.name;
  config.ports = o.ports;
  config.outputDir = o.out;
  config.keepJobsInMemory = false;
  config.receiveDelay = std::chrono::milliseconds(o.receiveDelayMs);
  config.onJob = [](const std::string& port, printbox::JobState state, std::size_t bytes,
                    const std::filesystem::path& file) {
    const char* what = state == printbox::JobState::Complete     ? "complete"
                       : state == printbox::JobState::Incomplete ? "incomplete (the sender hung up early)"
                                                                 : "broken (bad framing), dropped";
    std::printf("job on port %s: %s, %zu bytes%s%s\n", port.c_str(), what, bytes, file.empty() ? "" : ", ",
                file.c_str());
    std::fflush(stdout);
  };
  std::error_code ec;
  std::filesystem::create_directories(config.outputDir, ec);
  if (ec) {
    error = "cannot create " + o.out + ": " + ec.message();
    plat::RemoveNetbiosAdapter(lana);
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  printbox::Box box(config);
  if (unsigned char rc = box.Start(); rc != 0) {
    char code[8];
    std::snprintf(code, sizeof code, "0x%02X", rc);
    std::string name = Trimmed(box.FailedName());
    if (rc == NRC_INUSE && !name.empty())
      error = "the name " + name + " is held by another node on the segment (NetBIOS code " + code + ")";
    else
      error = "the box could not register " + (name.empty() ? std::string("its names") : "the name " + name) +
              " (NetBIOS code " + code + ")";
    plat::RemoveNetbiosAdapter(lana);
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  box.SetRefuseSessions(o.refuseSessions);
  box.SetAnswerPings(!o.noPings);
  std::vector<printbox::PortStatus> ports = o.ports;
  std::printf("printbox %s (pid %s) on %s, ports%s; jobs to %s\n", o.name.c_str(), pid.c_str(), where.c_str(),
              PortsText(ports).c_str(), o.out.c_str());
  std::fflush(stdout);

  int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  int listenFd = spoolhost::ListenUnix(SocketPath(o), &error);
  if (listenFd < 0) {
    box.Stop();
    plat::RemoveNetbiosAdapter(lana);
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  ready("ok pid " + pid);
  // The starter reads until the pipe closes.
  if (o.readyFd >= 0) ::close(o.readyFd);
  bool running = true;
  while (running) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) break;
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    auto request = spoolhost::ReceiveFrame(fd);
    std::vector<std::string> words = request ? spoolhost::SplitWords(request->payload) : std::vector<std::string>{};
    int status = kOk;
    if (words.empty()) {
      status = kUsage;
    } else if (words[0] == "stop") {
      spoolhost::SendFrame(fd, Frame::Out, "printbox " + o.name + " stopped\n");
      running = false;
    } else if (words[0] == "status") {
      printbox::BoxStats stats = box.Stats();
      std::string out = "printbox " + o.name + " (pid " + pid + ") on " + where + "\nports:" + PortsText(ports) +
                        "\njobs: " + std::to_string(stats.completeJobs) + " printed, " +
                        std::to_string(stats.incompleteJobs) + " incomplete, to " + o.out + "\n";
      spoolhost::SendFrame(fd, Frame::Out, out);
    } else if (words[0] == "set-status" && words.size() == 3) {
      auto state = ParseState(words[2]);
      if (state && box.SetPortStatus(words[1], *state)) {
        for (auto& p : ports)
          if (p.name == words[1]) p.status = *state;
        spoolhost::SendFrame(fd, Frame::Out, "port " + words[1] + " set\n");
      } else {
        spoolhost::SendFrame(fd, Frame::Err, "the box has no port " + words[1]);
        status = kFailed;
      }
    }
    spoolhost::SendFrame(fd, Frame::Exit, std::string(1, static_cast<char>(status)));
    ::close(fd);
  }
  box.Stop();
  plat::RemoveNetbiosAdapter(lana);
  ::close(listenFd);
  ::unlink(SocketPath(o).c_str());
  std::printf("printbox %s stopped\n", o.name.c_str());
  return kOk;
}

int Start(const Options& o, char** argv, int argc) {
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return Fail(kFailed, "pipe");
  ::mkdir(o.state.c_str(), 0700);
  pid_t child = ::fork();
  if (child < 0) return Fail(kFailed, "fork");
  if (child == 0) {
    ::close(pipeFds[0]);
    ::setsid();
    int in = ::open("/dev/null", O_RDONLY);
    if (in >= 0) ::dup2(in, 0);
    int out = ::open((o.state + "/printbox.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0) {
      ::dup2(out, 1);
      ::dup2(out, 2);
    }
    std::vector<std::string> words(argv, argv + argc);
    for (std::string& w : words)
      if (w == "start") {
        w = "serve";
        break;
      }
    words.push_back("--ready-fd=" + std::to_string(pipeFds[1]));
    std::vector<char*> args;
    for (std::string& w : words) args.push_back(w.data());
    args.push_back(nullptr);
    ::execv("/proc/self/exe", args.data());
    std::_Exit(127);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buf[512];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  if (text.compare(0, 3, "ok ") == 0) {
    std::printf("printbox %s started (%s)\n", o.name.c_str(), text.substr(3, text.size() - 4).c_str());
    return kOk;
  }
  if (text.compare(0, 7, "failed ") == 0) return Fail(kFailed, text.substr(7, text.size() - 8));
  return Fail(kFailed, "the box died while starting (log: " + o.state + "/printbox.log)");
}

int Ask(const Options& o) {
  std::string error;
  int fd = spoolhost::ConnectUnix(SocketPath(o), &error);
  if (fd < 0) return Fail(kNotRunning, "no printbox runs in " + o.state + " (start one: printbox start ...)");
  std::vector<std::string> words{o.verb};
  words.insert(words.end(), o.args.begin(), o.args.end());
  spoolhost::SendFrame(fd, Frame::Request, spoolhost::JoinWords(words));
  int status = kFailed;
  while (auto m = spoolhost::ReceiveFrame(fd)) {
    if (m->type == Frame::Out) std::fputs(m->payload.c_str(), stdout);
    if (m->type == Frame::Err) std::fprintf(stderr, "printbox: %s\n", m->payload.c_str());
    if (m->type == Frame::Exit) status = m->payload.empty() ? kFailed : m->payload[0];
  }
  ::close(fd);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  std::string error;
  bool help = false;
  std::optional<Options> o = Parse(argc, argv, &error, &help);
  if (help) {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  if (!o) return Fail(kUsage, error);
  if (o->verb == "serve" || o->verb == "start") {
    KeepFreedMemory();
    // Refuse at once what the box could not run with, before going to the background.
    if (!BoxNet(*o, &error)) return Fail(kUsage, error);
    if (o->ports.empty()) return Fail(kUsage, "the box needs at least one --port NAME[=STATE]");
    return o->verb == "serve" ? Serve(*o) : Start(*o, argv, argc);
  }
  return Ask(*o);
}
