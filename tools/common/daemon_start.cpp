// How a tool becomes a daemon: the detached start with its ready pipe, and
// stop signals taken through a descriptor.
#include "daemon_start.h"

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tools {
namespace {

// In the child between fork and exec: detaches from the terminal and runs
// the daemon; returns only by exiting.
[[noreturn]] void ExecDetached(std::vector<std::string> words, const std::string& logPath) {
  ::setsid();
  int in = ::open("/dev/null", O_RDONLY);
  if (in >= 0) ::dup2(in, 0);
  // A detached daemon never writes to the terminal: without its log (a
  // read-only disk) what it says goes nowhere, and start reports the failure.
  int out = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (out < 0) out = ::open("/dev/null", O_WRONLY);
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

std::string ReadToEnd(int fd) {
  std::string text;
  char buf[512];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

void ReadReport(const std::string& text, StartReport* report) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, 5, "note ") == 0)
      report->notes.push_back(line.substr(5));
    else if (line.compare(0, 3, "ok ") == 0)
      report->ok = line.substr(3);
    else if (line.compare(0, 7, "failed ") == 0)
      report->failed = line.substr(7);
  }
}

}  // namespace

bool StartDetached(const std::function<std::vector<std::string>(int readyFd)>& argvFor, const std::string& logPath,
                   StartReport* report, std::string* error) {
  int ends[2];
  if (::pipe(ends) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  UniqueFd readEnd(ends[0]), writeEnd(ends[1]);
  // Built before the fork: the child only detaches and runs it.
  std::vector<std::string> words = argvFor(writeEnd.Get());
  std::fflush(nullptr);
  pid_t child = ::fork();
  if (child < 0) {
    *error = std::string("fork: ") + std::strerror(errno);
    return false;
  }
  if (child == 0) {
    readEnd.Reset();
    ExecDetached(std::move(words), logPath);
  }
  writeEnd.Reset();
  ReadReport(ReadToEnd(readEnd.Get()), report);
  if (!report->ok) {
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  return true;
}

void ReadyPipe::Say(const std::string& line) {
  if (!fd_.Valid()) return;
  std::string text = line + "\n";
  if (::write(fd_.Get(), text.data(), text.size()) < 0) {
    // The starter has gone; the daemon runs on all the same.
  }
}

UniqueFd TakeSignals(std::initializer_list<int> signals, std::string* error) {
  sigset_t set;
  sigemptyset(&set);
  for (int s : signals) sigaddset(&set, s);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  UniqueFd fd(::signalfd(-1, &set, SFD_CLOEXEC));
  if (!fd.Valid()) {
    *error = std::string("cannot take the stop signals: ") + std::strerror(errno);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
  return fd;
}

}  // namespace tools
