// The client's end of a daemon's socket: one request out, framed answers
// back. spoolhost's and printbox's clients use it, and so can any program
// that drives spoolhost.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "protocol.h"
#include "unique_fd.h"

namespace tools {

class DaemonConnection {
 public:
  // Connects to the daemon listening at `socketPath`; nothing, with the
  // system's reason in *error, when none does.
  static std::optional<DaemonConnection> Connect(const std::string& socketPath, std::string* error);

  // Sends the command line as the request; false when the daemon has gone.
  bool SendRequest(const std::vector<std::string>& words) { return Send(Frame::Request, JoinWords(words)); }
  // With `file` given, that descriptor goes along with the frame.
  bool Send(Frame type, const std::string& payload, int file = -1) { return SendFrame(fd_.Get(), type, payload, file); }
  // The next answer; nothing once the daemon has closed the connection.
  std::optional<Message> Receive() { return ReceiveFrame(fd_.Get()); }
  // Whether an answer (or the end of the connection) waits to be received.
  bool Readable() const;

 private:
  explicit DaemonConnection(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace tools
