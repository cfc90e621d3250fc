// The name service of a NetBIOS over TCP/IP broadcast node.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "../host/nbt.h"
#include "nbt_packets.h"
#include "nbt_socket.h"
#include "netbios_transport.h"

namespace plat::nbt {

// Waits of the protocol itself, on real time: a broadcast request is sent
// this many times, this long apart, before silence counts as an answer.
constexpr int kBroadcastTries = 3;
constexpr std::chrono::milliseconds kBroadcastWait{250};

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
  // Incoming packets, one handler per kind.
  void Handle(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleAnswer(const NamePacket& p, uint32_t from);
  void HandleStatusAnswer(const NamePacket& p, uint32_t from);
  void HandleRegistration(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleRelease(const NamePacket& p);
  void HandleQuery(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleStatusQuery(const NamePacket& p, uint32_t from, uint16_t port);
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

// Time to live of the names this node registers and answers for, in
// seconds, as the RFC's default.
constexpr uint32_t kTtl = 300000;

}  // namespace plat::nbt
