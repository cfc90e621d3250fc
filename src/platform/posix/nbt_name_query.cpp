// Name queries of a broadcast node: asking the segment who holds a name,
// answering for the names we hold, and what we know of other nodes' names.
#include "nbt_name_service.h"

namespace plat::nbt {
namespace {

// How long an answer about someone else's name is believed, and how long a
// question nobody answered keeps us from asking again.
constexpr auto kKnownFor = std::chrono::seconds(60);
constexpr auto kUnansweredFor = std::chrono::seconds(5);

}  // namespace

void NameService::Learn(const Name& name, bool group, uint32_t address) {
  known_[name] = {true, group, address, std::chrono::steady_clock::now() + kKnownFor};
}

void NameService::HandleAnswer(const NamePacket& p, uint32_t from) {
  Answer a;
  a.from = from;
  a.negative = p.rcode != kRcodeOk;
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
}

void NameService::HandleQuery(const NamePacket& p, uint32_t from, uint16_t port) {
  bool group = false;
  if (p.questionType != kTypeNb || !node_->HoldsName(*p.question, &group)) return;
  NamePacket yes;
  yes.id = p.id;
  yes.response = true;
  yes.opcode = kOpQuery;
  yes.flags = static_cast<uint8_t>(kFlagAa | (p.flags & kFlagRd));
  yes.record = NameRecord{*p.question, kTypeNb, kTtl, NbData(group, ep_.address)};
  Reply(yes, from, port);
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
