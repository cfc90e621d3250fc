// The backend's way to the spoolhost daemon: its state folder, the user the
// backend acts as, and one request at a time over the daemon's socket.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "daemon_client.h"
#include "unique_fd.h"

namespace varnhold {

// Where a spoolhost run as a service keeps its state, unless SPOOLHOST_STATE
// names another folder.
inline constexpr const char* kServiceStateDir = "/var/lib/spoolhost";
std::string StateFolderPath();

// What a finished request brought back.
struct Answer {
  int status = -1;  // the daemon's exit status; -1 when it never gave one
  std::string out;
  std::string err;  // its error lines, joined by "; "
};

class SpoolhostLink {
 public:
  enum class Fault { None, NotRunning, Refused };

  // Opens the state folder and, when run as root, becomes its owner (see the
  // .cpp). Fault::NotRunning when no daemon can be there (no folder);
  // Fault::Refused, with a reason, for a folder the backend must not or
  // cannot use. Called before any other thread starts.
  Fault Open(const std::string& path, std::string* error);

  // A connection to the daemon; nothing, with a reason, when none answers.
  std::optional<tools::DaemonConnection> Connect(std::string* error) const;
  // Runs one verb to its end; status -1 with the reason in err when the
  // daemon cannot be reached or breaks off.
  Answer Ask(const std::vector<std::string>& words) const;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  tools::UniqueFd folder_;
};

}  // namespace varnhold
