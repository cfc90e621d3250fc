// Job throughput between processes on loopback: a job printed through
// spoolhost to a separate printbox over NetBIOS over TCP/IP, beside a raw TCP
// stream of the same bytes between two processes, with the ratio of the two.
//
// What is timed, for both paths the same way:
//   from just before the sending process is started (`spoolhost print Bench
//   FILE`, or this program's own `--raw-send`) until the receiving process has
//   finished the complete job file (the box's P1-N.prn, renamed into place
//   once the job has ended, or the raw sink's copy, closed), as inotify
//   reports it.
// So the nbt figure covers the client reading the file and handing it to the
// daemon over its Unix socket, StartDocPort's call, WritePort's packets as
// NCBSENDs over the session, the box's NCBRECVs and job rebuilding, and its
// file write. The raw figure is a plain stream, as `cat FILE | nc` into
// `nc -l > COPY` would make it: a process reads the same file 64 KiB at a
// time and sends each piece over one TCP connection from 127.0.0.12 to
// 127.0.0.13 (default socket options), and a receiver writes each piece it
// gets to its file. Process start, connection set-up and the file write are
// in both.
//
// A third path, the spooled raw stream, is the raw stream with a spool in
// between and nothing else of a print path: the sender copies the file into
// a spool file beside spoolhost's (so on the same file system), at most
// 64 MiB ahead, and sends what it reads back from there, as spoolhost spools
// a job and its port's worker reads it. It shows what spooling alone costs
// on this machine, and the print path against it.
//
// For each job size (16, 64 and 256 MiB unless --bytes names one), an
// untimed run of each path comes first. Each repetition then runs every path
// once, each repetition in an order turned one further, so that load from
// elsewhere on the machine falls on all; the summary gives, per size, the
// median rate of each path with the spread of the repetitions (lowest to
// highest), the ratio of the medians of nbt and raw (aim: at least 0.8), and
// the CPU time per job of each path with their ratio (aim: at most 2); then
// the spooled raw stream against the raw one, and nbt against it. Every copy
// is compared with the job after its run, outside the timing.
//
// Options: --bytes N (one job size instead of the three), --reps N (default
// 5), --keep (leave the work directory and logs). The nbt ports and the raw
// port come from the process id, so runs beside the tests do not meet their
// broadcasts. Exit status 0 when every run delivered the job intact.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char kHostAddress[] = "127.0.0.12";
const char kBoxAddress[] = "127.0.0.13";
const char kPrinter[] = "Bench";
const char kPort[] = "P1";
constexpr std::size_t kChunk = 64 * 1024;
constexpr auto kJobTimeout = std::chrono::seconds(120);

int Fail(const std::string& line) {
  std::fprintf(stderr, "nbt_job_throughput_bench: %s\n", line.c_str());
  return 1;
}

// ---- the raw stream's two ends (run as this program's own child processes)

bool ReadFile(const std::string& path, std::string* data) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buf[kChunk];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ::close(fd);
      return n == 0;
    }
    data->append(buf, static_cast<std::size_t>(n));
  }
}

sockaddr_in Address(const char* ip, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &sa.sin_addr);
  return sa;
}

// A connection from FROM to TO:PORT, or -1 (said why).
int ConnectRaw(const char* from, const char* to, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in local = Address(from, 0), remote = Address(to, port);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    Fail(std::string("raw connect: ") + std::strerror(errno));
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  for (std::size_t at = 0; at < size;) {
    ssize_t sent = ::send(fd, data + at, size - at, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      Fail(std::string("raw send: ") + std::strerror(errno));
      return false;
    }
    at += static_cast<std::size_t>(sent);
  }
  return true;
}

