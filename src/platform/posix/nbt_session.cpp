// A NetBIOS session's connection: the handshake of an incoming call, then
// messages both ways until either side ends it.
#include "nbt_session.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plat::nbt {
namespace {

// An idle session sends a keep-alive this often, so a dead peer shows.
constexpr int kKeepAliveMs = 60000;
// Bytes a sender may have queued before NCBSEND waits for the connection: a
// job's sender runs this far ahead, so that it and the session thread each
// work in long stretches instead of waking each other every few packets.
constexpr std::size_t kSendQueueLimit = 1024 * 1024;
// The send ring: the limit, and one more message of the largest size.
constexpr std::size_t kSendRing = kSendQueueLimit + kSessionHeader + kMaxSessionLength;
// A message this large that finds the queue empty is written from the
// caller's own buffer: a copy would cost more than the write saves.
constexpr std::size_t kDirectWrite = 16 * 1024;
// Bytes received and not yet taken by NCBRECV before the session stops
// reading, so a peer cannot fill memory with messages nobody reads. It holds
// the largest message whole, so a message always fits once those before it
// have been taken; and room enough that the session thread goes on reading,
// in large pieces, while a receiver writes out what it took.
constexpr std::size_t kReceiveRing = 1024 * 1024;
static_assert(kReceiveRing >= kSessionHeader + kMaxSessionLength);
// Less room than this left in the ring and the session waits for receivers
// to take some, rather than reading in slivers.
constexpr std::size_t kMinRead = 64 * 1024;
constexpr uint8_t kKeepAlivePacket[kSessionHeader] = {kKeepAlive, 0, 0, 0};
// How often a session with data queued looks whether its peer went silent.
constexpr int kSilenceCheckMs = 1000;

}  // namespace

// One packet of the handshake: header and body, within the time.
std::optional<SessionHeader> ReadPacket(int fd, Bytes* body, int timeoutMs) {
  uint8_t h[kSessionHeader];
  if (!ReadAll(fd, h, sizeof h, timeoutMs)) return std::nullopt;
  auto header = ParseSessionHeader(h);
  if (!header) return std::nullopt;
  body->resize(header->length);
  if (!ReadAll(fd, body->data(), body->size(), timeoutMs)) return std::nullopt;
  return header;
}


void NbtSession::Abort() {
  std::lock_guard lock(mutex_);
  aborted_ = true;
  localClosed_ = true;
  EndLocked();
}

void NbtSession::Queue(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (!sendRing_) sendRing_ = std::make_unique<uint8_t[]>(kSendRing);
  std::size_t pos = static_cast<std::size_t>(queued_ % kSendRing);
  std::size_t first = std::min(bytes.size(), kSendRing - pos);
  std::memcpy(sendRing_.get() + pos, bytes.data(), first);
  std::memcpy(sendRing_.get(), bytes.data() + first, bytes.size() - first);
  queued_ += bytes.size();
}

