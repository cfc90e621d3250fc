// One NetBIOS session over its own TCP connection, run by a thread that lets
// queued messages share one write.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "nbt_packets.h"
#include "nbt_socket.h"
#include "netbios_transport.h"

namespace plat::nbt {

// Answers to a session request come at once or not at all.
constexpr int kHandshakeMs = 5000;

// One packet of the handshake: header and body, within the time.
std::optional<SessionHeader> ReadPacket(int fd, Bytes* body, int timeoutMs);

// One session's connection. The session thread owns the socket's reads and
// writes; callers queue and take messages under the mutex.
class NbtSession : public nb::Channel {
 public:
  // A session whose queued data the peer takes none of for `sendStall` is
  // aborted.
  NbtSession(Fd fd, nb::Node* node, std::chrono::milliseconds sendStall)
      : fd_(std::move(fd)), node_(node), sendStall_(sendStall) {}
  ~NbtSession() override = default;

  // Runs the session on its own thread; an incoming one answers the
  // session request first.
  void Start(bool incoming) {
    thread_ = std::thread([this, incoming] { Run(incoming); });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  bool Finished() {
    std::lock_guard lock(mutex_);
    return finished_;
  }
  // Ends the session at once, queued data or not.
  void Abort();

  uint8_t Send(std::span<const uint8_t> data) override;
  uint8_t Receive(UCHAR* buffer, WORD capacity, WORD* received) override;
  void HangUp() override;

 private:
  bool Closed() const { return localClosed_ || peerClosed_; }
  // A peer's hang-up closes the session; a connection that failed (reset,
  // or nothing acknowledged in time) aborts it.
  uint8_t EndCode() const { return broken_ && !localClosed_ ? NRC_SABORT : NRC_SCLOSED; }
  // The connection is over; what the peer sent before stays readable.
  void EndLocked();
  // Answers the session request of an incoming connection.
  bool Handshake();
  void Run(bool incoming);

  // Takes complete packets out of rx_; false on a packet no session carries.
  bool Parse();

  // Writes as much of the queue as the socket takes in one call.
  bool Flush();

  // Moves data until the session ends; false when the connection failed
  // rather than ended.
  bool Pump();

  friend class SessionService;
  Fd fd_;
  nb::Node* node_;
  const std::chrono::milliseconds sendStall_;
  std::weak_ptr<NbtSession> self_;
  Wakeup wake_;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<Bytes> out_;
  std::size_t outBytes_ = 0;
  std::size_t sentOffset_ = 0;  // bytes of out_.front() already written
  std::deque<Bytes> in_;
  std::size_t frontOffset_ = 0;
  Bytes rx_;  // session thread only
  std::chrono::steady_clock::time_point lastSend_;  // session thread only
  // When the socket last took queued bytes, or the queue last was empty;
  // session thread only.
  std::chrono::steady_clock::time_point progress_;
  std::size_t inBytes_ = 0;  // of the messages in in_
  bool localClosed_ = false, peerClosed_ = false, aborted_ = false, finished_ = false, broken_ = false;
  nb::WaitList readers_, writers_;
};

}  // namespace plat::nbt
