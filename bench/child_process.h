// Child processes for the benchmarks that drive spoolhost and printbox as a
// user would: start one with its output in a log, wait for it, or run one to
// its end and keep what it printed.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace bench {

// Starts argv with standard input from /dev/null and its output appended to
// `log` (or to `stdoutFd` when given).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& log, int stdoutFd = -1) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = ::fork();
  if (pid != 0) return pid;
  int in = ::open("/dev/null", O_RDONLY);
  int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (in < 0 || out < 0) ::_exit(127);
  ::dup2(in, 0);
  ::dup2(stdoutFd >= 0 ? stdoutFd : out, 1);
  ::dup2(out, 2);
  ::execv(args[0], args.data());
  ::_exit(127);
}

// The child's exit status, or -1 when it did not exit on its own.
inline int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs argv to its end; its standard output in *out.
inline int Capture(const std::vector<std::string>& argv, const std::string& log, std::string* out = nullptr) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  pid_t pid = Spawn(argv, log, pipeFds[1]);
  ::close(pipeFds[1]);
  std::string text;
  char buf[65536];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
    if (n > 0) text.append(buf, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  if (out) *out = text;
  return WaitExit(pid);
}

}  // namespace bench
