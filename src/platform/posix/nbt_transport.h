// Inside the NetBIOS service: the NetBIOS over TCP/IP transport and its three
// services (names, datagrams, sessions), each running its own receive thread.
#pragma once

#include <atomic>
#include <chrono>
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

Fd OpenUdp(uint32_t address, uint16_t port, bool shared);
bool SendUdp(int fd, std::span<const uint8_t> packet, uint32_t address, uint16_t port);
// Receives one packet; false when nothing is waiting.
bool ReceiveUdp(int fd, Bytes* packet, uint32_t* address, uint16_t* port);

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
  // The address of a unique name heard about lately, without waiting; when
  // nothing is known, asks the segment so that the answer is known next time.
  std::optional<uint32_t> CachedUnique(const Name& name);

 private:
  struct Answer {
    bool negative = false;
    bool group = false;
    uint32_t address = 0;
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
  Fd unicast_, broadcast_;
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

 private:
  struct Partial {
    Name source{}, destination{};
    Bytes data;
    std::chrono::steady_clock::time_point started;
  };
  void Handle(DatagramPacket p, uint32_t from, uint16_t port);

  const NbtEndpoint ep_;
  nb::Node* node_;
  Fd unicast_, broadcast_;
  std::atomic<uint16_t> nextId_;
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

  const NbtEndpoint ep_;
  nb::Node* node_;
  Fd listener_;
  std::mutex mutex_;
  bool closed_ = false;
  std::list<std::shared_ptr<NbtSession>> sessions_;
};

}  // namespace plat::nbt
