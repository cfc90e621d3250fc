// Socket helpers of the NetBIOS over TCP/IP transport: owned descriptors, a
// poll wakeup, UDP sockets that count the packets in flight between nodes of
// this process, and the bounded blocking steps of a TCP exchange.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <span>

#include "nbt_packets.h"

namespace plat::nbt {

// A socket descriptor closed on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& o) noexcept : fd_(o.Release()) {}
  Fd& operator=(Fd&& o) noexcept;
  ~Fd();
  int Get() const { return fd_; }
  int Release() { int f = fd_; fd_ = -1; return f; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// An eventfd that wakes a poll loop.
class Wakeup {
 public:
  Wakeup();
  void Signal();
  void Drain();
  int Get() const { return fd_.Get(); }

 private:
  Fd fd_;
};

// A UDP socket bound to one address and port. A packet that a node of this
// process sends to it counts as in flight (one NetBIOS waiter less, see
// plat::NetbiosWaiterCount) until its service has handled it, so that "every
// thread waits" does not hold while a datagram is still on its way to a
// waiting receive. Packets still unread when the socket closes stop counting.
class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;
  // Several nodes on one machine bind the same broadcast address and port,
  // so a shared socket allows that.
  bool Open(uint32_t address, uint16_t port, bool shared);
  // Asks the kernel to hold up to this many bytes of unread packets (it may
  // grant less, up to its own maximum).
  void SetReceiveBuffer(int bytes);
  int Get() const { return fd_.Get(); }
  explicit operator bool() const { return static_cast<bool>(fd_); }
  // Receives one packet; false when nothing is waiting.
  bool Receive(Bytes* packet, uint32_t* address, uint16_t* port);
  // The packet that Receive returned last has been dealt with.
  void Handled();

 private:
  void Close();
  Fd fd_;
  uint32_t address_ = 0;
  uint16_t port_ = 0;
  int inFlight_ = 0;  // guarded by the registry's mutex
  friend bool SendUdp(int fd, std::span<const uint8_t> packet, uint32_t address, uint16_t port);
};

// Sends from `fd`; false when the packet did not leave whole.
bool SendUdp(int fd, std::span<const uint8_t> packet, uint32_t address, uint16_t port);

// An IPv4 socket address from host-order parts.
sockaddr_in SocketAddress(uint32_t address, uint16_t port);

// Serves a service's unicast and broadcast sockets until `stopFd` is
// readable: every packet that is not the node's own broadcast coming back
// (sent from `ownAddress`:`ownPort`) goes to `handle`.
void ServeUdp(int stopFd, UdpSocket& unicast, UdpSocket& broadcast, uint32_t ownAddress, uint16_t ownPort,
              const std::function<void(const Bytes&, uint32_t, uint16_t)>& handle);

// ---- TCP.

// Sends each write at once: session messages are whole already.
void NoDelay(int fd);
// Lets the system probe an idle connection, so that a vanished peer shows.
void WatchPeer(int fd);
// True when data or window probes have gone unacknowledged for too long:
// the peer's host is gone.
bool PeerSilent(int fd);
// Ends a connection with a reset rather than an orderly close.
void ResetConnection(int fd);
// Connects within the time; false when that fails or takes longer.
bool ConnectWithin(int fd, const sockaddr_in& to, int timeoutMs);
// All of `data`, or all `size` bytes into `out`, each step within the time.
bool WriteAll(int fd, std::span<const uint8_t> data, int timeoutMs);
bool ReadAll(int fd, uint8_t* out, std::size_t size, int timeoutMs);

}  // namespace plat::nbt