// Streams FILE over one connection from FROM to TO:PORT, a piece at a time,
// as `cat FILE | nc` would.
int RawSend(const char* from, const char* to, int port, const char* path) {
  int file = ::open(path, O_RDONLY | O_CLOEXEC);
  if (file < 0) return Fail(std::string("cannot read ") + path);
  int fd = ConnectRaw(from, to, port);
  if (fd < 0) return 1;
  static char buf[kChunk];
  for (;;) {
    ssize_t n = ::read(file, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Fail(std::string("raw read: ") + std::strerror(errno));
    if (n == 0) break;
    if (!SendAll(fd, buf, static_cast<std::size_t>(n))) return 1;
  }
  ::close(file);
  ::close(fd);
  return 0;
}

// The raw stream with a spool in between, and nothing else of a print path:
// one thread copies FILE into the spool file SPOOL, in 256 KiB pieces and at
// most 64 MiB ahead of the sending (as spoolhost spools a job), while the
// sending thread reads each piece back from SPOOL, 60 KiB at a time (as the
// port's worker does), and sends it. The spool file is removed at the end,
// after the stream has ended. What spooling itself costs, beside the raw
// stream and the whole print path.
int RawSendSpooled(const char* from, const char* to, int port, const char* path, const char* spoolPath) {
  constexpr std::size_t kSpoolPiece = 256 * 1024, kSendPiece = 60 * 1024, kAhead = 64 << 20;
  int file = ::open(path, O_RDONLY | O_CLOEXEC);
  int spoolOut = ::open(spoolPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int spoolIn = ::open(spoolPath, O_RDONLY | O_CLOEXEC);
  if (file < 0 || spoolOut < 0 || spoolIn < 0) return Fail(std::string("cannot open ") + path + " or " + spoolPath);
  int fd = ConnectRaw(from, to, port);
  if (fd < 0) return 1;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t spooled = 0, sent = 0;
  bool done = false, failed = false;
  std::thread spooler([&] {
    std::vector<char> piece(kSpoolPiece);
    for (std::size_t at = 0;;) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return at < sent + kAhead || failed; });
        if (failed) break;
      }
      ssize_t n = ::pread(file, piece.data(), piece.size(), static_cast<off_t>(at));
      if (n < 0 && errno == EINTR) continue;
      bool ok = n >= 0 && (n == 0 || ::write(spoolOut, piece.data(), static_cast<std::size_t>(n)) == n);
      std::lock_guard lock(mutex);
      if (!ok || n == 0) {
        failed = !ok;
        done = true;
        changed.notify_all();
        break;
      }
      at += static_cast<std::size_t>(n);
      spooled = at;
      changed.notify_all();
    }
  });
  std::vector<char> piece(kSendPiece);
  bool ok = true;
  for (std::size_t at = 0;;) {
    std::size_t ready;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return spooled > at || done; });
      if (failed || (done && spooled == at)) break;
      ready = spooled;
    }
    std::size_t n = std::min(piece.size(), ready - at);
    ok = ::pread(spoolIn, piece.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n) &&
         SendAll(fd, piece.data(), n);
    std::lock_guard lock(mutex);
    if (!ok) {
      failed = true;
      changed.notify_all();
      break;
    }
    at += n;
    sent = at;
    changed.notify_all();
  }
  spooler.join();
  ::close(fd);
  ::close(file);
  ::close(spoolOut);
  ::close(spoolIn);
  ::unlink(spoolPath);
  return ok && !failed ? 0 : Fail(std::string("the spooled stream failed: ") + spoolPath);
}

// Accepts connections on ADDR:PORT for ever, and writes each one's stream to
// DIR/raw-N.bin as it comes.
int RawSink(const char* address, int port, const char* dir) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = Address(address, port);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(listener, 4) != 0)
    return Fail(std::string("raw listen: ") + std::strerror(errno));
  // Ready: the parent waits for this byte before it sends.
  if (::write(STDOUT_FILENO, "r", 1) != 1) return 1;
  static char buf[kChunk];
  for (int n = 1;; ++n) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      return Fail(std::string("raw accept: ") + std::strerror(errno));
    }
    std::string path = std::string(dir) + "/raw-" + std::to_string(n) + ".bin";
    int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) return Fail("cannot write " + path);
    for (;;) {
      ssize_t got = ::recv(fd, buf, sizeof buf, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      if (::write(file, buf, static_cast<std::size_t>(got)) != got) return Fail("cannot write " + path);
    }
    ::close(fd);
    ::close(file);
  }
}

// ---- processes

using bench::Capture;
using bench::Spawn;
using bench::WaitExit;

