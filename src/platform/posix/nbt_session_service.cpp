// The session service of NetBIOS over TCP/IP: session requests and their
// answers, and each session's messages on its own TCP connection, sent by a
// thread that lets queued messages share one write.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "nbt_transport.h"

namespace plat::nbt {
namespace {

// Answers to a session request come at once or not at all.
constexpr int kHandshakeMs = 5000;
// An idle session sends a keep-alive this often, so a dead peer shows.
constexpr int kKeepAliveMs = 60000;
// Bytes a sender may have queued before NCBSEND waits for the connection.
constexpr std::size_t kSendQueueLimit = 256 * 1024;
// Bytes received and not yet taken by NCBRECV before the session stops
// reading, so a peer cannot fill memory with messages nobody reads.
constexpr std::size_t kReceiveQueueLimit = 256 * 1024;
// Connections served at once; an adapter holds at most 254 sessions.
constexpr std::size_t kMaxConnections = 256;
constexpr int kMaxIov = 64;

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A peer whose host vanishes says nothing: what we queued stays unacknowledged
// and a full queue would hold NCBSEND for the system's quarter of an hour of
// retransmissions. A session whose data or window probes have gone this long
// without any acknowledgement is given up (NRC_SABORT). A peer that is there
// but reads slowly, a printer that stalls, still acknowledges the probes and
// keeps its session however long it takes; an idle session is probed.
constexpr uint32_t kSilentPeerMs = 30000;
constexpr int kSilenceCheckMs = 1000;
constexpr int kProbeIdleS = 30, kProbeIntervalS = 5, kProbes = 3;

void WatchPeer(int fd) {
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kProbeIdleS, sizeof kProbeIdleS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kProbeIntervalS, sizeof kProbeIntervalS);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kProbes, sizeof kProbes);
}

bool PeerSilent(int fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
  return (info.tcpi_retransmits > 0 || info.tcpi_probes > 0) && info.tcpi_last_ack_recv > kSilentPeerMs;
}

// Ends a failed connection with a reset. Closed in order, the system would
// go on sending what is still queued (the rest of a job already reported as
// failed) once the peer can be reached again, and would answer its
// keep-alives meanwhile, so the peer would hold its end of the session.
// Connecting to AF_UNSPEC aborts a TCP connection and keeps the descriptor.
void ResetConnection(int fd) {
  sockaddr unspec{};
  unspec.sa_family = AF_UNSPEC;
  if (connect(fd, &unspec, sizeof unspec) != 0) {
    // Not connected any more: nothing to reset.
  }
}

// Connects within the time; a host that is gone would otherwise hold the
// call for the system's two minutes of retries.
bool ConnectWithin(int fd, const sockaddr_in& to, int timeoutMs) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return false;
  int r = connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  if (r != 0 && errno != EINPROGRESS) return false;
  if (r != 0) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    int error = 0;
    socklen_t len = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0) return false;
  }
  return fcntl(fd, F_SETFL, flags) == 0;
}

