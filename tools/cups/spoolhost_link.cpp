// The backend's way to the spoolhost daemon.
//
// spoolhost keeps its state folder, socket included, to its owner alone
// (0700), and serves whoever reaches the socket. cupsd runs a backend as its
// unprivileged user (lp) unless the backend's file grants nothing to group
// and others; the backend is installed 0700 so that cupsd runs it as root.
// Opening the folder to lp's group instead would let any program of that
// group drive the daemon (stop it, change the registry); root is used for
// one thing only, to become the folder's owner:
// - the folder is opened without following a symlink and must be a folder
//   with no access for group or others, as spoolhost keeps it; one that
//   others may enter could hold a socket they planted, so it is refused;
// - the backend then takes the owner's user and group, drops every other
//   group, and cannot become root again; only then does it read anything the
//   daemon says, so a fault in reading the daemon's answers gives no more
//   than the daemon's owner has already;
// - the socket is reached through the folder opened and checked, not by its
//   name again, so the folder cannot be swapped between check and connect;
// - the folder's path comes from cupsd's environment or configuration
//   (SetEnv in cupsd.conf, root's) or is the service's fixed folder, never
//   from a job's user; the job's file is opened before the switch.
// Run by another user (a backend installed 0755, run as lp), nothing is
// switched: the folder opens only for its owner, and the error says how to
// install the backend.
#include "spoolhost_link.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "protocol.h"

namespace varnhold {

using tools::DaemonConnection;
using tools::Frame;
using tools::Message;

namespace {

// The value cupsd.conf gives SPOOLHOST_STATE with SetEnv, if any: cupsd puts
// it in the environment of the jobs' backends but not in that of the ones
// cups-deviced runs for lpinfo, which then find it here.
std::string SetEnvInCupsdConf() {
  const char* root = std::getenv("CUPS_SERVERROOT");
  std::ifstream conf(std::string(root != nullptr && *root != '\0' ? root : "/etc/cups") + "/cupsd.conf");
  std::string found;
  for (std::string line; std::getline(conf, line);) {
    std::istringstream words(line);
    std::string directive, name, value;
    if (words >> directive >> name >> value && directive == "SetEnv" && name == "SPOOLHOST_STATE") found = value;
  }
  return found;
}

}  // namespace

std::string StateFolderPath() {
  if (const char* env = std::getenv("SPOOLHOST_STATE"); env != nullptr && *env != '\0') return env;
  if (std::string set = SetEnvInCupsdConf(); !set.empty()) return set;
  return kServiceStateDir;
}

namespace {

bool BecomeUser(uid_t uid, std::string* error) {
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(uid, &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
    *error = "its owner, uid " + std::to_string(uid) + ", has no account to act as";
    return false;
  }
  gid_t gid = found->pw_gid;
  if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) {
    *error = std::string("cannot act as its owner ") + found->pw_name + ": " + std::strerror(errno);
    return false;
  }
  // Make sure root is gone for good before anything the daemon says is read.
  if (::setuid(0) == 0 || ::getuid() != uid || ::geteuid() != uid || ::getegid() != gid) {
    *error = "could not give up root";
    return false;
  }
  return true;
}

}  // namespace

SpoolhostLink::Fault SpoolhostLink::Open(const std::string& path, std::string* error) {
  path_ = path;
  folder_.Reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder_.Valid()) {
    int why = errno;
    if (why == ENOENT) {
      *error = "no spoolhost runs: there is no state folder " + path;
      return Fault::NotRunning;
    }
    *error = "cannot open spoolhost's state folder " + path + ": " + std::strerror(why);
    if (why == EACCES)
      *error += " (the backend runs as uid " + std::to_string(::geteuid()) +
                "; install it mode 0700, owned by root, so that cupsd runs it as root)";
    if (why == ELOOP || why == ENOTDIR) *error = path + " is not a folder (a symbolic link is not followed)";
    return Fault::Refused;
  }
  struct stat st {};
  if (::fstat(folder_.Get(), &st) != 0) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return Fault::Refused;
  }
  if ((st.st_mode & 077) != 0) {
    *error = path + " is open to other users (mode " + std::to_string((st.st_mode >> 6) & 7) +
             std::to_string((st.st_mode >> 3) & 7) + std::to_string(st.st_mode & 7) +
             "); spoolhost keeps its state folder 0700, and the backend uses no other";
    return Fault::Refused;
  }
  if (::geteuid() == 0 && st.st_uid != 0) {
    std::string why;
    if (!BecomeUser(st.st_uid, &why)) {
      *error = "cannot use " + path + ": " + why;
      return Fault::Refused;
    }
  }
  return Fault::None;
}

std::optional<DaemonConnection> SpoolhostLink::Connect(std::string* error) const {
  std::string reason;
  std::optional<DaemonConnection> c =
      DaemonConnection::Connect("/proc/self/fd/" + std::to_string(folder_.Get()) + "/spoolhost.sock", &reason);
  if (!c) *error = "no spoolhost answers in " + path_ + " (" + reason + ")";
  return c;
}

Answer SpoolhostLink::Ask(const std::vector<std::string>& words) const {
  Answer answer;
  std::optional<DaemonConnection> daemon = Connect(&answer.err);
  if (!daemon) return answer;
  if (!daemon->SendRequest(words)) {
    answer.err = "spoolhost closed the connection";
    return answer;
  }
  while (std::optional<Message> m = daemon->Receive()) {
    if (m->type == Frame::Out) answer.out += m->payload;
    if (m->type == Frame::Err) answer.err += (answer.err.empty() ? "" : "; ") + m->payload;
    // A verb of ours never asks; a question would wait for an answer forever.
    if (m->type == Frame::Prompt) daemon->Send(Frame::Answer, "ok");
    if (m->type == Frame::Exit) {
      answer.status = tools::ExitStatusOf(*m);
      return answer;
    }
  }
  if (answer.err.empty()) answer.err = "spoolhost closed the connection before answering";
  return answer;
}

}  // namespace varnhold