// Repeats argv until a line of its output begins with `prefix` and contains `word`.
bool Eventually(const std::vector<std::string>& argv, const std::string& log, const std::string& prefix,
                const std::string& word, std::chrono::seconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    std::string out;
    if (Capture(argv, log, &out) == 0) {
      std::size_t pos = 0;
      while (pos < out.size()) {
        std::size_t end = out.find('\n', pos);
        std::string line = out.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        if (line.compare(0, prefix.size(), prefix) == 0 && line.find(word) != std::string::npos) return true;
        if (end == std::string::npos) break;
        pos = end + 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

// The files a receiver finishes in one directory: closed after writing, or
// moved there from the hidden name they were written under.
class CloseWatch {
 public:
  explicit CloseWatch(const std::string& dir) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~CloseWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }

  // The next file closed after writing; nothing when the time runs out, or
  // when `sender` has exited unsuccessfully before a file came.
  std::optional<std::string> Next(pid_t sender, int* senderStatus) {
    auto deadline = Clock::now() + kJobTimeout;
    while (Clock::now() < deadline) {
      if (!names_.empty()) {
        std::string name = names_.front();
        names_.erase(names_.begin());
        return name;
      }
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, 20);
      alignas(inotify_event) char buf[4096];
      ssize_t n;
      while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
        for (char* at = buf; at < buf + n;) {
          auto* e = reinterpret_cast<inotify_event*>(at);
          // Hidden names are files still being written.
          if (e->len > 0 && !(e->mask & IN_ISDIR) && e->name[0] != '.') names_.emplace_back(e->name);
          at += sizeof(inotify_event) + e->len;
        }
      }
      if (names_.empty() && sender > 0 && *senderStatus < 0) {
        int status = 0;
        if (::waitpid(sender, &status, WNOHANG) == sender) {
          *senderStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
          if (*senderStatus != 0) return std::nullopt;
        }
      }
    }
    return std::nullopt;
  }

 private:
  int fd_;
  std::vector<std::string> names_;
};

// CPU seconds a running process has used, its ended threads included.
double ProcessCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = text.rfind(')');
  if (at == std::string::npos) return 0;
  // After the name: state, then fields 4..13, then utime and stime.
  std::istringstream fields(text.substr(at + 2));
  std::string skip;
  for (int i = 3; i <= 13; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of the children waited for so far.
double ChildrenCpu() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  auto secs = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return secs(ru.ru_utime) + secs(ru.ru_stime);
}

struct Timing {
  double seconds = 0;
  double cpu = 0;  // CPU seconds of the sender and the receiving processes
  // The same by process: the sender, then each receiving process.
  std::vector<double> parts;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// "median (lowest-highest)" of the repetitions.
std::string Spread(const std::vector<double>& v, const char* format) {
  auto [low, high] = std::minmax_element(v.begin(), v.end());
  char text[96];
  std::snprintf(text, sizeof text, format, Median(v), *low, *high);
  return text;
}

// The figures of one job size.
struct SizeResult {
  std::size_t bytes = 0;
  std::vector<double> rawRates, nbtRates, rawCpu, nbtCpu;
  // The raw stream with a spool file in between (RawSendSpooled).
  std::vector<double> spooledRates, spooledCpu;
  // nbt CPU ms per job of the client, the daemon and the box.
  std::vector<double> clientCpu, daemonCpu, boxCpu;
};

// ---- the benchmark

class Bench {
 public:
  Bench(std::vector<std::size_t> sizes, int reps, bool keep) : sizes_(std::move(sizes)), reps_(reps), keep_(keep) {}
  ~Bench() { TearDown(); }

  int Run();

 private:
  bool SetUp(std::string* error);
  void TearDown();
  // Writes the job file of `bytes` random bytes.
  bool MakeJob(std::size_t bytes);
  // The timed runs of one size; false with *error set when one failed.
  bool RunSize(std::size_t bytes, SizeResult* result, std::string* error);
  // One timed run: the sender's start to the receiver's finished file, with
  // the CPU time of the sender and of `receivers`. Nothing with *error set
  // when the job did not arrive intact.
  std::optional<Timing> Time(const std::vector<std::string>& sender, const std::vector<pid_t>& receivers,
                             CloseWatch& watch, const std::string& outDir, std::string* error);
  std::vector<std::string> Spoolhost(std::vector<std::string> args) const {
    args.insert(args.begin(), {SPOOLHOST_BIN, "--state", work_ + "/spool"});
    return args;
  }
  std::vector<std::string> Printbox(std::vector<std::string> args) const {
    args.insert(args.begin(), {PRINTBOX_BIN, "--state", work_ + "/box"});
    return args;
  }

