// The client side of spoolhost: runs one verb by asking the daemon.
#include "client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "daemon_client.h"
#include "escape.h"
#include "protocol.h"
#include "unique_fd.h"

namespace spoolhost {

using tools::DaemonConnection;
using tools::Frame;
using tools::Message;
using tools::StateDir;
using tools::UniqueFd;
using tools::kPromptBox;
using tools::kPromptLine;

namespace {

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "spoolhost: %s\n", line.c_str());
  return status;
}

// A file to read, or standard input for "-" (which stays open).
class InputFile {
 public:
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    if (path != "-") owned_.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (path != "-" && !owned_.Valid()) return Failed(error);
    // A job read from a pipe comes in long stretches rather than 64 KiB at a
    // time; where the system refuses the larger buffer, the pipe stays as it is.
    if (struct stat st {}; ::fstat(Descriptor(), &st) == 0 && S_ISFIFO(st.st_mode))
      (void)::fcntl(Descriptor(), F_SETPIPE_SZ, 1 << 20);
    return true;
  }
  // Up to `size` bytes, fewer only at the end; false with a reason.
  bool Read(char* data, std::size_t size, std::size_t* got, std::string* error) {
    const int fd = Descriptor();
    *got = 0;
    while (*got < size) {
      ssize_t n = ::read(fd, data + *got, size - *got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Failed(error);
      if (n == 0) break;
      *got += static_cast<std::size_t>(n);
    }
    return true;
  }

  int Descriptor() const { return path_ == "-" ? 0 : owned_.Get(); }
  // True for a regular file open for reading, with where reading would start
  // (standard input may have been read into already).
  bool RegularFrom(std::optional<unsigned long long>* offset) const {
    if (!tools::IsReadableRegularFile(Descriptor())) return false;
    off_t at = ::lseek(Descriptor(), 0, SEEK_CUR);
    if (at < 0) return false;
    *offset = static_cast<unsigned long long>(at);
    return true;
  }

 private:
  bool Failed(std::string* error) const {
    *error = "cannot read " + path_ + ": " + std::strerror(errno);
    return false;
  }

  std::string path_;
  UniqueFd owned_;
};

// Reads a whole file (or standard input for "-"); false with a reason.
bool ReadInput(const std::string& path, std::string* data, std::string* error) {
  InputFile file;
  if (!file.Open(path, error)) return false;
  char buf[65536];
  for (std::size_t got = sizeof buf; got == sizeof buf;) {
    if (!file.Read(buf, sizeof buf, &got, error)) return false;
    data->append(buf, got);
  }
  return true;
}

bool SendData(DaemonConnection& daemon, const std::string& data) {
  const std::size_t chunk = 256 * 1024;
  for (std::size_t at = 0; at < data.size(); at += chunk)
    if (!daemon.Send(Frame::Data, data.substr(at, chunk))) return false;
  return daemon.Send(Frame::DataEnd, "");
}

// The monitor's log is a file of the state directory; it can be read
// whether or not the daemon runs.
int ShowMonitorLog(const StateDir& dir) {
  std::string text, error;
  if (::access(dir.MonitorLog().c_str(), F_OK) != 0)
    return Fail(kExitFailed, "no monitor log in " + dir.WindowsDir() + " (the monitor has not been loaded yet)");
  if (!ReadInput(dir.MonitorLog(), &text, &error)) return Fail(kExitFailed, error);
  // The log holds names boxes reported over the network.
  text = tools::EscapeText(text, true);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return kExitOk;
}

// Shows a message box or asks a question the daemon raised, and answers it;
// false when the daemon has gone.
bool AnswerPrompt(DaemonConnection& daemon, const std::string& payload) {
  char kind = payload.empty() ? kPromptLine : payload[0];
  std::string text = payload.substr(payload.empty() ? 0 : 1);
  std::string line;
  if (kind == kPromptBox) {
    std::printf("message box: %s\n", text.c_str());
    std::fflush(stdout);
    if (::isatty(0)) {
      std::fputs("[OK: press Enter] ", stdout);
      std::fflush(stdout);
      std::getline(std::cin, line);
    }
    return daemon.Send(Frame::Answer, "ok");
  }
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
  if (std::getline(std::cin, line)) return daemon.Send(Frame::Answer, line);
  return daemon.Send(Frame::DataEnd, "");
}

