// One NetBIOS session over its own TCP connection, run by a thread that lets
// queued messages share one write.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include <sys/types.h>

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
  uint8_t Receive(UCHAR* buffer, WORD capacity, WORD* received, bool joined) override;
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

  // Hands the whole packets received to the receivers; false on a packet no
  // session carries.
  bool Parse();

  // Writes as much of the queue as the socket takes in one call.
  bool Flush();
  // Under mutex_: appends to the send ring, which has room for it.
  void Queue(std::span<const uint8_t> bytes);

  // Moves data until the session ends; false when the connection failed
  // rather than ended.
  bool Pump();

  // Receives what the ring has room for; the count read, 0 at the peer's
  // end, -1 on an error (errno).
  ssize_t ReceiveIntoRing(std::size_t room);
  // Copies stream bytes out of the ring, from the absolute position `at`.
  void CopyFromRing(std::uint64_t at, uint8_t* out, std::size_t n) const;

  friend class SessionService;
  Fd fd_;
  nb::Node* node_;
  const std::chrono::milliseconds sendStall_;
  std::weak_ptr<NbtSession> self_;
  Wakeup wake_;
  std::thread thread_;
  std::mutex mutex_;

  // Sending. Messages are queued in a ring of bytes, so that the session
  // thread writes many at once, in one call and one TCP segment, where a
  // write of each would cost a system call and a segment per message (both
  // far dearer than copying a job packet). A message of kDirectWrite bytes or
  // more that finds nothing queued goes from the caller's buffer straight to
  // the socket; only what the socket does not take is queued.
  std::unique_ptr<uint8_t[]> sendRing_;
  std::uint64_t queued_ = 0;  // end of what the ring holds
  std::uint64_t sent_ = 0;    // start of what the ring holds: the rest went
  // A sender is writing its own message to the socket: nobody queues or
  // flushes meanwhile, so that the stream keeps its order.
  bool writing_ = false;
  // The handshake is over: senders may write to the socket themselves.
  bool open_ = false;
  // A sender's own write failed: the connection is broken.
  bool writeFailed_ = false;
  // When the socket last took bytes; and when it last took queued bytes, or
  // the queue last was empty.
  std::chrono::steady_clock::time_point lastSend_;
  std::chrono::steady_clock::time_point progress_;

  // Receiving. The session thread reads the stream into a ring, and each
  // message is handed to NCBRECV straight from there: the header parsed
  // where it lies, the body copied once, into the receiver's buffer.
  // Positions count bytes of the stream since the session began.
  struct InMessage {
    std::uint64_t start = 0;  // of the body
    std::size_t length = 0;
  };
  std::unique_ptr<uint8_t[]> ring_;  // made by the session thread as it starts
  std::uint64_t received_ = 0;  // end of what the ring holds
  std::uint64_t released_ = 0;  // start of what the ring holds
  std::uint64_t parsed_ = 0;    // end of the last whole packet
  std::deque<InMessage> in_;    // whole messages not yet taken
  std::size_t frontOffset_ = 0;
  // The session thread stopped reading until receivers make room.
  bool ringFull_ = false;

  bool localClosed_ = false, peerClosed_ = false, aborted_ = false, finished_ = false, broken_ = false;
  nb::WaitList readers_, writers_;
};

}  // namespace plat::nbt