  const std::vector<std::size_t> sizes_;
  const int reps_;
  const bool keep_;
  std::string work_, self_, job_, log_;
  std::string data_;
  int portBase_ = 0;
  pid_t sink_ = -1, spoolhost_ = -1, printbox_ = -1;
};

bool Bench::SetUp(std::string* error) {
  char tmpl[] = "/tmp/nbt-bench.XXXXXX";
  if (!::mkdtemp(tmpl)) {
    *error = "cannot make a work directory";
    return false;
  }
  work_ = tmpl;
  for (const char* d : {"spool", "box", "out-nbt", "out-raw"}) fs::create_directories(work_ + "/" + d);
  log_ = work_ + "/bench.log";
  self_ = fs::read_symlink("/proc/self/exe").string();
  job_ = work_ + "/job.bin";

  // The same formula as the transport's tests, 2000 ports higher.
  portBase_ = 22000 + (::getpid() % 8000) * 5;
  std::string ports = std::to_string(portBase_) + ":" + std::to_string(portBase_ + 1) + ":" +
                      std::to_string(portBase_ + 2);

  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return false;
  sink_ = Spawn({self_, "--raw-sink", kBoxAddress, std::to_string(portBase_ + 3), work_ + "/out-raw"}, log_, ready[1]);
  ::close(ready[1]);
  char c;
  bool sinkReady = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);
  if (!sinkReady) {
    *error = "the raw sink did not start (" + log_ + ")";
    return false;
  }

  printbox_ = Spawn(Printbox({"serve", "--net", std::string("nbt:") + kBoxAddress + "/8,ports=" + ports, "--name",
                              "BENCHBOX", "--port", std::string(kPort) + "=ready", "--out", work_ + "/out-nbt"}),
                    work_ + "/printbox.log");
  // Module time runs faster, so that discovery and the printer's state come
  // quickly; nothing on a job's path waits on module time.
  spoolhost_ = Spawn(Spoolhost({"serve", "--net", std::string("nbt:") + kHostAddress + "/8,ports=" + ports,
                                "--time-scale", "20"}),
                     work_ + "/spoolhost.log");
  if (!Eventually(Spoolhost({"ports"}), log_, kPort, kPort, std::chrono::seconds(60))) {
    *error = "spoolhost never listed the box's port " + std::string(kPort) + " (logs in " + work_ + ")";
    return false;
  }
  if (Capture(Spoolhost({"add-printer", kPrinter, kPort}), log_) != 0 ||
      !Eventually(Spoolhost({"printers"}), log_, kPrinter, "ready", std::chrono::seconds(60))) {
    *error = "the printer did not become ready on the box's port (logs in " + work_ + ")";
    return false;
  }
  return true;
}

void Bench::TearDown() {
  if (spoolhost_ > 0) {
    Capture(Spoolhost({"stop", "--force"}), log_);
    WaitExit(spoolhost_);
    spoolhost_ = -1;
  }
  if (printbox_ > 0) {
    Capture(Printbox({"stop"}), log_);
    WaitExit(printbox_);
    printbox_ = -1;
  }
  if (sink_ > 0) {
    ::kill(sink_, SIGTERM);
    WaitExit(sink_);
    sink_ = -1;
  }
  if (!work_.empty() && !keep_) {
    std::error_code ec;
    fs::remove_all(work_, ec);
    work_.clear();
  }
}

