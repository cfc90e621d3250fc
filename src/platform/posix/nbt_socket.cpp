// Socket helpers of the NetBIOS over TCP/IP transport: owned descriptors, a
// poll wakeup, UDP sockets bound to a node's unicast or broadcast address,
// which count the packets in flight between nodes of this process, and the
// steps of a TCP exchange.
#include "nbt_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "nbt_transport.h"

namespace plat::nbt {

Fd& Fd::operator=(Fd&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) close(fd_);
    fd_ = o.Release();
  }
  return *this;
}

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

Wakeup::Wakeup() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

void Wakeup::Signal() {
  uint64_t one = 1;
  ssize_t r = write(fd_.Get(), &one, sizeof one);
  (void)r;  // a full counter already wakes the loop
}

void Wakeup::Drain() {
  uint64_t value;
  ssize_t r = read(fd_.Get(), &value, sizeof value);
  (void)r;  // nothing to drain is fine
}

namespace {

// The UDP sockets of this process's nodes, for counting packets in flight
// between them.
std::mutex g_socketsMutex;
std::vector<UdpSocket*> g_sockets;

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

void UdpSocket::Close() {
  int unread = 0;
  {
    std::lock_guard lock(g_socketsMutex);
    std::erase(g_sockets, this);
    unread = std::exchange(inFlight_, 0);
  }
  if (unread) nb::AddWaiters(unread);
  fd_ = Fd();
}

bool UdpSocket::Open(uint32_t address, uint16_t port, bool shared) {
  Close();
  Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return false;
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  if (shared) {
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  }
  sockaddr_in sa = SocketAddress(address, port);
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
  fd_ = std::move(fd);
  address_ = address;
  port_ = port;
  std::lock_guard lock(g_socketsMutex);
  g_sockets.push_back(this);
  return true;
}

void UdpSocket::SetReceiveBuffer(int bytes) {
  // Deliberately unchecked: a smaller buffer still works, it only loses more
  // of a burst.
  setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

bool UdpSocket::Receive(Bytes* packet, uint32_t* address, uint16_t* port) {
  packet->resize(65536);
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ssize_t n = recvfrom(fd_.Get(), packet->data(), packet->size(), 0, reinterpret_cast<sockaddr*>(&sa), &len);
  if (n < 0) return false;
  packet->resize(static_cast<std::size_t>(n));
  *address = ntohl(sa.sin_addr.s_addr);
  *port = ntohs(sa.sin_port);
  return true;
}

void UdpSocket::Handled() {
  {
    std::lock_guard lock(g_socketsMutex);
    // A packet from outside the process was never counted.
    if (inFlight_ == 0) return;
    --inFlight_;
  }
  nb::AddWaiters(1);
}

bool SendUdp(int fd, std::span<const uint8_t> packet, uint32_t address, uint16_t port) {
  if (address == 0xFFFFFFFF) return false;  // never the limited broadcast
  sockaddr_in sa = SocketAddress(address, port);
  // Counted before the packet leaves, so that no receiver can handle it
  // before it counts; uncounted again if it does not leave.
  std::lock_guard lock(g_socketsMutex);
  std::vector<UdpSocket*> receivers;
  for (UdpSocket* s : g_sockets)
    if (s->address_ == address && s->port_ == port) receivers.push_back(s);
  for (UdpSocket* s : receivers) ++s->inFlight_;
  nb::AddWaiters(-static_cast<int>(receivers.size()));
  ssize_t n;
  do {
    n = sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (n < 0 && errno == EINTR);
  bool sent = n == static_cast<ssize_t>(packet.size());
  if (!sent) {
    for (UdpSocket* s : receivers) --s->inFlight_;
    nb::AddWaiters(static_cast<int>(receivers.size()));
  }
  return sent;
}

sockaddr_in SocketAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  return sa;
}

void ServeUdp(int stopFd, UdpSocket& unicast, UdpSocket& broadcast, uint32_t ownAddress, uint16_t ownPort,
              const std::function<void(const Bytes&, uint32_t, uint16_t)>& handle) {
  pollfd fds[3] = {{stopFd, POLLIN, 0}, {unicast.Get(), POLLIN, 0}, {broadcast.Get(), POLLIN, 0}};
  UdpSocket* sockets[3] = {nullptr, &unicast, &broadcast};
  Bytes packet;
  for (;;) {
    if (poll(fds, 3, -1) < 0) continue;
    if (fds[0].revents) return;
    for (int i = 1; i < 3; ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      uint32_t from;
      uint16_t port;
      while (sockets[i]->Receive(&packet, &from, &port)) {
        // Our own broadcasts come back; they are not for us.
        if (from != ownAddress || port != ownPort) handle(packet, from, port);
        sockets[i]->Handled();
      }
    }
  }
}

void NoDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A peer whose host vanishes says nothing: what we queued stays unacknowledged
// and a full queue would hold NCBSEND for the system's quarter of an hour of
// retransmissions. A session whose data or window probes have gone this long
// without any acknowledgement is given up (NRC_SABORT). A peer that is there
// but reads slowly still acknowledges the probes; only the session's stall
// limit ends it if it takes nothing at all. An idle session is probed.
constexpr uint32_t kSilentPeerMs = 30000;
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

}  // namespace plat::nbt