// Blocking exchange before a session starts: all of `data` within the time.
bool WriteAll(int fd, std::span<const uint8_t> data, int timeoutMs) {
  std::size_t done = 0;
  while (done < data.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, uint8_t* out, std::size_t size, int timeoutMs) {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = recv(fd, out + done, size - done, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

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

}  // namespace

// One session's connection. The session thread owns the socket's reads and
// writes; callers queue and take messages under the mutex.
class NbtSession : public nb::Channel {
 public:
  NbtSession(Fd fd, nb::Node* node) : fd_(std::move(fd)), node_(node) {}
  ~NbtSession() override = default;

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
  void Abort() {
    std::lock_guard lock(mutex_);
    aborted_ = true;
    localClosed_ = true;
    EndLocked();
  }

  uint8_t Send(std::span<const uint8_t> data) override {
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

  uint8_t Receive(UCHAR* buffer, WORD capacity, WORD* received) override {
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

  void HangUp() override {
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

 private:
  bool Closed() const { return localClosed_ || peerClosed_; }
  // A peer's hang-up closes the session; a connection that failed (reset,
  // or nothing acknowledged in time) aborts it.
  uint8_t EndCode() const { return broken_ && !localClosed_ ? NRC_SABORT : NRC_SCLOSED; }
  // The connection is over; what the peer sent before stays readable.
  void EndLocked() {
    peerClosed_ = true;
    readers_.ReleaseAll();
    writers_.ReleaseAll();
    wake_.Signal();
  }

  bool Handshake() {
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

  void Run(bool incoming) {
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

  // Takes complete packets out of rx_; false on a packet no session carries.
  bool Parse() {
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

  // Writes as much of the queue as the socket takes in one call.
  bool Flush() {
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
    lastSend_ = std::chrono::steady_clock::now();
    return true;
  }

  // Moves data until the session ends; false when the connection failed
  // rather than ended.
  bool Pump() {
    NoDelay(fd_.Get());
    WatchPeer(fd_.Get());
    lastSend_ = std::chrono::steady_clock::now();
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
      // takes it (a slow or stalled printer still acknowledges): the end of
      // a job already reported as sent is not dropped. A silent peer ends it.
      if (hungUp && !pending) return true;
      short events = static_cast<short>((room ? POLLIN : 0) | (pending ? POLLOUT : 0));
      pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {fd_.Get(), events, 0}};
      int r = poll(fds, 2, hungUp ? 100 : pending ? kSilenceCheckMs : kKeepAliveMs);
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

  friend class SessionService;
  Fd fd_;
  nb::Node* node_;
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
  std::size_t inBytes_ = 0;  // of the messages in in_
  bool localClosed_ = false, peerClosed_ = false, aborted_ = false, finished_ = false, broken_ = false;
  nb::WaitList readers_, writers_;
};

SessionService::SessionService(const NbtEndpoint& ep, nb::Node* node) : ep_(ep), node_(node) {}

SessionService::~SessionService() { CloseAll(); }

bool SessionService::Open() {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = SocketAddress(ep_.address, ep_.sessionPort);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd.Get(), 16) != 0) return false;
  listener_ = std::move(fd);
  return true;
}

void SessionService::Adopt(std::shared_ptr<NbtSession> s) {
  Reap();
  sessions_.push_back(std::move(s));
}

void SessionService::Reap() {
  // Under mutex_: joins sessions that have ended, so threads do not pile up.
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if ((*it)->Finished()) {
      (*it)->Join();
      it = sessions_.erase(it);
    } else {
      ++it;
    }
  }
}

void SessionService::Run(int stopFd) {
  pollfd fds[2] = {{stopFd, POLLIN, 0}, {listener_.Get(), POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;
    if (fds[0].revents) return;
    if (!(fds[1].revents & POLLIN)) continue;
    Fd conn(accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) continue;
    auto s = std::make_shared<NbtSession>(std::move(conn), node_);
    s->self_ = s;
    std::lock_guard lock(mutex_);
    if (closed_) return;
    Reap();
    if (sessions_.size() >= kMaxConnections) continue;  // closed unserved
    s->Start(true);
    Adopt(std::move(s));
  }
}

uint8_t SessionService::Call(const Name& from, const Name& to, uint32_t address,
                             std::shared_ptr<nb::Channel>* channel) {
  Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return NRC_NORES;
  // From our own address, so the peer sees which node calls.
  sockaddr_in local = SocketAddress(ep_.address, 0);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return NRC_NORES;
  sockaddr_in sa = SocketAddress(address, ep_.sessionPort);
  if (!ConnectWithin(fd.Get(), sa, kHandshakeMs)) return NRC_NOCALL;
  Bytes request = BuildSessionRequest(to, from);
  Bytes body;
  if (!WriteAll(fd.Get(), request, kHandshakeMs)) return NRC_NOCALL;
  auto h = ReadPacket(fd.Get(), &body, kHandshakeMs);
  if (!h) return NRC_NOCALL;
  if (h->type == kNegativeResponse) return body[0] == kInsufficientResources ? NRC_REMTFUL : NRC_NOCALL;
  // A retarget would send us elsewhere; this node does not follow one.
  if (h->type != kPositiveResponse) return NRC_NOCALL;
  auto s = std::make_shared<NbtSession>(std::move(fd), node_);
  s->self_ = s;
  std::lock_guard lock(mutex_);
  if (closed_) return NRC_BRIDGE;
  s->Start(false);
  Adopt(s);
  *channel = std::move(s);
  return NRC_GOODRET;
}

void SessionService::CloseAll() {
  std::list<std::shared_ptr<NbtSession>> sessions;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    sessions.swap(sessions_);
  }
  for (auto& s : sessions) {
    s->Abort();
    shutdown(s->fd_.Get(), SHUT_RDWR);
  }
  for (auto& s : sessions) s->Join();
}

}  // namespace plat::nbt