std::optional<Timing> Bench::Time(const std::vector<std::string>& sender, const std::vector<pid_t>& receivers,
                                  CloseWatch& watch, const std::string& outDir, std::string* error) {
  auto cpu = [&] {
    std::vector<double> parts{ChildrenCpu()};
    for (pid_t r : receivers) parts.push_back(ProcessCpu(r));
    return parts;
  };
  std::vector<double> cpuBefore = cpu();
  auto start = Clock::now();
  pid_t pid = Spawn(sender, log_);
  int status = -1;
  std::optional<std::string> name = watch.Next(pid, &status);
  auto end = Clock::now();
  if (status < 0) status = WaitExit(pid);
  Timing timing{std::chrono::duration<double>(end - start).count(), 0, cpu()};
  for (std::size_t i = 0; i < timing.parts.size(); ++i) {
    timing.parts[i] -= cpuBefore[i];
    timing.cpu += timing.parts[i];
  }
  if (!name) {
    *error = "no job file came from " + sender[0] + (status > 0 ? " (it exited " + std::to_string(status) + ")" : "") +
             "; logs in " + work_;
    return std::nullopt;
  }
  if (status != 0) {
    *error = sender[0] + " exited " + std::to_string(status) + "; logs in " + work_;
    return std::nullopt;
  }
  std::string path = outDir + "/" + *name, copy;
  bool same = ReadFile(path, &copy) && copy == data_;
  fs::remove(path);
  if (!same) {
    *error = "the copy " + path + " differs from the job";
    return std::nullopt;
  }
  return timing;
}

bool Bench::MakeJob(std::size_t bytes) {
  data_.resize(bytes);
  std::mt19937_64 random(9);
  for (std::size_t i = 0; i < bytes; i += 8) {
    std::uint64_t word = random();
    std::memcpy(&data_[i], &word, std::min<std::size_t>(8, bytes - i));
  }
  std::ofstream out(job_, std::ios::binary | std::ios::trunc);
  out.write(data_.data(), static_cast<std::streamsize>(data_.size()));
  return out.good();
}

bool Bench::RunSize(std::size_t bytes, SizeResult* result, std::string* error) {
  if (!MakeJob(bytes)) {
    *error = "cannot write the job file " + job_;
    return false;
  }
  CloseWatch rawWatch(work_ + "/out-raw"), nbtWatch(work_ + "/out-nbt");
  if (!rawWatch.Ok() || !nbtWatch.Ok()) {
    *error = "inotify is not available";
    return false;
  }
  std::vector<std::string> raw = {self_, "--raw-send", kHostAddress, kBoxAddress, std::to_string(portBase_ + 3), job_};
  std::vector<std::string> spooled = raw;
  // In the folder that holds spoolhost's spool, so on the same file system.
  spooled.push_back(work_ + "/spool/raw-stream.spl");
  std::vector<std::string> nbt = Spoolhost({"print", kPrinter, job_});
  auto run = [&](int path) {
    if (path == 0) return Time(raw, {sink_}, rawWatch, work_ + "/out-raw", error);
    if (path == 1) return Time(spooled, {sink_}, rawWatch, work_ + "/out-raw", error);
    return Time(nbt, {spoolhost_, printbox_}, nbtWatch, work_ + "/out-nbt", error);
  };
  // An untimed run of each first: page cache, the first session, and heaps
  // that grow to a job's size once and are reused after.
  for (int path = 0; path < 3; ++path)
    if (!run(path)) return false;

  result->bytes = bytes;
  std::printf("job of %zu bytes, %d repetitions (nbt: spoolhost %s -> printbox %s)\n", bytes, reps_, kHostAddress,
              kBoxAddress);
  std::printf("%4s %14s %14s %14s %8s %14s %14s %14s\n", "rep", "raw TCP MB/s", "spooled MB/s", "nbt MB/s", "ratio",
              "raw CPU ms", "spooled CPU ms", "nbt CPU ms");
  for (int rep = 0; rep < reps_; ++rep) {
    // raw, spooled raw and nbt, each repetition starting one further on, so
    // that each path runs first, second and third as often.
    Timing t[3];
    for (int i = 0; i < 3; ++i) {
      int path = (rep + i) % 3;
      auto got = run(path);
      if (!got) return false;
      t[path] = *got;
    }
    double rate[3];
    for (int path = 0; path < 3; ++path) rate[path] = static_cast<double>(bytes) / t[path].seconds / 1e6;
    result->rawRates.push_back(rate[0]);
    result->spooledRates.push_back(rate[1]);
    result->nbtRates.push_back(rate[2]);
    result->rawCpu.push_back(t[0].cpu * 1e3);
    result->spooledCpu.push_back(t[1].cpu * 1e3);
    result->nbtCpu.push_back(t[2].cpu * 1e3);
    result->clientCpu.push_back(t[2].parts[0] * 1e3);
    result->daemonCpu.push_back(t[2].parts[1] * 1e3);
    result->boxCpu.push_back(t[2].parts[2] * 1e3);
    std::printf("%4d %14.1f %14.1f %14.1f %8.3f %14.0f %14.0f %14.0f\n", rep + 1, rate[0], rate[1], rate[2],
                rate[2] / rate[0], t[0].cpu * 1e3, t[1].cpu * 1e3, t[2].cpu * 1e3);
    std::fflush(stdout);
  }
  return true;
}

