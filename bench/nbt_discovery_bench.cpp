// Discovery at scale over NetBIOS over TCP/IP on loopback: N print boxes of
// 11 ports each, run by printbox processes of up to 250 boxes (each box its
// own node on its own 127.1.x.y address), and a spoolhost whose monitor finds
// them. The boxes start first, so the monitor's first ping reaches them all.
//
// What is measured, for each N:
//   - rounds: the pings the first box has heard when every port is listed
//     (`spoolhost ports` asked every 100 ms); 1 means the first ping's
//     reports were all filed. The real time to the first and to the last
//     port is given beside it, and the rounds that time spans at the
//     longest ping period (a box busy with a burst may miss a ping, so its
//     count alone can be low).
//   - steady CPU of spoolhost (user + system, % of one core) over two ping
//     rounds after a settling round, at the run's time scale, and divided by
//     it: pings, reports and status cycles all run on module time, so that
//     quotient is the load at real time;
//   - spoolhost's resident memory, and per port its growth over a spoolhost
//     with no boxes measured in the same run (the baseline, N = 0);
//   - `spoolhost ports --level 2` and, for the client's own cost, `spoolhost
//     status`: median wall time of 7 runs each, with the fastest and slowest,
//     timed while the box processes are stopped;
//   - datagrams lost: the count `spoolhost status` shows for its adapter, and
//     what the kernel dropped on spoolhost's own UDP sockets (/proc/net/udp).
//
// Options: --sizes 10,100,250,1000 (default), --scale N (module time N times
// faster, default 20), --keep (leave the work directory). The nbt ports come
// from the process id, so runs beside the tests do not meet their broadcasts.
// Exit status 0 when every port of every size was listed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kPortsPerBox = 11;
constexpr int kBoxesPerProcess = 250;
const char kHostAddress[] = "127.0.0.2";

int Fail(const std::string& line) {
  std::fprintf(stderr, "nbt_discovery_bench: %s\n", line.c_str());
  return 1;
}

using bench::Capture;
using bench::Spawn;
using bench::WaitExit;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::string Address(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
         "." + std::to_string(a & 255);
}

// The number after `key` on the first line that holds it, or -1.
long long NumberAfter(const std::string& text, const std::string& key) {
  auto at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::atoll(text.c_str() + at + key.size());
}

// Ports listed by `spoolhost ports`: one name a line, or a line in
// parentheses when there is none.
std::size_t CountPorts(const std::string& text) {
  if (text.empty() || text[0] == '(') return 0;
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// User + system CPU seconds of a process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long long RssKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atoll(line.c_str() + 6);
  return -1;
}

// Datagrams the kernel dropped on the process's own UDP sockets.
long long KernelDrops(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::string target = fs::read_symlink(e.path(), ec).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::ifstream in("/proc/" + std::to_string(pid) + "/net/udp");
  std::string line;
  long long drops = 0;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    // ... uid timeout inode ref pointer drops
    if (f.size() >= 13 && inodes.count(f[9])) drops += std::atoll(f.back().c_str());
  }
  return drops;
}

// Wall times of repeated runs: the median and the spread around it.
struct Timing {
  double medianMs = 0, minMs = 0, maxMs = 0;
};