// Shows the daemon's answers as they come: progress lines overwrite each
// other on a terminal; any other output starts on a line of its own.
class AnswerView {
 public:
  explicit AnswerView(DaemonConnection& daemon) : daemon_(daemon) {}
  ~AnswerView() {
    if (progressShown_) std::fputs("\n", stderr);
  }
  // Shows one answer; false once there is no more to come.
  bool Show(const Message& m) {
    if (progressShown_ && m.type != Frame::Progress) {
      std::fputs("\n", stderr);
      progressShown_ = false;
    }
    switch (m.type) {
      case Frame::Out:
        std::fwrite(m.payload.data(), 1, m.payload.size(), stdout);
        std::fflush(stdout);
        break;
      case Frame::Err:
        std::fprintf(stderr, "spoolhost: %s\n", m.payload.c_str());
        break;
      case Frame::Progress:
        if (terminal_) {
          std::fprintf(stderr, "\r%s\033[K", m.payload.c_str());
          progressShown_ = true;
        }
        break;
      case Frame::Prompt:
        if (!AnswerPrompt(daemon_, m.payload)) return false;
        break;
      case Frame::Exit:
        status_ = tools::ExitStatusOf(m);
        return false;
      default:
        break;
    }
    return true;
  }
  // Shows the answers until the daemon's Exit; the status it gives, or -1
  // when the connection ends first.
  int ShowRest() {
    while (status_ < 0) {
      std::optional<Message> m = daemon_.Receive();
      if (!m || !Show(*m)) break;
    }
    return status_;
  }
  // Shows the answers already come, without waiting; false once there is no
  // more to come (the daemon has answered, or gone).
  bool ShowWaiting() {
    while (daemon_.Readable()) {
      std::optional<Message> m = daemon_.Receive();
      if (!m || !Show(*m)) return false;
    }
    return true;
  }
  int Status() const { return status_; }

 private:
  DaemonConnection& daemon_;
  const bool terminal_ = ::isatty(2);
  bool progressShown_ = false;
  int status_ = -1;
};

// A job's bytes. A regular file goes to the daemon as its open descriptor, so
// that the daemon reads it straight into the spool: the bytes do not cross
// the socket, and the client need not stay. Any other input (a pipe, a
// terminal, a device) is sent a piece at a time, so that a large job never
// sits whole in the client; its first piece is read before the daemon is
// asked, so an unreadable input still fails at once.
class JobInput {
 public:
  static constexpr std::size_t kPiece = 256 * 1024;
  bool Open(const std::string& path, std::string* error) {
    if (!file_.Open(path, error)) return false;
    if (file_.RegularFrom(&offset_)) return true;
    return Read(error);
  }
  // Sends the file, or what was read and the rest, showing the daemon's
  // answers as they come (the job's number first, so that a job read from a
  // pipe can be cancelled); false with *error when reading fails, with
  // *error empty when the daemon has answered already or gone.
  bool Send(DaemonConnection& daemon, AnswerView& view, std::string* error) {
    error->clear();
    if (offset_) return daemon.Send(Frame::DataFile, std::to_string(*offset_), file_.Descriptor());
    while (!piece_.empty()) {
      if (!daemon.Send(Frame::Data, piece_) || !view.ShowWaiting()) return false;
      if (!Read(error)) return false;
    }
    return daemon.Send(Frame::DataEnd, "");
  }

 private:
  // The next piece (empty at the end of the input).
  bool Read(std::string* error) {
    piece_.resize(kPiece);
    std::size_t got = 0;
    bool ok = file_.Read(piece_.data(), kPiece, &got, error);
    piece_.resize(got);
    return ok;
  }

