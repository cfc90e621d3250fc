// The name service of a NetBIOS over TCP/IP broadcast node: its sockets, its
// receive loop, the hand-over of each packet to the handler of its kind, the
// questions out and the cache of other nodes' names. Registration, queries
// and node status each live in a file of their own.
#include "nbt_name_service.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>

namespace plat::nbt {
namespace {

// Questions out at once; more are not asked, so answers nobody waits for
// cannot fill memory.
constexpr std::size_t kMaxQuestions = 1024;
// How long an answer about someone else's name is believed at most, whatever
// time to live it gives.
constexpr auto kKnownFor = std::chrono::seconds(60);
// How long a name found in conflict is not resolved. The node that held it
// gives it up on our demand; one that ignores demands would otherwise have
// it to itself at the next call.
constexpr auto kConflictFor = std::chrono::seconds(60);

std::mutex g_logMutex;
std::function<void(const std::string&)> g_log;

}  // namespace

uint16_t RandomId() {
  uint16_t id = 0;
  if (getrandom(&id, sizeof id, 0) == static_cast<ssize_t>(sizeof id)) return id;
  // Without the system call the library's device source still cannot be
  // predicted from the ids seen.
  static std::mutex mutex;
  static std::random_device device;
  std::lock_guard lock(mutex);
  return static_cast<uint16_t>(device());
}

void LogLine(const std::string& line) {
  std::lock_guard lock(g_logMutex);
  if (g_log)
    g_log(line);
  else
    std::fprintf(stderr, "%s\n", line.c_str());
}

std::string PrintableName(const Name& name) {
  std::size_t end = name.size();
  while (end > 0 && name[end - 1] == ' ') --end;
  std::string out;
  for (std::size_t i = 0; i < end; ++i) {
    uint8_t c = name[i];
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string DottedAddress(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
         "." + std::to_string(a & 0xFF);
}

NameService::NameService(const NbtEndpoint& ep, const std::array<uint8_t, 6>& mac, nb::Node* node)
    : ep_(ep), mac_(mac), node_(node) {}

bool NameService::Open() {
  return unicast_.Open(ep_.address, ep_.nameServicePort, true) && broadcast_.Open(ep_.broadcast, ep_.nameServicePort, true);
}

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

void NameService::Handle(const NamePacket& p, uint32_t from, uint16_t port) {
  if (p.response) {
    if (!p.record) return;
    if (p.record->type == kTypeNbstat) return HandleStatusAnswer(p, from);
    if (p.record->type == kTypeNb) return HandleAnswer(p, from);
    return;
  }
  switch (p.opcode) {
    case kOpRegistration:
    case kOpRefresh: return HandleRegistration(p, from, port);
    case kOpRelease: return HandleRelease(p);
    case kOpQuery:
      if (!p.question) return;
      if (p.questionType == kTypeNbstat) return HandleStatusQuery(p, from, port);
      return HandleQuery(p, from, port);
    default: return;
  }
}

uint16_t NameService::Ask(const Name& name, bool background) {
  auto now = std::chrono::steady_clock::now();
  std::erase_if(pending_, [&](const auto& q) { return q.second.background && q.second.until <= now; });
  if (pending_.size() >= kMaxQuestions) return 0;
  uint16_t id;
  do id = RandomId();
  while (id == 0 || pending_.count(id));
  Question& q = pending_[id];
  q.name = name;
  q.background = background;
  q.until = now + kBroadcastTries * kBroadcastWait;
  return id;
}

std::vector<uint32_t> NameService::Conflict(const std::vector<Answer>& answers) {
  std::set<uint32_t> claimed, involved;
  bool unique = false;
  for (const Answer& a : answers) {
    if (a.negative) continue;
    claimed.insert(a.address);
    involved.insert(a.address);
    involved.insert(a.from);
    unique = unique || !a.group;
  }
  if (claimed.size() < 2 || !unique) return {};
  return {involved.begin(), involved.end()};
}

void NameService::ReportConflict(const Name& name, const std::vector<uint32_t>& addresses) {
  std::string list;
  for (uint32_t a : addresses) {
    if (a != ep_.address) {
      // The negative registration response of a conflict, unasked: the node
      // that gets it gives the name up.
      NamePacket demand;
      demand.id = RandomId();
      demand.response = true;
      demand.opcode = kOpRegistration;
      demand.flags = kFlagAa | kFlagRd | kFlagRa;
      demand.rcode = kRcodeCft;
      demand.record = NameRecord{name, kTypeNb, 0, NbData(false, a)};
      Reply(demand, a, ep_.nameServicePort);
    }
    list += (list.empty() ? "" : ", ") + DottedAddress(a);
  }
  LogLine("NetBIOS name conflict: \"" + PrintableName(name) + "\" is answered from " + list +
          "; the name is not used and each was sent a conflict demand");
}

NameService::Known* NameService::FindKnown(const Name& name) {
  auto it = known_.find(name);
  if (it == known_.end()) return nullptr;
  if (it->second.expiry <= std::chrono::steady_clock::now()) {
    Forget(it);
    return nullptr;
  }
  recent_.splice(recent_.begin(), recent_, it->second.used);
  return &it->second;
}

void NameService::Remember(const Name& name, bool answered, bool group, uint32_t address,
                           std::chrono::steady_clock::duration lifetime) {
  auto expiry = std::chrono::steady_clock::now() + lifetime;
  auto it = known_.find(name);
  if (it == known_.end()) {
    while (!recent_.empty() && known_.size() >= std::max<std::size_t>(ep_.nameCache, 1))
      Forget(known_.find(recent_.back()));
    recent_.push_front(name);
    it = known_.emplace(name, Known{}).first;
    it->second.used = recent_.begin();
  } else {
    recent_.splice(recent_.begin(), recent_, it->second.used);
  }
  Known& k = it->second;
  // A verification holds for what was verified alone.
  if (k.conflict || k.answered != answered || k.group != group || k.address != address) k.verifiedUntil = {};
  k.conflict = false;
  k.answered = answered;
  k.group = group;
  k.address = address;
  k.expiry = std::max(expiry, k.verifiedUntil);
}

void NameService::Learn(const Name& name, bool group, uint32_t address, uint32_t ttl) {
  // A time to live of 0 is "for ever" in the RFC; we never believe that long.
  auto lifetime = ttl == 0 ? std::chrono::steady_clock::duration(kKnownFor)
                           : std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(ttl), kKnownFor);
  Known* k = FindKnown(name);
  if (k && k->conflict) return;
  Remember(name, true, group, address, lifetime);
}

void NameService::RememberConflict(const Name& name) {
  Remember(name, false, false, 0, kConflictFor);
  known_[name].conflict = true;
}

void NameService::Forget(std::map<Name, Known>::iterator it) {
  recent_.erase(it->second.used);
  known_.erase(it);
}

std::size_t NameService::CachedNames() {
  std::lock_guard lock(mutex_);
  auto now = std::chrono::steady_clock::now();
  for (auto it = known_.begin(); it != known_.end();) {
    auto next = std::next(it);
    if (it->second.expiry <= now) Forget(it);
    it = next;
  }
  return known_.size();
}

}  // namespace plat::nbt

namespace plat {

void SetNbtLog(std::function<void(const std::string& line)> log) {
  std::lock_guard lock(nbt::g_logMutex);
  nbt::g_log = std::move(log);
}

}  // namespace plat
