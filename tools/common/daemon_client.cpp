// The client's end of a daemon's socket.
#include "daemon_client.h"

namespace tools {

std::optional<DaemonConnection> DaemonConnection::Connect(const std::string& socketPath, std::string* error) {
  UniqueFd fd = ConnectUnix(socketPath, error);
  if (!fd.Valid()) return std::nullopt;
  return DaemonConnection(std::move(fd));
}

}  // namespace tools
