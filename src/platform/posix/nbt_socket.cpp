// Socket helpers of the NetBIOS over TCP/IP transport: owned descriptors, a
// poll wakeup, and UDP sockets bound to a node's unicast or broadcast address,
// which count the packets in flight between nodes of this process.
#include <arpa/inet.h>
#include <netinet/in.h>
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

}  // namespace plat::nbt
