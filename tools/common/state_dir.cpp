// The state directory: where it is, what it holds, and the daemon's lock on it.
#include "state_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "unique_fd.h"

namespace tools {
namespace {


bool MakeDir(const std::string& path, std::string* error) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    *error = path + " exists and is not a directory";
    return false;
  }
  *error = "cannot create " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

// The state holds the registry, jobs on their way and the sockets: nobody but
// its owner may read it, so a folder that is ours is closed up whatever its
// mode was, and one that is another user's is not used at all.
bool MakeFolderPrivate(const std::string& path, std::string* error) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_uid != ::geteuid()) {
    *error = path + " belongs to another user (uid " + std::to_string(st.st_uid) + "); use a folder of your own";
    return false;
  }
  if ((st.st_mode & 07777) != 0700 && ::chmod(path.c_str(), 0700) != 0) {
    *error = "cannot make " + path + " private: " + std::strerror(errno);
    return false;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat entry {};
    if (::lstat(it->path().c_str(), &entry) != 0 || S_ISLNK(entry.st_mode) || entry.st_uid != ::geteuid()) continue;
    mode_t want = S_ISDIR(entry.st_mode) ? 0700 : 0600;
    if ((entry.st_mode & 07777) != want && ::chmod(it->path().c_str(), want) != 0) {
      *error = "cannot make " + it->path().string() + " private: " + std::strerror(errno);
      return false;
    }
  }
  return true;
}

StateDir StateDir::Resolve(const std::optional<std::string>& option) {
  StateDir dir;
  std::string path;
  if (option) {
    path = *option;
  } else if (const char* env = std::getenv("SPOOLHOST_STATE"); env != nullptr && *env != '\0') {
    path = env;
  } else {
    path = "spoolhost-state";
  }
  if (path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) path = std::string(cwd) + "/" + path;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  dir.path_ = path;
  return dir;
}

bool StateDir::Create(std::string* error) const {
  return MakeDir(path_, error) && MakeFolderPrivate(path_, error) && MakeDir(WindowsDir(), error) &&
         MakeDir(SpoolDir(), error);
}

std::optional<long> StateDir::RunningDaemon() const {
  UniqueFd fd(::open(LockPath().c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return std::nullopt;
  std::optional<long> pid;
  if (::flock(fd.Get(), LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    char buf[32] = {};
    ssize_t n = ::read(fd.Get(), buf, sizeof buf - 1);
    pid = n > 0 ? std::strtol(buf, nullptr, 10) : 0;
  }
  return pid;
}

bool HoldDaemonLock(const StateDir& dir, std::string* error) {
  UniqueFd fd(::open(dir.LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.Valid()) {
    *error = "cannot open " + dir.LockPath() + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
    char buf[32] = {};
    ssize_t n = ::read(fd.Get(), buf, sizeof buf - 1);
    *error = "a spoolhost daemon already runs in " + dir.Path() + (n > 0 ? " (pid " + std::string(buf) + ")" : "");
    while (!error->empty() && (error->back() == '\n')) error->pop_back();
    return false;
  }
  std::string pid = std::to_string(::getpid());
  if (::ftruncate(fd.Get(), 0) != 0 ||
      ::pwrite(fd.Get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    *error = "cannot write " + dir.LockPath();
    return false;
  }
  fd.Release();  // held until the process ends
  return true;
}

}  // namespace tools
