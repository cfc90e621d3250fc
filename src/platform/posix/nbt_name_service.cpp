// The name service of a NetBIOS over TCP/IP broadcast node: registration with
// conflict detection, defence of our names, release, queries and node status.
#include <poll.h>

#include <algorithm>
#include <random>

#include "nbt_transport.h"

namespace plat::nbt {
namespace {

constexpr uint32_t kTtl = 300000;  // seconds, as the RFC's default
// How long an answer about someone else's name is believed, and how long a
// question nobody answered keeps us from asking again.
constexpr auto kKnownFor = std::chrono::seconds(60);
constexpr auto kUnansweredFor = std::chrono::seconds(5);
constexpr uint16_t kNameActive = 0x0400;

}  // namespace

NameService::NameService(const NbtEndpoint& ep, const std::array<uint8_t, 6>& mac, nb::Node* node)
    : ep_(ep), mac_(mac), node_(node), nextId_(static_cast<uint16_t>(std::random_device{}())) {}

bool NameService::Open() {
  return unicast_.Open(ep_.address, ep_.nameServicePort, true) && broadcast_.Open(ep_.broadcast, ep_.nameServicePort, true);
}

uint16_t NameService::NextId() { return ++nextId_; }

void NameService::Run(int stopFd) {
  ServeUdp(stopFd, unicast_, broadcast_, ep_.address, ep_.nameServicePort,
           [this](const Bytes& packet, uint32_t from, uint16_t port) {
             if (auto p = ParseNamePacket(packet)) Handle(*p, from, port);
           });
}

void NameService::Reply(const NamePacket& p, uint32_t to, uint16_t port) {
  Bytes wire = BuildNamePacket(p);
  SendUdp(unicast_.Get(), wire, to, port);
}

void NameService::Learn(const Name& name, bool group, uint32_t address) {
  known_[name] = {true, group, address, std::chrono::steady_clock::now() + kKnownFor};
}

void NameService::Handle(const NamePacket& p, uint32_t from, uint16_t port) {
  if (p.response) {
    if (!p.record) return;
    Answer a;
    a.from = from;
    a.negative = p.rcode != kRcodeOk;
    if (p.record->type == kTypeNbstat) {
      // Checked by whoever asked, against the address it asked.
      if (a.negative || p.opcode != kOpQuery) return;
      a.status = p.record->data;
      std::lock_guard lock(mutex_);
      auto it = pending_.find(p.id);
      if (it != pending_.end()) {
        it->second.push_back(std::move(a));
        answered_.notify_all();
      }
      return;
    }
    if (p.record->type != kTypeNb) return;
    a.name = p.record->name;
    if (!ParseNbData(p.record->data, &a.group, &a.address)) {
      if (!a.negative) return;
    }
    std::lock_guard lock(mutex_);
    auto it = pending_.find(p.id);
    if (!a.negative && p.opcode == kOpQuery) {
      // Only answers about a name this node is asking about; others could
      // point our datagrams anywhere.
      auto asked = known_.find(p.record->name);
      if (asked != known_.end() && !asked->second.answered) Learn(p.record->name, a.group, a.address);
    }
    if (it != pending_.end()) {
      it->second.push_back(a);
      answered_.notify_all();
    }
    return;
  }
  switch (p.opcode) {
    case kOpRegistration:
    case kOpRefresh: {
      if (!p.record) return;
      bool group = false;
      uint32_t address = 0;
      if (!ParseNbData(p.record->data, &group, &address)) return;
      const Name& name = p.record->name;
      bool heldAsGroup = false;
      bool held = node_->HoldsName(name, &heldAsGroup);
      // A demand (no recursion wanted) is not challenged; a request for a
      // name we hold uniquely, or for a unique name we hold as a group, is.
      if (held && (p.flags & kFlagRd) && (!heldAsGroup || !group)) {
        NamePacket no;
        no.id = p.id;
        no.response = true;
        no.opcode = kOpRegistration;
        no.flags = kFlagAa | kFlagRd | kFlagRa;
        no.rcode = kRcodeAct;
        no.record = NameRecord{name, kTypeNb, 0, NbData(heldAsGroup, ep_.address)};
        Reply(no, from, port);
        return;
      }
      std::lock_guard lock(mutex_);
      Learn(name, group, address);
      return;
    }
    case kOpRelease: {
      if (!p.record) return;
      bool group = false;
      uint32_t address = 0;
      if (!ParseNbData(p.record->data, &group, &address)) return;
      std::lock_guard lock(mutex_);
      auto it = known_.find(p.record->name);
      if (it != known_.end() && it->second.address == address) known_.erase(it);
      return;
    }
    case kOpQuery: {
      if (!p.question) return;
      NamePacket yes;
      yes.id = p.id;
      yes.response = true;
      yes.opcode = kOpQuery;
      yes.flags = static_cast<uint8_t>(kFlagAa | (p.flags & kFlagRd));
      if (p.questionType == kTypeNbstat) {
        // About "*" (whoever is asked) or a name this node holds.
        bool group = false;
        if ((*p.question)[0] != '*' && !node_->HoldsName(*p.question, &group)) return;
        std::vector<StatusName> names;
        {
          std::lock_guard lock(mutex_);
          for (const auto& [n, group] : owned_)
            names.push_back({n, static_cast<uint16_t>(kNameActive | (group ? kNbFlagGroup : 0))});
        }
        yes.record = NameRecord{*p.question, kTypeNbstat, 0, NodeStatusData(names, mac_)};
        Reply(yes, from, port);
        return;
      }
      bool group = false;
      if (p.questionType != kTypeNb || !node_->HoldsName(*p.question, &group)) return;
      yes.record = NameRecord{*p.question, kTypeNb, kTtl, NbData(group, ep_.address)};
      Reply(yes, from, port);
      return;
    }
    default: return;
  }
}

uint8_t NameService::Claim(const Name& name, bool group) {
  NamePacket req;
  req.opcode = kOpRegistration;
  req.flags = kFlagRd | kFlagBroadcast;
  req.question = name;
  req.record = NameRecord{name, kTypeNb, kTtl, NbData(group, ep_.address)};
  std::unique_lock lock(mutex_);
  req.id = NextId();
  auto& answers = pending_[req.id];
  Bytes wire = BuildNamePacket(req);
  bool refused = false;
  for (int i = 0; i < kBroadcastTries && !refused; ++i) {
    SendUdp(unicast_.Get(), wire, ep_.broadcast, ep_.nameServicePort);
    answered_.wait_for(lock, kBroadcastWait, [&] {
      return std::any_of(answers.begin(), answers.end(), [](const Answer& a) { return a.negative; });
    });
    refused = std::any_of(answers.begin(), answers.end(), [](const Answer& a) { return a.negative; });
  }
  pending_.erase(req.id);
  if (refused) return NRC_INUSE;
  owned_.emplace_back(name, group);
  lock.unlock();
  // Silence: the name is ours; a demand tells the segment so.
  req.flags = kFlagBroadcast;
  SendUdp(unicast_.Get(), BuildNamePacket(req), ep_.broadcast, ep_.nameServicePort);
  return NRC_GOODRET;
}

void NameService::Release(const Name& name, bool group) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find(owned_.begin(), owned_.end(), std::make_pair(name, group));
    if (it == owned_.end()) return;
    owned_.erase(it);
  }
  NamePacket req;
  req.id = NextId();
  req.opcode = kOpRelease;
  req.flags = kFlagBroadcast;
  req.question = name;
  req.record = NameRecord{name, kTypeNb, 0, NbData(group, ep_.address)};
  SendUdp(unicast_.Get(), BuildNamePacket(req), ep_.broadcast, ep_.nameServicePort);
}

