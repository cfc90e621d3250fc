// The client side of spoolhost: runs one verb by asking the daemon.
#include "client.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "protocol.h"
#include "session.h"

namespace spoolhost {
namespace {

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "spoolhost: %s\n", line.c_str());
  return status;
}

// Reads a whole file (or standard input for "-"); false with a reason.
bool ReadInput(const std::string& path, std::string* data, std::string* error) {
  int fd = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      if (fd != 0) ::close(fd);
      return false;
    }
    if (n == 0) break;
    data->append(buf, static_cast<std::size_t>(n));
  }
  if (fd != 0) ::close(fd);
  return true;
}

// A job's bytes, sent a piece at a time, so that a large job never sits whole
// in the client. The first piece is read before the daemon is asked, so an
// unreadable file still fails at once.
class JobInput {
 public:
  static constexpr std::size_t kPiece = 256 * 1024;
  ~JobInput() {
    if (fd_ > 0) ::close(fd_);
  }
  bool Open(const std::string& path, std::string* error) {
    path_ = path;
    fd_ = path == "-" ? 0 : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      return false;
    }
    return Read(error);
  }
  // Sends what was read and the rest; false with *error when reading fails,
  // with *error empty when the daemon has gone.
  bool Send(int sock, std::string* error) {
    error->clear();
    while (!piece_.empty()) {
      if (!SendFrame(sock, Frame::Data, piece_)) return false;
      if (!Read(error)) return false;
    }
    return SendFrame(sock, Frame::DataEnd, "");
  }

 private:
  // The next piece (empty at the end of the input).
  bool Read(std::string* error) {
    piece_.resize(kPiece);
    std::size_t got = 0;
    while (got < kPiece) {
      ssize_t n = ::read(fd_, piece_.data() + got, kPiece - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        *error = "cannot read " + path_ + ": " + std::strerror(errno);
        return false;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    piece_.resize(got);
    return true;
  }

  std::string path_;
  int fd_ = -1;
  std::string piece_;
};

bool SendData(int fd, const std::string& data) {
  const std::size_t chunk = 256 * 1024;
  for (std::size_t at = 0; at < data.size(); at += chunk)
    if (!SendFrame(fd, Frame::Data, data.substr(at, chunk))) return false;
  return SendFrame(fd, Frame::DataEnd, "");
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
  // The monitor's log is a file of the state directory; it can be read
  // whether or not the daemon runs.
  if (command.verb == "log") {
    std::string text, error;
    if (::access(dir.MonitorLog().c_str(), F_OK) != 0)
      return Fail(kExitFailed, "no monitor log in " + dir.WindowsDir() + " (the monitor has not been loaded yet)");
    if (!ReadInput(dir.MonitorLog(), &text, &error)) return Fail(kExitFailed, error);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return kExitOk;
  }

  // Files are read here, as the user who runs the command, before the daemon
  // is asked, so an unreadable file fails at once.
  std::string data;
  bool sendsData = false;
  JobInput job;
  bool sendsJob = false;
  if (command.verb == "print") {
    std::string path = command.args.size() > 1 ? command.args[1] : "-";
    if (path == "-" && ::isatty(0)) return Fail(kExitUsage, "print: give a FILE, or pipe the job into standard input");
    std::string error;
    if (!job.Open(path, &error)) return Fail(kExitFailed, error);
    sendsJob = true;
    if (command.args.size() > 1) command.args.pop_back();
  } else if (command.verb == "reg" && command.args[0] == "import") {
    std::string error;
    if (!ReadInput(command.args[1], &data, &error)) return Fail(kExitFailed, error);
    sendsData = true;
  } else if (command.verb == "configure" && command.options.empty()) {
    // With no settings given, the dialog is played by the user on a terminal.
    if (!::isatty(0))
      return Fail(kExitUsage,
                  "configure: give settings (--offline, --out-of-paper, --no-response, --timer, --cancel), "
                  "or run it on a terminal for the interactive dialog");
    command.options["interactive"].push_back("");
  }

  std::string error;
  int fd = ConnectUnix(dir.SocketPath(), &error);
  if (fd < 0) {
    if (auto pid = dir.RunningDaemon(); pid)
      return Fail(kExitNotRunning, "the daemon in " + dir.Path() + " (pid " + std::to_string(*pid) +
                                       ") does not answer: " + error);
    return Fail(kExitNotRunning, "no spoolhost daemon runs in " + dir.Path() + " (start one: spoolhost start)");
  }
  bool ok = SendFrame(fd, Frame::Request, JoinWords(CommandWords(command)));
  if (ok && sendsData) ok = SendData(fd, data);
  if (ok && sendsJob) {
    std::string readError;
    ok = job.Send(fd, &readError);
    if (!readError.empty()) {
      ::close(fd);
      return Fail(kExitFailed, readError);
    }
  }
  const bool terminal = ::isatty(2);
  bool progressShown = false;
  int status = -1;
  while (ok && status < 0) {
    std::optional<Message> m = ReceiveFrame(fd);
    if (!m) break;
    if (progressShown && m->type != Frame::Progress) {
      std::fputs("\n", stderr);
      progressShown = false;
    }
    switch (m->type) {
      case Frame::Out:
        std::fwrite(m->payload.data(), 1, m->payload.size(), stdout);
        std::fflush(stdout);
        break;
      case Frame::Err:
        std::fprintf(stderr, "spoolhost: %s\n", m->payload.c_str());
        break;
      case Frame::Progress:
        if (terminal) {
          std::fprintf(stderr, "\r%s\033[K", m->payload.c_str());
          progressShown = true;
        }
        break;
      case Frame::Prompt: {
        char kind = m->payload.empty() ? kPromptLine : m->payload[0];
        std::string text = m->payload.substr(m->payload.empty() ? 0 : 1);
        if (kind == kPromptBox) {
          std::printf("message box: %s\n", text.c_str());
          std::fflush(stdout);
          if (::isatty(0)) {
            std::fputs("[OK: press Enter] ", stdout);
            std::fflush(stdout);
            std::string line;
            std::getline(std::cin, line);
          }
          ok = SendFrame(fd, Frame::Answer, "ok");
        } else {
          std::fputs(text.c_str(), stdout);
          std::fflush(stdout);
          std::string line;
          if (std::getline(std::cin, line))
            ok = SendFrame(fd, Frame::Answer, line);
          else
            ok = SendFrame(fd, Frame::DataEnd, "");
        }
        break;
      }
      case Frame::Exit:
        status = m->payload.empty() ? kExitFailed : static_cast<unsigned char>(m->payload[0]);
        break;
      default:
        break;
    }
  }
  if (progressShown) std::fputs("\n", stderr);
  ::close(fd);
  if (status < 0) return Fail(kExitFailed, "the daemon closed the connection before answering");
  return status;
}

}  // namespace spoolhost