int Bench::Run() {
  std::string error;
  if (!SetUp(&error)) return Fail(error);
  std::vector<SizeResult> results;
  for (std::size_t bytes : sizes_) {
    SizeResult result;
    if (!RunSize(bytes, &result, &error)) return Fail(error);
    results.push_back(result);
  }
  // Rates are medians with the spread of the repetitions (lowest-highest).
  // CPU time (all processes of a path, in clock ticks) moves less with other
  // load on the machine than the rates do.
  std::printf("\nsummary, %d repetitions: median (lowest-highest)\n", reps_);
  std::printf("%10s %24s %24s %7s %20s %20s %7s\n", "MiB", "raw TCP MB/s", "nbt MB/s", "ratio", "raw CPU ms/job",
              "nbt CPU ms/job", "CPU x");
  for (const SizeResult& r : results) {
    double ratio = Median(r.nbtRates) / Median(r.rawRates);
    double cpu = Median(r.nbtCpu) / std::max(Median(r.rawCpu), 1.0);
    std::printf("%10.2f %24s %24s %7.3f %20s %20s %7.2f\n", static_cast<double>(r.bytes) / (1 << 20),
                Spread(r.rawRates, "%.0f (%.0f-%.0f)").c_str(), Spread(r.nbtRates, "%.0f (%.0f-%.0f)").c_str(), ratio,
                Spread(r.rawCpu, "%.0f (%.0f-%.0f)").c_str(), Spread(r.nbtCpu, "%.0f (%.0f-%.0f)").c_str(), cpu);
  }
  // The spooled raw stream: what the spool alone costs, and the print path
  // against it.
  std::printf("%10s %24s %20s %16s %16s\n", "MiB", "spooled raw MB/s", "spooled CPU ms/job", "spooled / raw",
              "nbt / spooled");
  for (const SizeResult& r : results)
    std::printf("%10.2f %24s %20s %16.3f %16.3f\n", static_cast<double>(r.bytes) / (1 << 20),
                Spread(r.spooledRates, "%.0f (%.0f-%.0f)").c_str(), Spread(r.spooledCpu, "%.0f (%.0f-%.0f)").c_str(),
                Median(r.spooledRates) / Median(r.rawRates), Median(r.nbtRates) / Median(r.spooledRates));
  std::printf("nbt CPU ms/job by process, median: client, daemon, box\n");
  for (const SizeResult& r : results)
    std::printf("%10.2f %10.0f %10.0f %10.0f\n", static_cast<double>(r.bytes) / (1 << 20), Median(r.clientCpu),
                Median(r.daemonCpu), Median(r.boxCpu));
  std::printf("aims: nbt at least 0.8 of the raw stream, CPU per job at most 2 times the raw stream's\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && std::strcmp(argv[1], "--raw-send") == 0) return RawSend(argv[2], argv[3], std::atoi(argv[4]), argv[5]);
  if (argc == 7 && std::strcmp(argv[1], "--raw-send") == 0)
    return RawSendSpooled(argv[2], argv[3], std::atoi(argv[4]), argv[5], argv[6]);
  if (argc == 5 && std::strcmp(argv[1], "--raw-sink") == 0) return RawSink(argv[2], std::atoi(argv[3]), argv[4]);
  std::vector<std::size_t> sizes = {std::size_t{16} << 20, std::size_t{64} << 20, std::size_t{256} << 20};
  int reps = 5;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--bytes" && i + 1 < argc) {
      sizes = {std::strtoull(argv[++i], nullptr, 0)};
    } else if (a == "--reps" && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--bytes N] [--reps N] [--keep]\n", argv[0]);
      return 2;
    }
  }
  if (sizes[0] == 0 || reps < 1) return Fail("--bytes and --reps must be positive");
  ::signal(SIGPIPE, SIG_IGN);
  Bench bench(sizes, reps, keep);
  return bench.Run();
}
