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
#include "nbt_name_service.h"
#include "nbt_packets.h"
#include "nbt_socket.h"
#include "netbios_transport.h"

namespace plat::nb {

// The endpoint the next Nbt adapter with this LANA number binds; the
// default endpoint when none was set.
void SetNbtEndpoint(UCHAR lana, const NbtEndpoint& endpoint);
std::unique_ptr<Transport> MakeNbtTransport(const NetbiosAdapterConfig& config, Node* node);

}  // namespace plat::nb

namespace plat::nbt {

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
