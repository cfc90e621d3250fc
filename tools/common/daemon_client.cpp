// The client's end of a daemon's socket.
#include "daemon_client.h"

#include <poll.h>

namespace tools {

std::optional<DaemonConnection> DaemonConnection::Connect(const std::string& socketPath, std::string* error) {
  UniqueFd fd = ConnectUnix(socketPath, error);
  if (!fd.Valid()) return std::nullopt;
  return DaemonConnection(std::move(fd));
}

bool DaemonConnection::Readable() const {
  pollfd p{fd_.Get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace tools
