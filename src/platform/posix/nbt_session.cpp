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
// Bytes a sender may have queued before NCBSEND waits for the connection.
constexpr std::size_t kSendQueueLimit = 256 * 1024;
// Bytes received and not yet taken by NCBRECV before the session stops
// reading, so a peer cannot fill memory with messages nobody reads.
constexpr std::size_t kReceiveQueueLimit = 256 * 1024;
// How often a session with data queued looks whether its peer went silent.
constexpr int kSilenceCheckMs = 1000;
constexpr int kMaxIov = 64;

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

uint8_t NbtSession::Send(std::span<const uint8_t> data) {
  if (data.size() > kMaxSessionLength) return NRC_BUFLEN;
  std::unique_lock lock(mutex_);
  writers_.Wait(lock, [&] { return Closed() || outBytes_ < kSendQueueLimit; });
  if (Closed()) return EndCode();
  Bytes packet;
  packet.reserve(kSessionHeader + data.size());
  AppendSessionHeader(kSessionMessage, data.size(), packet);
  packet.insert(packet.end(), data.begin(), data.end());
  bool wasEmpty = out_.empty();
  outBytes_ += packet.size();
  out_.push_back(std::move(packet));
  if (wasEmpty) wake_.Signal();
  return NRC_GOODRET;
}

uint8_t NbtSession::Receive(UCHAR* buffer, WORD capacity, WORD* received) {
  std::unique_lock lock(mutex_);
  *received = 0;
  readers_.Wait(lock, [&] { return !in_.empty() || Closed(); });
  if (in_.empty() || localClosed_) return EndCode();
  const Bytes& front = in_.front();
  std::size_t left = front.size() - frontOffset_;
  std::size_t n = std::min<std::size_t>(left, capacity);
  if (n) std::memcpy(buffer, front.data() + frontOffset_, n);
  *received = static_cast<WORD>(n);
  if (n < left) {
    frontOffset_ += n;
    return NRC_INCOMP;
  }
  bool wasFull = inBytes_ >= kReceiveQueueLimit;
  inBytes_ -= front.size();
  in_.pop_front();
  frontOffset_ = 0;
  if (wasFull && inBytes_ < kReceiveQueueLimit) wake_.Signal();  // reading may go on
  return NRC_GOODRET;
}

void NbtSession::HangUp() {
  std::lock_guard lock(mutex_);
  if (localClosed_) return;
  localClosed_ = true;
  in_.clear();
  inBytes_ = 0;
  frontOffset_ = 0;
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

bool NbtSession::Parse() {
  std::size_t pos = 0;
  // The messages of one read are copied out without the lock and handed
  // over together, so the reader is not contended once per message.
  std::deque<Bytes> got;
  std::size_t gotBytes = 0;
  bool ok = true;
  while (rx_.size() - pos >= kSessionHeader) {
    auto h = ParseSessionHeader(std::span(rx_).subspan(pos, kSessionHeader));
    if (!h || (h->type != kSessionMessage && h->type != kKeepAlive)) {
      ok = false;
      break;
    }
    if (rx_.size() - pos - kSessionHeader < h->length) break;
    if (h->type == kSessionMessage) {
      auto begin = rx_.begin() + static_cast<std::ptrdiff_t>(pos + kSessionHeader);
      got.emplace_back(begin, begin + static_cast<std::ptrdiff_t>(h->length));
      gotBytes += h->length;
    }
    pos += kSessionHeader + h->length;
  }
  if (!got.empty()) {
    std::lock_guard lock(mutex_);
    if (!localClosed_) {
      for (Bytes& m : got) in_.push_back(std::move(m));
      inBytes_ += gotBytes;
    }
    readers_.ReleaseAll();
  }
  if (!ok) return false;
  rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(pos));
  return true;
}

bool NbtSession::Flush() {
  iovec iov[kMaxIov];
  int count = 0;
  {
    std::lock_guard lock(mutex_);
    std::size_t skip = sentOffset_;
    for (auto it = out_.begin(); it != out_.end() && count < kMaxIov; ++it, skip = 0) {
      iov[count].iov_base = it->data() + skip;
      iov[count].iov_len = it->size() - skip;
      ++count;
    }
  }
  if (count == 0) return true;
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = static_cast<std::size_t>(count);
  ssize_t n = sendmsg(fd_.Get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  std::lock_guard lock(mutex_);
  std::size_t sent = static_cast<std::size_t>(n);
  while (sent > 0) {
    std::size_t left = out_.front().size() - sentOffset_;
    if (sent < left) {
      sentOffset_ += sent;
      break;
    }
    sent -= left;
    outBytes_ -= out_.front().size();
    out_.pop_front();
    sentOffset_ = 0;
  }
  writers_.ReleaseAll();
  lastSend_ = progress_ = std::chrono::steady_clock::now();
  return true;
}

bool NbtSession::Pump() {
  NoDelay(fd_.Get());
  WatchPeer(fd_.Get());
  lastSend_ = progress_ = std::chrono::steady_clock::now();
  // Looks at a stalled queue at least this often.
  const int checkMs = static_cast<int>(std::clamp<int64_t>(sendStall_.count(), 1, kSilenceCheckMs));
  uint8_t buffer[65536];
  for (;;) {
    bool pending, hungUp, room;
    {
      std::lock_guard lock(mutex_);
      if (aborted_ || peerClosed_) return true;
      pending = !out_.empty();
      hungUp = localClosed_;
      room = inBytes_ < kReceiveQueueLimit;
    }
    // A hung-up session delivers all it queued, however slowly the peer
    // takes it (a slow printer still acknowledges): the end of a job already
    // reported as sent is not dropped. A silent peer ends it, and so does one
    // that takes nothing for the stall limit.
    if (hungUp && !pending) return true;
    if (!pending) progress_ = std::chrono::steady_clock::now();
    short events = static_cast<short>((room ? POLLIN : 0) | (pending ? POLLOUT : 0));
    pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {fd_.Get(), events, 0}};
    int r = poll(fds, 2, hungUp ? std::min(100, checkMs) : pending ? checkMs : kKeepAliveMs);
    if (r < 0 && errno != EINTR) return false;
    if (r == 0 && pending && PeerSilent(fd_.Get())) return false;
    if (fds[0].revents) wake_.Drain();
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = recv(fd_.Get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n == 0) return true;
      if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
      if (n > 0) {
        rx_.insert(rx_.end(), buffer, buffer + n);
        if (!Parse()) return false;
      }
    }
    if ((fds[1].revents & POLLOUT) && !Flush()) return false;
    if (pending && std::chrono::steady_clock::now() - progress_ >= sendStall_) return false;
    if (r == 0 && !hungUp && std::chrono::steady_clock::now() - lastSend_ >= std::chrono::milliseconds(kKeepAliveMs)) {
      std::lock_guard lock(mutex_);
      if (out_.empty()) {
        Bytes alive;
        AppendSessionHeader(kKeepAlive, 0, alive);
        outBytes_ += alive.size();
        out_.push_back(std::move(alive));
      }
    }
  }
}

}  // namespace plat::nbt