std::optional<uint32_t> NameService::Resolve(const Name& name, bool* group) {
  NamePacket req;
  req.opcode = kOpQuery;
  req.flags = kFlagRd | kFlagBroadcast;
  req.question = name;
  std::unique_lock lock(mutex_);
  req.id = NextId();
  auto& answers = pending_[req.id];
  known_[name] = {false, false, 0, std::chrono::steady_clock::now() + kUnansweredFor};
  Bytes wire = BuildNamePacket(req);
  std::optional<uint32_t> found;
  for (int i = 0; i < kBroadcastTries && !found; ++i) {
    SendUdp(unicast_.Get(), wire, ep_.broadcast, ep_.nameServicePort);
    answered_.wait_for(lock, kBroadcastWait, [&] { return !answers.empty(); });
    for (const Answer& a : answers) {
      if (a.negative || a.name != name) continue;
      found = a.address;
      *group = a.group;
      break;
    }
  }
  pending_.erase(req.id);
  return found;
}

bool NameService::NodeStatus(const Name& name, uint32_t address, std::vector<StatusName>* names,
                             std::array<uint8_t, 6>* mac) {
  NamePacket req;
  req.opcode = kOpQuery;
  req.question = name;
  req.questionType = kTypeNbstat;
  std::unique_lock lock(mutex_);
  req.id = NextId();
  auto& answers = pending_[req.id];
  Bytes wire = BuildNamePacket(req);
  // Only an answer from the node asked, whose data parses whole, counts.
  auto valid = [&] {
    for (const Answer& a : answers)
      if (a.from == address && ParseNodeStatusData(a.status, names, mac)) return true;
    return false;
  };
  bool found = false;
  for (int i = 0; i < kBroadcastTries && !found; ++i) {
    SendUdp(unicast_.Get(), wire, address, ep_.nameServicePort);
    found = answered_.wait_for(lock, kBroadcastWait, valid);
  }
  pending_.erase(req.id);
  return found;
}

std::optional<uint32_t> NameService::CachedUnique(const Name& name) {
  auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(mutex_);
    auto it = known_.find(name);
    if (it != known_.end() && it->second.expiry > now) {
      if (it->second.answered && !it->second.group) return it->second.address;
      return std::nullopt;
    }
    known_[name] = {false, false, 0, now + kUnansweredFor};
  }
  NamePacket req;
  req.id = NextId();
  req.opcode = kOpQuery;
  req.flags = kFlagRd | kFlagBroadcast;
  req.question = name;
  SendUdp(unicast_.Get(), BuildNamePacket(req), ep_.broadcast, ep_.nameServicePort);
  return std::nullopt;
}

}  // namespace plat::nbt