uint8_t NbtSession::Send(std::span<const uint8_t> data) {
  if (data.size() > kMaxSessionLength) return NRC_BUFLEN;
  uint8_t header[kSessionHeader] = {kSessionMessage, static_cast<uint8_t>(data.size() >> 16 & 0x01),
                                    static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
  std::unique_lock lock(mutex_);
  writers_.Wait(lock, [&] { return Closed() || (!writing_ && queued_ - sent_ < kSendQueueLimit); });
  if (Closed()) return EndCode();
  std::span<const uint8_t> parts[2] = {std::span<const uint8_t>(header), data};
  bool wasEmpty = queued_ == sent_;
  if (wasEmpty && open_ && data.size() >= kDirectWrite) {
    writing_ = true;
    lock.unlock();
    iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(data.data()), data.size()}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n = sendmsg(fd_.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    int error = errno;
    lock.lock();
    writing_ = false;
    writers_.ReleaseAll();
    if (n < 0 && error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
      // The session thread ends the session; this message is lost with it.
      writeFailed_ = true;
      wake_.Signal();
      return NRC_GOODRET;
    }
    // Hung up meanwhile, the session still delivers the rest of a message
    // it took.
    if (peerClosed_) return EndCode();
    std::size_t sent = n > 0 ? static_cast<std::size_t>(n) : 0;
    if (sent > 0) lastSend_ = progress_ = std::chrono::steady_clock::now();
    for (auto& part : parts) {
      std::size_t skip = std::min(sent, part.size());
      part = part.subspan(skip);
      sent -= skip;
    }
  }
  Queue(parts[0]);
  Queue(parts[1]);
  if (wasEmpty && queued_ != sent_) wake_.Signal();
  return NRC_GOODRET;
}

void NbtSession::CopyFromRing(std::uint64_t at, uint8_t* out, std::size_t n) const {
  std::size_t pos = static_cast<std::size_t>(at % kReceiveRing);
  std::size_t first = std::min(n, kReceiveRing - pos);
  std::memcpy(out, ring_.get() + pos, first);
  if (n > first) std::memcpy(out + first, ring_.get(), n - first);
}

uint8_t NbtSession::Receive(UCHAR* buffer, WORD capacity, WORD* received, bool joined) {
  std::unique_lock lock(mutex_);
  *received = 0;
  readers_.Wait(lock, [&] { return !in_.empty() || Closed(); });
  if (in_.empty() || localClosed_) return EndCode();
  std::size_t got = 0;
  uint8_t result = NRC_GOODRET;
  do {
    const InMessage& front = in_.front();
    std::size_t left = front.length - frontOffset_;
    std::size_t n = std::min<std::size_t>(left, capacity - got);
    if (n) CopyFromRing(front.start + frontOffset_, buffer + got, n);
    got += n;
    if (n < left) {
      frontOffset_ += n;
      result = NRC_INCOMP;
      break;
    }
    in_.pop_front();
    frontOffset_ = 0;
    // The ring drops the message and the headers before it.
    released_ = in_.empty() ? parsed_ : in_.front().start;
  } while (joined && !in_.empty() && got < capacity);
  *received = static_cast<WORD>(got);
  // Reading goes on once a good part of the ring is free again, or nothing
  // whole is left in it.
  if (ringFull_ && (received_ - released_ <= kReceiveRing / 2 || in_.empty())) {
    ringFull_ = false;
    wake_.Signal();
  }
  return result;
}

void NbtSession::HangUp() {
  std::lock_guard lock(mutex_);
  if (localClosed_) return;
  localClosed_ = true;
  in_.clear();
  frontOffset_ = 0;
  released_ = parsed_;
  ringFull_ = false;
  readers_.ReleaseAll();
  writers_.ReleaseAll();
  wake_.Signal();
}

void NbtSession::EndLocked() {
  peerClosed_ = true;
  readers_.ReleaseAll();
  writers_.ReleaseAll();
  wake_.Signal();
}

bool NbtSession::Handshake() {
  Bytes body;
  auto h = ReadPacket(fd_.Get(), &body, kHandshakeMs);
  if (!h || h->type != kSessionRequest) return false;
  Name called{}, calling{};
  if (!ParseSessionRequest(body, &called, &calling)) return false;
  {
    std::lock_guard lock(mutex_);
    if (aborted_) return false;
  }
  // The listener may send at once; its messages wait in the queue until
  // the positive response below has gone out.
  uint8_t r = node_->OfferCall(calling, called, self_.lock());
  if (r == NRC_GOODRET) {
    Bytes yes = BuildSessionPacket(kPositiveResponse, {});
    return WriteAll(fd_.Get(), yes, kHandshakeMs);
  }
  bool group = false;
  uint8_t code = r == NRC_REMTFUL                      ? kInsufficientResources
                 : node_->HoldsName(called, &group) ? kNotListeningCalled
                                                      : kCalledNotPresent;
  Bytes no = BuildSessionPacket(kNegativeResponse, std::span<const uint8_t>(&code, 1));
  WriteAll(fd_.Get(), no, kHandshakeMs);
  return false;
}

void NbtSession::Run(bool incoming) {
  bool ok = !incoming || Handshake();
  bool orderly = !ok || Pump();
  std::lock_guard lock(mutex_);
  broken_ = !orderly;
  EndLocked();
  if (broken_)
    ResetConnection(fd_.Get());
  else
    shutdown(fd_.Get(), SHUT_RDWR);
  finished_ = true;
}

ssize_t NbtSession::ReceiveIntoRing(std::size_t room) {
  std::size_t pos = static_cast<std::size_t>(received_ % kReceiveRing);
  std::size_t first = std::min(room, kReceiveRing - pos);
  iovec iov[2] = {{ring_.get() + pos, first}, {ring_.get(), room - first}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = room > first ? 2 : 1;
  ssize_t n = recvmsg(fd_.Get(), &msg, MSG_DONTWAIT);
  if (n > 0) {
    std::lock_guard lock(mutex_);
    received_ += static_cast<std::size_t>(n);
  }
  return n;
}

bool NbtSession::Parse() {
  // The ring from parsed_ on is the session thread's alone until handed over.
  std::uint64_t at = parsed_;
  std::deque<InMessage> got;
  bool ok = true;
  while (received_ - at >= kSessionHeader) {
    uint8_t h[kSessionHeader];
    CopyFromRing(at, h, sizeof h);
    auto header = ParseSessionHeader(h);
    if (!header || (header->type != kSessionMessage && header->type != kKeepAlive)) {
      ok = false;
      break;
    }
    if (received_ - at - kSessionHeader < header->length) break;
    if (header->type == kSessionMessage) got.push_back({at + kSessionHeader, header->length});
    at += kSessionHeader + header->length;
  }
  std::lock_guard lock(mutex_);
  parsed_ = at;
  if (!localClosed_ && !got.empty()) {
    bool wasEmpty = in_.empty();
    if (wasEmpty)
      in_.swap(got);
    else
      in_.insert(in_.end(), got.begin(), got.end());
    readers_.ReleaseAll();
  }
  // Keep-alives, and all that came for a side that hung up, are let go at once.
  if (in_.empty()) released_ = parsed_;
  return ok;
}

bool NbtSession::Flush() {
  std::uint64_t from, to;
  {
    std::lock_guard lock(mutex_);
    if (writing_) return true;
    from = sent_;
    to = queued_;
  }
  if (from == to) return true;
  // The queued bytes stay put while they are written: senders only append
  // after them, and only this thread lets them go.
  std::size_t pos = static_cast<std::size_t>(from % kSendRing);
  std::size_t size = static_cast<std::size_t>(to - from);
  std::size_t first = std::min(size, kSendRing - pos);
  iovec iov[2] = {{sendRing_.get() + pos, first}, {sendRing_.get(), size - first}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = size > first ? 2 : 1;
  ssize_t n = sendmsg(fd_.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  std::lock_guard lock(mutex_);
  sent_ += static_cast<std::size_t>(n);
  writers_.ReleaseAll();
  lastSend_ = progress_ = std::chrono::steady_clock::now();
  return true;
}

bool NbtSession::Pump() {
  NoDelay(fd_.Get());
  WatchPeer(fd_.Get());
  ring_ = std::make_unique<uint8_t[]>(kReceiveRing);
  {
    std::lock_guard lock(mutex_);
    lastSend_ = progress_ = std::chrono::steady_clock::now();
    open_ = true;
  }
  // Looks at a stalled queue at least this often.
  const int checkMs = static_cast<int>(std::clamp<int64_t>(sendStall_.count(), 1, kSilenceCheckMs));
  for (;;) {
    bool pending, hungUp;
    std::size_t room;
    std::chrono::steady_clock::time_point progress, lastSend;
    {
      std::lock_guard lock(mutex_);
      if (aborted_ || peerClosed_) return true;
      if (writeFailed_) return false;
      // A sender writing its own message lets the queue wait until it is done.
      pending = queued_ != sent_ && !writing_;
      hungUp = localClosed_;
      room = kReceiveRing - static_cast<std::size_t>(received_ - released_);
      // With nothing whole left to take, the ring holds at most one partial
      // message and has room for the rest of it.
      ringFull_ = room < kMinRead && !in_.empty();
      if (ringFull_) room = 0;
      if (queued_ == sent_) progress_ = std::chrono::steady_clock::now();
      progress = progress_;
      lastSend = lastSend_;
    }
    // A hung-up session delivers all it queued, however slowly the peer
    // takes it (a slow printer still acknowledges): the end of a job already
    // reported as sent is not dropped. A silent peer ends it, and so does one
    // that takes nothing for the stall limit.
    if (hungUp && !pending) {
      std::lock_guard lock(mutex_);
      if (queued_ == sent_ && !writing_) return true;
    }
    short events = static_cast<short>((room ? POLLIN : 0) | (pending ? POLLOUT : 0));
    // With nothing to wait for on the socket it is left out, so that a
    // hang-up there does not spin the loop while the ring is full.
    pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {events ? fd_.Get() : -1, events, 0}};
    int r = poll(fds, 2, hungUp ? std::min(100, checkMs) : pending ? checkMs : kKeepAliveMs);
    if (r < 0 && errno != EINTR) return false;
    if (r == 0 && pending && PeerSilent(fd_.Get())) return false;
    if (fds[0].revents) wake_.Drain();
    if (room && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      ssize_t n = ReceiveIntoRing(room);
      if (n == 0) return true;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0 && !Parse()) return false;
    }
    if ((fds[1].revents & POLLOUT) && !Flush()) return false;
    if (pending && std::chrono::steady_clock::now() - progress >= sendStall_) {
      std::lock_guard lock(mutex_);
      // A sender's own write may have moved it on meanwhile.
      if (queued_ != sent_ && std::chrono::steady_clock::now() - progress_ >= sendStall_) return false;
    }
    if (r == 0 && !hungUp && std::chrono::steady_clock::now() - lastSend >= std::chrono::milliseconds(kKeepAliveMs)) {
      std::lock_guard lock(mutex_);
      if (queued_ == sent_ && !writing_) Queue(kKeepAlivePacket);
    }
  }
}

}  // namespace plat::nbt
