// Inside the NetBIOS service: the NetBIOS over TCP/IP transport and its three
// services (names, datagrams, sessions), each running its own receive thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <thread>

#include "../host/nbt.h"
#include "nbt_packets.h"
#include "netbios_transport.h"

namespace plat::nb {

// The endpoint the next Nbt adapter with this LANA number binds; the
// default endpoint when none was set.
void SetNbtEndpoint(UCHAR lana, const NbtEndpoint& endpoint);
std::unique_ptr<Transport> MakeNbtTransport(const NetbiosAdapterConfig& config, Node* node);

}  // namespace plat::nb

namespace plat::nbt {

// Waits of the protocol itself, on real time: a broadcast request is sent
// this many times, this long apart, before silence counts as an answer.
constexpr int kBroadcastTries = 3;
constexpr std::chrono::milliseconds kBroadcastWait{250};

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

class NameService {
 public:
  NameService(const NbtEndpoint& ep, const std::array<uint8_t, 6>& mac, nb::Node* node);
  bool Open();
  void Run(int stopFd);

  // Registers a name on the segment: NRC_GOODRET, or NRC_INUSE when a node
  // defends it.
  uint8_t Claim(const Name& name, bool group);
  void Release(const Name& name, bool group);
  // Asks the segment who holds `name`; waits for the first answer.
  std::optional<uint32_t> Resolve(const Name& name, bool* group);
  // The status of the node at `address`, asked about `name`: its names and
  // hardware address; false when it does not answer in time.
  bool NodeStatus(const Name& name, uint32_t address, std::vector<StatusName>* names, std::array<uint8_t, 6>* mac);
  // The address of a unique name heard about lately, without waiting; when
  // nothing is known, asks the segment so that the answer is known next time.
  std::optional<uint32_t> CachedUnique(const Name& name);

 private:
  struct Answer {
    bool negative = false;
    bool group = false;
    uint32_t address = 0;
    Name name{};         // the name the answer is about
    uint32_t from = 0;   // who answered
    Bytes status;        // node status answers: the record's data
  };
  struct Known {
    bool answered = false;
    bool group = false;
    uint32_t address = 0;
    std::chrono::steady_clock::time_point expiry;
  };
  void Handle(const NamePacket& p, uint32_t from, uint16_t port);
  void Learn(const Name& name, bool group, uint32_t address);
  void Reply(const NamePacket& p, uint32_t to, uint16_t port);
  uint16_t NextId();

  const NbtEndpoint ep_;
  const std::array<uint8_t, 6> mac_;
  nb::Node* node_;
  UdpSocket unicast_, broadcast_;
  std::mutex mutex_;
  std::condition_variable answered_;
  std::atomic<uint16_t> nextId_;
  std::map<uint16_t, std::vector<Answer>> pending_;
  std::map<Name, Known> known_;
  std::vector<std::pair<Name, bool>> owned_;
};

class DatagramService {
 public:
  DatagramService(const NbtEndpoint& ep, nb::Node* node);
  bool Open();
  void Run(int stopFd);
  // To `unique` when the destination is a unique name at that address, else
  // to the broadcast address as a group datagram.
  uint8_t Send(const Name& from, const Name& to, std::span<const uint8_t> data, std::optional<uint32_t> unique);
  void SetDrop(NbtDatagramFilter drop);

 private:
  struct Partial {
    Name source{}, destination{};
    Bytes data;
    std::chrono::steady_clock::time_point started;
  };
  void Handle(DatagramPacket p, uint32_t from, uint16_t port);

  const NbtEndpoint ep_;
  nb::Node* node_;
  UdpSocket unicast_, broadcast_;
  std::atomic<uint16_t> nextId_;
  std::mutex dropMutex_;
  NbtDatagramFilter drop_;
  std::map<std::tuple<uint32_t, uint16_t, uint16_t>, Partial> partials_;  // receive thread only
};

class NbtSession;

class SessionService {
 public:
  SessionService(const NbtEndpoint& ep, nb::Node* node);
  ~SessionService();
  bool Open();
  void Run(int stopFd);
  uint8_t Call(const Name& from, const Name& to, uint32_t address, std::shared_ptr<nb::Channel>* channel);
  // Ends every session and joins its thread; no session starts afterwards.
  void CloseAll();

 private:
  void Adopt(std::shared_ptr<NbtSession> s);
  void Reap();

  const NbtEndpoint ep_;
  nb::Node* node_;
  Fd listener_;
  std::mutex mutex_;
  bool closed_ = false;
  std::list<std::shared_ptr<NbtSession>> sessions_;
};

}  // namespace plat::nbt
