// The session service of NetBIOS over TCP/IP: the listener that takes calls,
// the calls this node makes, and the sessions of both.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include "nbt_session.h"
#include "nbt_transport.h"

namespace plat::nbt {
namespace {

// Connections served at once; an adapter holds at most 254 sessions.
constexpr std::size_t kMaxConnections = 256;

}  // namespace

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
    auto s = std::make_shared<NbtSession>(std::move(conn), node_, ep_.sendStall);
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
  auto s = std::make_shared<NbtSession>(std::move(fd), node_, ep_.sendStall);
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
