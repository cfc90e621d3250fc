// The daemon's side of one client connection: output, progress and questions.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "protocol.h"
#include "unique_fd.h"

namespace spoolhost {

class Session {
 public:
  explicit Session(int fd) : fd_(fd) {}

  void Out(const std::string& text);
  // Bytes for standard output as they are (an exported registry file).
  void OutRaw(const std::string& text);
  void Err(const std::string& text);  // one line of error, without the program name
  void Progress(const std::string& text);
  // Asks the client; nothing when it has gone (or closed its input).
  std::optional<std::string> Ask(char kind, const std::string& text);
  // Reads the client's data frames up to DataEnd; false when it broke off.
  bool ReceiveData(std::string* data);
  // Reads the next frame into *payload (its old contents dropped); its type,
  // or nothing when the client has gone. A descriptor that came with the
  // frame goes to *passed when asked for.
  std::optional<tools::Frame> Receive(std::string* payload, tools::UniqueFd* passed = nullptr);
  // Reads no more: a client still sending hears that the daemon has gone
  // and turns to its answers.
  void StopReceiving();
  int Socket() const { return fd_; }
  void Exit(int status);

  bool Gone() const;

  // The session served on this thread, if any: message boxes raised on a
  // client's own request go to that client, as a box raised by a dialog would
  // appear on the user's desktop.
  static Session* Current();
  class Scope {
   public:
    explicit Scope(Session* session);
    ~Scope();

   private:
    Session* previous_;
  };

 private:
  void Send(tools::Frame type, const std::string& payload);

  int fd_;
  mutable std::mutex mutex_;
  bool gone_ = false;
  bool exited_ = false;  // Exit is the last frame; nothing follows it
};

}  // namespace spoolhost
