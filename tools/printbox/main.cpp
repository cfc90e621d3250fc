// printbox: the emulated print-server box as a command (serve, start, stop,
// status, set-status), controlled over a Unix socket in its state directory.
#include <fcntl.h>
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
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/netbios.h"
#include "print_box.h"
#include "protocol.h"

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
  int readyFd = -1;
};

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "printbox: %s\n", line.c_str());
  return status;
}

std::optional<std::uint8_t> ParseState(const std::string& text) {
  static const std::map<std::string, std::uint8_t> names = {
      {"ready", printbox::kStatusReady},      {"ready2", printbox::kStatusReady2},
      {"offline", printbox::kStatusOffline},  {"paperout", printbox::kStatusPaperOut},
      {"none", printbox::kStatusNone},        {"notport", printbox::kStatusNotAPort}};
  if (auto it = names.find(text); it != names.end()) return it->second;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || value < 0 || value > 255) return std::nullopt;
  return static_cast<std::uint8_t>(value);
}

const char* kUsageText =
    "usage: printbox [--state DIR] VERB [OPTIONS]\n"
    "  serve | start  [--net SPEC]... [--name BOX] [--port NAME[=STATE]]... [--out DIR]\n"
    "                 [--refuse-sessions] [--no-pings]\n"
    "  stop | status\n"
    "  set-status PORT STATE   (ready, ready2, offline, paperout, none, notport, or a byte like 0x15)\n"
    "The box answers the monitors' pings with its ports' states and writes one file\n"
    "per complete job to --out. The state directory (--state, else $PRINTBOX_STATE,\n"
    "else ./printbox-state) holds its socket.\n"
    "On the in-process segment (loop) a box runs only inside spoolhost:\n"
    "  spoolhost start --printbox BOX:PORT1=ready,PORT2=offline@OUTDIR\n";

// Parses the command line; an error line when it is wrong.
std::optional<Options> Parse(int argc, char** argv, std::string* error, bool* help) {
  Options o;
  static const std::map<std::string, bool> takesValue = {
      {"state", true},          {"net", true},         {"name", true},      {"port", true}, {"out", true},
      {"refuse-sessions", false}, {"no-pings", false}, {"ready-fd", true}};
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
      o.ports.push_back(port);
    }
  }
  static const std::map<std::string, int> verbs = {{"serve", 0}, {"start", 0}, {"stop", 0}, {"status", 0},
                                                   {"set-status", 2}};
  auto v = verbs.find(o.verb);
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
  return o;
}

std::string SocketPath(const Options& o) { return o.state + "/printbox.sock"; }

// The transports a separate box can use. The loop segment exists only inside
// one process, so a box on it alone would reach nobody.
bool AddAdapters(const Options& o, std::string* error) {
  if (o.nets.empty()) {
    *error = "a separate box needs NetBIOS over TCP/IP (--net nbt:...), which this build does not have yet; "
             "run the box inside spoolhost instead: spoolhost start --printbox " + o.name + ":PORT,...";
    return false;
  }
  int lana = 0;
  for (const std::string& spec : o.nets) {
    if (spec.compare(0, 5, "loop:") == 0 || spec == "loop") {
      *error = "--net " + spec + ": the in-process segment reaches only nodes inside one process; run the box "
               "inside spoolhost (spoolhost start --printbox " + o.name + ":PORT,...), or give --net nbt:...";
      return false;
    }
    if (spec.compare(0, 3, "nbt") != 0) {
      *error = "--net " + spec + ": unknown transport (nbt:... is NetBIOS over TCP/IP)";
      return false;
    }
    plat::NetbiosAdapterConfig config;
    config.lana = static_cast<UCHAR>(lana++);
    config.transport = plat::NetbiosTransportKind::Nbt;
    config.segment = spec.size() > 4 ? spec.substr(4) : "";
    config.inAdapterMap = false;
    if (!plat::AddNetbiosAdapter(config)) {
      *error = "--net " + spec + ": NetBIOS over TCP/IP is not available in this build yet";
      return false;
    }
  }
  return true;
}

int Serve(const Options& o) {
  auto ready = [&o](const std::string& line) {
    if (o.readyFd < 0) return;
    std::string text = line + "\n";
    if (::write(o.readyFd, text.data(), text.size()) < 0) {
      // The starter has gone; serve on.
    }
  };
  std::string error;
  if (o.ports.empty()) {
    ready("failed the box needs at least one --port NAME[=STATE]");
    return Fail(kUsage, "the box needs at least one --port NAME[=STATE]");
  }
  if (!AddAdapters(o, &error)) {
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  ::mkdir(o.state.c_str(), 0700);
  int lockFd = ::open((o.state + "/printbox.pid").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
    ready("failed a printbox already runs in " + o.state);
    return Fail(kFailed, "a printbox already runs in " + o.state);
  }
  std::string pid = std::to_string(::getpid());
  if (::ftruncate(lockFd, 0) != 0 || ::pwrite(lockFd, pid.data(), pid.size(), 0) < 0) return Fail(kFailed, "pid file");

  printbox::BoxConfig config;
  config.lana = 0;
  config.name = o.name;
  config.ports = o.ports;
  config.outputDir = o.out;
  config.keepJobsInMemory = o.out.empty();
  printbox::Box box(config);
  if (unsigned char rc = box.Start(); rc != 0) {
    ready("failed the box could not register its names (NetBIOS code " + std::to_string(rc) + ")");
    return Fail(kFailed, "the box could not register its names (NetBIOS code " + std::to_string(rc) + ")");
  }
  box.SetRefuseSessions(o.refuseSessions);
  box.SetAnswerPings(!o.noPings);
  std::vector<printbox::PortStatus> ports = o.ports;

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
  int listenFd = spoolhost::ListenUnix(SocketPath(o), &error);
  if (listenFd < 0) {
    box.Stop();
    ready("failed " + error);
    return Fail(kFailed, error);
  }
  ready("ok pid " + pid);
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
      std::string out = "printbox " + o.name + " (pid " + pid + "), ports:";
      for (const auto& p : ports) {
        char state[8];
        std::snprintf(state, sizeof state, "0x%02X", p.status);
        out += " " + p.name + "=" + state;
      }
      printbox::BoxStats stats = box.Stats();
      out += "; " + std::to_string(stats.completeJobs) + " job(s) printed\n";
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
  ::close(listenFd);
  ::unlink(SocketPath(o).c_str());
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
    // Refuse at once what the box could not run with, before going to the background.
    if (o->ports.empty()) return Fail(kUsage, "the box needs at least one --port NAME[=STATE]");
    for (const std::string& spec : o->nets)
      if (spec.compare(0, 4, "loop") == 0) {
        AddAdapters(*o, &error);
        return Fail(kUsage, error);
      }
    return o->verb == "serve" ? Serve(*o) : Start(*o, argv, argc);
  }
  return Ask(*o);
}
