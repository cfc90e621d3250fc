// spoolhost's state directory: where it is, what it holds, and the daemon's
// lock on it. Shared, since a client finds the daemon's socket through it.
#pragma once

#include <optional>
#include <string>

namespace tools {

// Makes PATH, a folder of this user's, and all in it readable by its owner
// only (0700 folders, 0600 files); false with a reason for a folder of
// another user's or one that cannot be changed.
bool MakeFolderPrivate(const std::string& path, std::string* error);

class StateDir {
 public:
  // --state DIR, else $SPOOLHOST_STATE, else ./spoolhost-state; made absolute.
  static StateDir Resolve(const std::optional<std::string>& option);

  const std::string& Path() const { return path_; }
  std::string RegistryFile() const { return path_ + "/registry.db"; }
  std::string WindowsDir() const { return path_ + "/windows"; }
  std::string SocketPath() const { return path_ + "/spoolhost.sock"; }
  std::string LockPath() const { return path_ + "/spoolhost.pid"; }
  std::string DaemonLog() const { return path_ + "/spoolhost.log"; }
  std::string BoxDir(const std::string& box) const { return path_ + "/boxes/" + box; }
  // Jobs on their way: each one's data and record, until it has printed.
  std::string SpoolDir() const { return path_ + "/spool"; }
  std::string MonitorLog() const { return WindowsDir() + "/TAVRO.log"; }

  // Creates the directory, and the Windows and spool directories inside it.
  bool Create(std::string* error) const;

  // The pid of the daemon holding the lock, if one does.
  std::optional<long> RunningDaemon() const;

 private:
  std::string path_;
};

// Takes the daemon's hold on the state directory: an exclusive lock on the pid
// file, kept for the life of the process. Its descriptor is never closed: the
// system drops the lock only when the process ends, after its log (standard
// output) is closed, so whoever waits on the lock for a stopped daemon finds
// the state folder free of it, never a daemon still closing its files.
// False with a reason when another daemon holds it or the file cannot be had.
bool HoldDaemonLock(const StateDir& dir, std::string* error);

}  // namespace tools
