// The name service of a NetBIOS over TCP/IP broadcast node.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
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
  // defends it. Claims of several names run side by side, each on its own
  // timing.
  uint8_t Claim(const Name& name, bool group);
  void Release(const Name& name, bool group);
  // Asks the segment who holds `name`. Answers are collected to the end of
  // the wait in which the first one came: a unique name answered from more
  // than one address is a conflict, not an answer (nullopt; the nodes
  // involved get a conflict demand and the log a line).
  // A unique name found so, at one address alone, is verified there for a
  // while (see Verified).
  std::optional<uint32_t> Resolve(const Name& name, bool* group);
  // The address a full query verified for the unique `name` lately, without
  // asking; nullopt when it is not verified.
  std::optional<uint32_t> Verified(const Name& name);
  // Withdraws the verification of `name` at `address` (a call there failed),
  // so that the next Resolve asks the segment.
  void Unverify(const Name& name, uint32_t address);
  // The status of the node at `address`, asked about `name`: its names and
  // hardware address; false when it does not answer in time.
  bool NodeStatus(const Name& name, uint32_t address, std::vector<StatusName>* names, std::array<uint8_t, 6>* mac);
  // The address of a unique name heard about lately, without waiting; when
  // nothing is known, asks the segment so that the answer is known next time.
  std::optional<uint32_t> CachedUnique(const Name& name);
  // Other nodes' names remembered now.
  std::size_t CachedNames();

 private:
  struct Answer {
    bool negative = false;
    bool group = false;
    uint32_t address = 0;
    uint32_t ttl = 0;
    uint32_t from = 0;   // who answered
    Bytes status;        // node status answers: the record's data
  };
  // A question of ours that answers are matched to by transaction id.
  struct Question {
    Name name{};
    // Asked for the cache (CachedUnique): answers are learned as they come,
    // and the question is forgotten at `until`.
    bool background = false;
    bool conflict = false;
    std::chrono::steady_clock::time_point until;
    std::vector<Answer> answers;
  };
  // What we know of another node's name: an answer, or that a question is
  // out (answered false) so that it is not asked again at once.
  struct Known {
    bool answered = false;
    bool group = false;
    uint32_t address = 0;
    // Two nodes answered for the name: it is not resolved until the entry
    // expires, so a rival that outlasts the real holder gets nothing either.
    bool conflict = false;
    // Until then a full query's single answer stands and calls go to
    // `address` without asking. Only Resolve sets it; anything that changes
    // the entry clears it, so no overheard packet can point calls elsewhere.
    std::chrono::steady_clock::time_point verifiedUntil;
    std::chrono::steady_clock::time_point expiry;
    std::list<Name>::iterator used;  // its place in recent_
  };
  struct Owned {
    Name name{};
    bool group = false;
    bool conflict = false;  // demanded away by the segment; no longer ours to use
  };
  // Incoming packets, one handler per kind.
  void Handle(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleAnswer(const NamePacket& p, uint32_t from);
  void HandleStatusAnswer(const NamePacket& p, uint32_t from);
  void HandleRegistration(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleRelease(const NamePacket& p);
  void HandleConflictDemand(const NamePacket& p, uint32_t from);
  void HandleQuery(const NamePacket& p, uint32_t from, uint16_t port);
  void HandleStatusQuery(const NamePacket& p, uint32_t from, uint16_t port);
  void Reply(const NamePacket& p, uint32_t to, uint16_t port);

  // Under mutex_: a new question under a random transaction id no other
  // question of ours has; 0 when too many are out already.
  uint16_t Ask(const Name& name, bool background);
  // The name cache, under mutex_: entries expire at their time to live and
  // the least recently used goes first when the cache is full.
  Known* FindKnown(const Name& name);
  void Remember(const Name& name, bool answered, bool group, uint32_t address,
                std::chrono::steady_clock::duration lifetime);
  void Learn(const Name& name, bool group, uint32_t address, uint32_t ttl);
  void RememberConflict(const Name& name);
  void Forget(std::map<Name, Known>::iterator it);
  // Positive answers to one question from more than one address, one of
  // them for a unique name: every address involved (those the answers give
  // and those that sent them); empty when there is no conflict.
  static std::vector<uint32_t> Conflict(const std::vector<Answer>& answers);
  // Tells the nodes at `addresses` that they answer for one unique name and
  // logs it; without mutex_.
  void ReportConflict(const Name& name, const std::vector<uint32_t>& addresses);

  const NbtEndpoint ep_;
  const std::array<uint8_t, 6> mac_;
  nb::Node* node_;
  UdpSocket unicast_, broadcast_;
  std::mutex mutex_;
  std::condition_variable answered_;
  std::map<uint16_t, Question> pending_;
  std::map<Name, Known> known_;
  std::list<Name> recent_;  // known_'s names, most recently used first
  std::vector<Owned> owned_;
};

// A random transaction id from the system's source, so that nobody can
// answer a question of ours before hearing it.
uint16_t RandomId();

// A line for the log, with the name shown safely.
void LogLine(const std::string& line);
std::string PrintableName(const Name& name);
std::string DottedAddress(uint32_t address);

// Time to live of the names this node registers and answers for, in
// seconds, as the RFC's default.
constexpr uint32_t kTtl = 300000;

}  // namespace plat::nbt