Timing TimeRuns(const std::vector<std::string>& argv, const std::string& log, int runs = 7) {
  std::vector<double> ms;
  for (int i = 0; i < runs; ++i) {
    auto start = Clock::now();
    std::string out;
    Capture(argv, log, &out);
    ms.push_back(Seconds(Clock::now() - start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms.front(), ms.back()};
}

struct Result {
  int boxes = 0;
  bool allListed = false;
  long long rounds = -1;
  double firstS = 0, allS = 0;
  double cpuAtScale = 0;
  long long rssKiB = 0;
  std::size_t listed = 0;
  Timing level2, status;
  long long dropped = -1, kernelDropped = -1;
};

class Run {
 public:
  Run(std::string work, int boxes, double scale, int portBase)
      : work_(std::move(work)), boxes_(boxes), scale_(scale), portBase_(portBase) {
    fs::create_directories(work_);
    log_ = work_ + "/bench.log";
  }
  ~Run() { Stop(); }

  bool Measure(Result* r, std::string* error) {
    r->boxes = boxes_;
    const std::string ports = std::to_string(portBase_) + ":" + std::to_string(portBase_ + 1) + ":" +
                              std::to_string(portBase_ + 2);
    // 127.1.0.1, 127.1.0.2, ...: the boxes of each process follow on.
    const uint32_t first = 0x7F010001;
    for (int done = 0, p = 0; done < boxes_; ++p) {
      int n = std::min(kBoxesPerProcess, boxes_ - done);
      std::vector<std::string> args{PRINTBOX_BIN, "--state", BoxState(p), "start", "--net",
                                    "nbt:" + Address(first + static_cast<uint32_t>(done)) + "/8,ports=" + ports,
                                    "--name", "BOX", "--boxes", std::to_string(n), "--first-box",
                                    std::to_string(done + 1), "--out", work_ + "/jobs"};
      for (int i = 1; i <= kPortsPerBox; ++i) {
        args.push_back("--port");
        args.push_back("P" + std::to_string(i));
      }
      std::string out;
      if (Capture(args, log_, &out) != 0) {
        *error = "printbox with " + std::to_string(n) + " boxes did not start (" + log_ + ")";
        return false;
      }
      ++boxProcesses_;
      done += n;
    }
    auto start = Clock::now();
    spoolhost_ = Spawn({SPOOLHOST_BIN, "--state", work_ + "/spool", "serve", "--net",
                        std::string("nbt:") + kHostAddress + "/8,ports=" + ports, "--time-scale", Scale()},
                       work_ + "/spoolhost.log");
    const std::size_t want = static_cast<std::size_t>(boxes_) * kPortsPerBox;
    const double round = 69 / scale_;
    bool up = false;
    // Five rounds at most, past a slow start of the daemon.
    while (Seconds(Clock::now() - start) < 30 + 5 * round) {
      std::string out;
      if (Capture(Spoolhost({"ports"}), log_, &out) == 0) {
        up = true;
        std::size_t n = CountPorts(out);
        r->listed = n;
        if (n > 0 && r->firstS == 0) r->firstS = Seconds(Clock::now() - start);
        if (n >= want) {
          r->allS = Seconds(Clock::now() - start);
          r->allListed = true;
          break;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!up) {
      *error = "spoolhost did not start (" + work_ + "/spoolhost.log)";
      return false;
    }
    if (boxes_ > 0) {
      std::string out;
      Capture({PRINTBOX_BIN, "--state", BoxState(0), "status"}, log_, &out);
      r->rounds = NumberAfter(out, "pings heard: ");
    }
    // Where reports went missing, if any did: the monitor's backlog, or the
    // kernel's buffer of spoolhost's datagram sockets.
    CountDrops(r);
    if (!r->allListed) return true;
    // A round to settle, then two measured.
    std::this_thread::sleep_for(std::chrono::duration<double>(round));
    double cpu0 = CpuSeconds(spoolhost_);
    auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(130 / scale_));
    r->cpuAtScale = (CpuSeconds(spoolhost_) - cpu0) / Seconds(Clock::now() - t0) * 100;
    r->rssKiB = RssKiB(spoolhost_);
    // The listings are timed with the boxes stopped: a thousand emulated
    // boxes on this machine's two cores are no part of spoolhost's answer
    // (real boxes have their own), and their ping bursts only add the
    // scheduler's noise. Two seconds stay well inside the ports' 66 s.
    PauseBoxes(SIGSTOP);
    r->level2 = TimeRuns(Spoolhost({"ports", "--level", "2"}), log_);
    r->status = TimeRuns(Spoolhost({"status"}), log_);
    PauseBoxes(SIGCONT);
    CountDrops(r);
    return true;
  }

  void CountDrops(Result* r) {
    std::string status;
    Capture(Spoolhost({"status"}), log_, &status);
    r->dropped = NumberAfter(status, "datagrams dropped ");
    r->kernelDropped = KernelDrops(spoolhost_);
  }

  void PauseBoxes(int signal) const {
    for (int p = 0; p < boxProcesses_; ++p) {
      std::ifstream in(BoxState(p) + "/printbox.pid");
      long pid = 0;
      if (in >> pid && pid > 0) kill(static_cast<pid_t>(pid), signal);
    }
  }

  void Stop() {
    if (spoolhost_ > 0) {
      Capture(Spoolhost({"stop", "--force"}), log_);
      WaitExit(spoolhost_);
      spoolhost_ = -1;
    }
    for (int p = 0; p < boxProcesses_; ++p) Capture({PRINTBOX_BIN, "--state", BoxState(p), "stop"}, log_);
    boxProcesses_ = 0;
  }

 private:
  std::string BoxState(int p) const { return work_ + "/box" + std::to_string(p); }
  std::string Scale() const {
    char text[32];
    std::snprintf(text, sizeof text, "%g", scale_);
    return text;
  }
  std::vector<std::string> Spoolhost(std::vector<std::string> args) const {
    args.insert(args.begin(), {SPOOLHOST_BIN, "--state", work_ + "/spool"});
    return args;
  }

  const std::string work_;
  const int boxes_;
  const double scale_;
  const int portBase_;
  std::string log_;
  pid_t spoolhost_ = -1;
  int boxProcesses_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes{10, 100, 250, 1000};
  double scale = 20;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::stringstream list(argv[++i]);
      for (std::string n; std::getline(list, n, ',');) sizes.push_back(std::atoi(n.c_str()));
    } else if (a == "--scale" && i + 1 < argc) {
      scale = std::atof(argv[++i]);
    } else if (a == "--keep") {
      keep = true;
    } else {
      return Fail("usage: nbt_discovery_bench [--sizes N,N,...] [--scale N] [--keep]");
    }
  }
  if (scale < 1 || sizes.empty() || std::any_of(sizes.begin(), sizes.end(), [](int n) { return n < 1; }))
    return Fail("sizes are 1 or more boxes, the scale 1 or more");
  ::signal(SIGPIPE, SIG_IGN);
  char tmpl[] = "/tmp/nbt-discovery.XXXXXX";
  if (!::mkdtemp(tmpl)) return Fail("cannot make a work directory");
  const std::string work = tmpl;

  sizes.insert(sizes.begin(), 0);  // the baseline
  std::vector<Result> results;
  bool ok = true;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    // Each size on its own port triple, so that the last run's nodes,
    // however slow to go, are not heard.
    int portBase = 24000 + static_cast<int>((::getpid() % 1500) * 20 + i * 3);
    Run run(work + "/n" + std::to_string(sizes[i]), sizes[i], scale, portBase);
    Result r;
    std::string error;
    if (!run.Measure(&r, &error)) {
      std::fprintf(stderr, "nbt_discovery_bench: %d boxes: %s\n", sizes[i], error.c_str());
      ok = false;
      break;
    }
    run.Stop();
    if (sizes[i] > 0 && !r.allListed) ok = false;
    results.push_back(r);
    std::fprintf(stderr, "%d boxes done\n", sizes[i]);
  }

  const Result& base = results.front();
  std::printf("nbt discovery, %d ports a box, module time %gx real time (a ping round %.1f to %.1f s)\n",
              kPortsPerBox, scale, 60 / scale, 69 / scale);
  std::printf("%6s %6s %7s %7s %8s %8s %9s %10s %9s %9s %17s %17s %8s %8s\n", "boxes", "ports", "rounds", "by time", "first s",
              "all s", "cpu%@x", "cpu%@1x", "rss KiB", "KiB/port", "level2 ms (range)", "status ms (range)",
              "dropped", "kernel");
  for (const Result& r : results) {
    int ports = r.boxes * kPortsPerBox;
    double perPort = ports > 0 ? static_cast<double>(r.rssKiB - base.rssKiB) / ports : 0;
    char level2[48], status[48];
    std::snprintf(level2, sizeof level2, "%.1f (%.1f-%.1f)", r.level2.medianMs, r.level2.minMs, r.level2.maxMs);
    std::snprintf(status, sizeof status, "%.1f (%.1f-%.1f)", r.status.medianMs, r.status.minMs, r.status.maxMs);
    std::string missing = r.boxes > 0 && !r.allListed
                              ? "  NOT ALL LISTED: " + std::to_string(r.listed) + " of " + std::to_string(ports)
                              : "";
    double byTime = r.boxes > 0 && r.allListed ? 1 + (r.allS - r.firstS) / (69 / scale) : 0;
    std::printf("%6d %6d %7lld %7.1f %8.2f %8.2f %9.2f %10.3f %9lld %9.2f %17s %17s %8lld %8lld%s\n", r.boxes, ports,
                r.rounds, byTime, r.firstS, r.allS, r.cpuAtScale, r.cpuAtScale / scale, r.rssKiB, perPort, level2, status,
                r.dropped, r.kernelDropped, missing.c_str());
  }
  std::printf("targets: 250 boxes in 1 round, 1000 in 2; at 11000 ports cpu%%@1x < 1, KiB/port <= 2, level2 < 50 ms;"
              " nothing dropped\n");
  if (!keep) {
    std::error_code ec;
    fs::remove_all(work, ec);
  } else {
    std::printf("work directory: %s\n", work.c_str());
  }
  return ok ? 0 : 1;
}