  InputFile file_;
  std::string piece_;
  std::optional<unsigned long long> offset_;  // set for a regular file: where the job starts in it
};

// What a verb sends after its request: a whole file (reg import), a job read
// piece by piece (print), or nothing.
struct RequestInput {
  std::string data;
  bool sendsData = false;
  JobInput job;
  bool sendsJob = false;
};

// Reads what the command sends, here, as the user who runs it, before the
// daemon is asked, so an unreadable file fails at once. Nothing to go on,
// else the exit status, the reason said.
std::optional<int> PrepareInput(Command* command, RequestInput* input) {
  std::string error;
  if (command->verb == "print") {
    std::string path = command->args.size() > 1 ? command->args[1] : "-";
    if (path == "-" && ::isatty(0)) return Fail(kExitUsage, "print: give a FILE, or pipe the job into standard input");
    if (!input->job.Open(path, &error)) return Fail(kExitFailed, error);
    input->sendsJob = true;
    if (command->args.size() > 1) command->args.pop_back();
  } else if (command->verb == "reg" && command->args[0] == "import") {
    if (!ReadInput(command->args[1], &input->data, &error)) return Fail(kExitFailed, error);
    input->sendsData = true;
  } else if (command->verb == "configure" && command->options.empty()) {
    // With no settings given, the dialog is played by the user on a terminal.
    if (!::isatty(0))
      return Fail(kExitUsage,
                  "configure: give settings (--offline, --out-of-paper, --no-response, --timer, --cancel), "
                  "or run it on a terminal for the interactive dialog");
    command->options["interactive"].push_back("");
  }
  return std::nullopt;
}

// The daemon answers `stop` before its process ends; a `start` right after
// must not find the old daemon's lock still held, so the client returns
// only once the lock is free.
int AwaitDaemonExit(const StateDir& dir) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (dir.RunningDaemon()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return Fail(kExitFailed, "the daemon in " + dir.Path() + " said it stopped but still runs after 30 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return kExitOk;
}

}  // namespace

std::vector<std::string> CommandWords(const Command& command) {
  std::vector<std::string> words{command.verb};
  for (const auto& [name, values] : command.options)
    for (const std::string& value : values) words.push_back(value.empty() ? "--" + name : "--" + name + "=" + value);
  words.push_back("--");
  words.insert(words.end(), command.args.begin(), command.args.end());
  return words;
}

int RunClient(Command command, const StateDir& dir) {
  if (command.verb == "log") return ShowMonitorLog(dir);
  RequestInput input;
  if (std::optional<int> failed = PrepareInput(&command, &input)) return *failed;

  std::string error;
  std::optional<DaemonConnection> daemon = DaemonConnection::Connect(dir.SocketPath(), &error);
  if (!daemon) {
    // A daemon of another user's is not "no daemon": say what stops us.
    if (::access(dir.SocketPath().c_str(), W_OK) != 0 && errno == EACCES)
      return Fail(kExitFailed, "permission denied on " + dir.SocketPath());
    if (auto pid = dir.RunningDaemon(); pid)
      return Fail(kExitNotRunning, "the daemon in " + dir.Path() + " (pid " + std::to_string(*pid) +
                                       ") does not answer: " + error);
    return Fail(kExitNotRunning, "no spoolhost daemon runs in " + dir.Path() + " (start one: spoolhost start)");
  }
  AnswerView view(*daemon);
  bool sent = daemon->SendRequest(CommandWords(command));
  if (sent && input.sendsData) sent = SendData(*daemon, input.data);
  if (sent && input.sendsJob) {
    std::string readError;
    sent = input.job.Send(*daemon, view, &readError);
    if (!readError.empty()) return Fail(kExitFailed, readError);
  }
  // A daemon that stops reading a job (cancelled, refused) has answered why.
  int status = sent || input.sendsJob ? view.ShowRest() : -1;
  if (status < 0) return Fail(kExitFailed, "the daemon closed the connection before answering");
  if (command.verb == "stop" && status == kExitOk) return AwaitDaemonExit(dir);
  return status;
}

}  // namespace spoolhost
