// Names of a broadcast node: registering one (three requests, then a demand
// when nobody objects), defending those we hold, giving one up when the
// segment finds it in conflict, releasing them, and learning other nodes'
// names from their registrations and releases.
#include <algorithm>

#include "nbt_name_service.h"

namespace plat::nbt {

uint8_t NameService::Claim(const Name& name, bool group) {
  NamePacket req;
  req.opcode = kOpRegistration;
  req.flags = kFlagRd | kFlagBroadcast;
  req.question = name;
  req.record = NameRecord{name, kTypeNb, kTtl, NbData(group, ep_.address)};
  std::unique_lock lock(mutex_);
  req.id = Ask(name, false);
  if (req.id == 0) return NRC_NORES;
  auto& answers = pending_[req.id].answers;
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
  owned_.push_back({name, group, false});
  lock.unlock();
  // Silence: the name is ours; a demand tells the segment so.
  req.flags = kFlagBroadcast;
  SendUdp(unicast_.Get(), BuildNamePacket(req), ep_.broadcast, ep_.nameServicePort);
  return NRC_GOODRET;
}

void NameService::Release(const Name& name, bool group) {
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(owned_.begin(), owned_.end(),
                           [&](const Owned& o) { return o.name == name && o.group == group; });
    if (it == owned_.end()) return;
    bool conflict = it->conflict;
    owned_.erase(it);
    // The segment's entries for the name are the other node's now.
    if (conflict) return;
  }
  NamePacket req;
  req.id = RandomId();
  req.opcode = kOpRelease;
  req.flags = kFlagBroadcast;
  req.question = name;
  req.record = NameRecord{name, kTypeNb, 0, NbData(group, ep_.address)};
  SendUdp(unicast_.Get(), BuildNamePacket(req), ep_.broadcast, ep_.nameServicePort);
}

void NameService::HandleRegistration(const NamePacket& p, uint32_t from, uint16_t port) {
  if (!p.record) return;
  bool group = false;
  uint32_t address = 0;
  if (!ParseNbData(p.record->data, &group, &address)) return;
  const Name& name = p.record->name;
  bool heldAsGroup = false;
  bool held = node_->HoldsName(name, &heldAsGroup);
  // A demand (no recursion wanted) is not challenged; a request for a name
  // we hold uniquely, or for a unique name we hold as a group, is.
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
  Learn(name, group, address, p.record->ttl);
}

void NameService::HandleRelease(const NamePacket& p) {
  if (!p.record) return;
  bool group = false;
  uint32_t address = 0;
  if (!ParseNbData(p.record->data, &group, &address)) return;
  std::lock_guard lock(mutex_);
  auto it = known_.find(p.record->name);
  if (it != known_.end() && it->second.address == address) Forget(it);
}

void NameService::HandleConflictDemand(const NamePacket& p, uint32_t from) {
  bool group = false;
  uint32_t address = 0;
  if (!ParseNbData(p.record->data, &group, &address) || address != ep_.address) return;
  const Name& name = p.record->name;
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(owned_.begin(), owned_.end(),
                           [&](const Owned& o) { return o.name == name && !o.group && !o.conflict; });
    if (it == owned_.end()) return;
    // The name stays in our table until its user deletes it, but in
    // conflict: no longer defended, answered for or used.
    it->conflict = true;
  }
  LogLine("NetBIOS name conflict: \"" + PrintableName(name) + "\" of this node is demanded away by " +
          DottedAddress(from) + "; the name is no longer used");
  node_->NameInConflict(name);
}

}  // namespace plat::nbt
