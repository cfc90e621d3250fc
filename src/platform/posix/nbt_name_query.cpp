// Name queries of a broadcast node: asking the segment who holds a name (and
// noticing two nodes answering for one unique name), and answering for the
// names we hold.
#include "nbt_name_service.h"

#include <algorithm>

namespace plat::nbt {
namespace {

// How long a question nobody answered keeps us from asking again.
constexpr auto kUnansweredFor = std::chrono::seconds(5);
// How long a unique name that a full query found at one address alone is
// called there without asking again: the ten minutes a Windows node keeps a
// name in its NetBIOS name cache. A registration overheard from another
// address ends it sooner, and so does a failed call (a box that moved).
constexpr auto kVerifiedFor = std::chrono::minutes(10);

NamePacket Query(const Name& name, uint16_t id) {
  NamePacket req;
  req.id = id;
  req.opcode = kOpQuery;
  req.flags = kFlagRd | kFlagBroadcast;
  req.question = name;
  return req;
}

}  // namespace

void NameService::HandleAnswer(const NamePacket& p, uint32_t from) {
  Answer a;
  a.from = from;
  a.negative = p.rcode != kRcodeOk;
  a.ttl = p.record->ttl;
  if (!ParseNbData(p.record->data, &a.group, &a.address)) {
    if (!a.negative) return;
  }
  std::unique_lock lock(mutex_);
  auto it = pending_.find(p.id);
  // Only answers to a question of ours, about the name asked, count; others
  // could point our calls and datagrams anywhere.
  if (it == pending_.end() || it->second.name != p.record->name) {
    lock.unlock();
    // A conflict demand is a negative registration response nobody asked for.
    if (p.opcode == kOpRegistration && p.rcode == kRcodeCft) HandleConflictDemand(p, from);
    return;
  }
  Question& q = it->second;
  q.answers.push_back(a);
  answered_.notify_all();
  if (!q.background || a.negative || p.opcode != kOpQuery || q.conflict) return;
  // Answers to a question for the cache are learned as they come, until a
  // second address shows a conflict.
  std::vector<uint32_t> involved = Conflict(q.answers);
  if (involved.empty()) {
    Known* k = FindKnown(q.name);
    if (!k || !k->answered) Learn(q.name, a.group, a.address, a.ttl);
    return;
  }
  q.conflict = true;
  RememberConflict(q.name);
  Name name = q.name;
  lock.unlock();
  ReportConflict(name, involved);
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
  std::unique_lock lock(mutex_);
  if (Known* k = FindKnown(name); k && k->conflict) return std::nullopt;
  uint16_t id = Ask(name, false);
  if (id == 0) return std::nullopt;
  const std::vector<Answer>& answers = pending_[id].answers;
  Bytes wire = BuildNamePacket(Query(name, id));
  auto positive = [&] { return std::any_of(answers.begin(), answers.end(), [](const Answer& a) { return !a.negative; }); };
  bool heard = false;
  for (int i = 0; i < kBroadcastTries && !heard; ++i) {
    SendUdp(unicast_.Get(), wire, ep_.broadcast, ep_.nameServicePort);
    auto end = std::chrono::steady_clock::now() + kBroadcastWait;
    heard = answered_.wait_until(lock, end, positive);
    // The rest of this wait collects the other answers: a second node
    // answering for a unique name shows only then.
    if (heard) answered_.wait_until(lock, end, [] { return false; });
  }
  std::vector<uint32_t> involved = Conflict(answers);
  std::optional<uint32_t> found;
  if (involved.empty()) {
    const Answer* first = nullptr;
    bool alone = true;  // every positive answer a unique name at one address
    for (const Answer& a : answers) {
      if (a.negative) continue;
      if (!first) first = &a;
      alone = alone && !a.group && a.address == first->address;
    }
    if (first) {
      found = first->address;
      *group = first->group;
      Learn(name, first->group, first->address, first->ttl);
      Known* k = FindKnown(name);
      if (alone && heard && k && k->answered && !k->conflict && k->address == first->address) {
        auto lifetime = first->ttl == 0 ? std::chrono::steady_clock::duration(kVerifiedFor)
                                        : std::min<std::chrono::steady_clock::duration>(
                                              std::chrono::seconds(first->ttl), kVerifiedFor);
        k->verifiedUntil = std::chrono::steady_clock::now() + lifetime;
        k->expiry = std::max(k->expiry, k->verifiedUntil);
      }
    }
  } else {
    RememberConflict(name);
  }
  pending_.erase(id);
  lock.unlock();
  if (!involved.empty()) ReportConflict(name, involved);
  return found;
}

std::optional<uint32_t> NameService::Verified(const Name& name) {
  std::lock_guard lock(mutex_);
  Known* k = FindKnown(name);
  if (!k || k->verifiedUntil <= std::chrono::steady_clock::now()) return std::nullopt;
  return k->address;
}

void NameService::Unverify(const Name& name, uint32_t address) {
  std::lock_guard lock(mutex_);
  if (Known* k = FindKnown(name); k && k->address == address) k->verifiedUntil = {};
}

std::optional<uint32_t> NameService::CachedUnique(const Name& name) {
  // A name this node holds as a group is a group on the segment: asking who
  // holds it would only bring every member's answer at once (a thousand boxes
  // answering a monitor that pings them).
  bool group = false;
  if (node_->HoldsName(name, &group) && group) return std::nullopt;
  uint16_t id;
  {
    std::lock_guard lock(mutex_);
    if (Known* k = FindKnown(name)) {
      if (k->answered && !k->group) return k->address;
      return std::nullopt;
    }
    Remember(name, false, false, 0, kUnansweredFor);
    id = Ask(name, true);
  }
  if (id != 0) SendUdp(unicast_.Get(), BuildNamePacket(Query(name, id)), ep_.broadcast, ep_.nameServicePort);
  return std::nullopt;
}

}  // namespace plat::nbt
