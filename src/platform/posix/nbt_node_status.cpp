// Node status of a broadcast node: asking another node for its names and
// hardware address, and answering such questions about this node.
#include "nbt_name_service.h"

namespace plat::nbt {
namespace {

constexpr uint16_t kNameActive = 0x0400, kNameConflict = 0x0800;

}  // namespace

void NameService::HandleStatusAnswer(const NamePacket& p, uint32_t from) {
  // Checked by whoever asked, against the address it asked.
  if (p.rcode != kRcodeOk || p.opcode != kOpQuery) return;
  Answer a;
  a.from = from;
  a.status = p.record->data;
  std::lock_guard lock(mutex_);
  auto it = pending_.find(p.id);
  if (it != pending_.end()) {
    it->second.answers.push_back(std::move(a));
    answered_.notify_all();
  }
}

void NameService::HandleStatusQuery(const NamePacket& p, uint32_t from, uint16_t port) {
  // About "*" (whoever is asked) or a name this node holds.
  bool group = false;
  if ((*p.question)[0] != '*' && !node_->HoldsName(*p.question, &group)) return;
  std::vector<StatusName> names;
  {
    std::lock_guard lock(mutex_);
    for (const Owned& o : owned_)
      names.push_back({o.name, static_cast<uint16_t>((o.conflict ? kNameConflict : kNameActive) |
                                                     (o.group ? kNbFlagGroup : 0))});
  }
  NamePacket yes;
  yes.id = p.id;
  yes.response = true;
  yes.opcode = kOpQuery;
  yes.flags = static_cast<uint8_t>(kFlagAa | (p.flags & kFlagRd));
  yes.record = NameRecord{*p.question, kTypeNbstat, 0, NodeStatusData(names, mac_)};
  Reply(yes, from, port);
}

bool NameService::NodeStatus(const Name& name, uint32_t address, std::vector<StatusName>* names,
                             std::array<uint8_t, 6>* mac) {
  NamePacket req;
  req.opcode = kOpQuery;
  req.question = name;
  req.questionType = kTypeNbstat;
  std::unique_lock lock(mutex_);
  req.id = Ask(name, false);
  if (req.id == 0) return false;
  auto& answers = pending_[req.id].answers;
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

}  // namespace plat::nbt
