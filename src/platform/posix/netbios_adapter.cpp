// The commands of one NetBIOS adapter: names, datagrams and sessions, with
// nb30.h's return codes.
#include "netbios_adapter.h"
#include "nbt_transport.h"

#include <algorithm>
#include <cstring>

namespace plat::nb {
namespace {

// Limits before the first NCBRESET, and for a reset that asks for 0.
constexpr std::size_t kDefaultNames = 64;
constexpr std::size_t kDefaultSessions = 64;
constexpr std::size_t kMaxEntries = 254;
// Datagrams kept per name while no receive is pending, bounded in bytes as a
// driver's receive buffer is, not in count: every box on a segment answers a
// ping at the same instant and the receiving thread takes one report at a
// time, so the backlog must hold a whole burst (a thousand full reports are
// under 600 KB with their bookkeeping). Each datagram also counts a share for
// its bookkeeping, so that a flood of tiny ones cannot pin more memory. When
// one does not fit, the oldest go first: a fresher report is worth more.
constexpr std::size_t kBacklogBytes = 1 << 20;
constexpr std::size_t kBacklogOverhead = 64;
constexpr UCHAR kAnyName = 0xFF;

bool IsWildcard(const Name& name) { return name[0] == '*'; }

std::size_t BacklogCost(std::size_t bytes) { return bytes + kBacklogOverhead; }

}  // namespace

Name NameOf(const UCHAR* field) {
  Name n;
  std::memcpy(n.data(), field, NCBNAMSZ);
  return n;
}

Adapter::Adapter(const NetbiosAdapterConfig& config)
    : config_(config), maxNames_(kDefaultNames), maxSessions_(kDefaultSessions) {}

Adapter::~Adapter() { Shutdown(); }

bool Adapter::Start() {
  if (config_.transport == NetbiosTransportKind::Nbt)
    transport_ = MakeNbtTransport(config_, this);
  else
    transport_ = MakeLoopTransport(config_.segment, this);
  return transport_ != nullptr;
}

void Adapter::Shutdown() {
  if (transport_) transport_->Detach();
  std::vector<std::shared_ptr<Channel>> closed;
  {
    std::lock_guard lock(mutex_);
    dead_ = true;
    CancelAllLocked(NRC_BRIDGE, &closed);
    names_.clear();
  }
  for (auto& c : closed) c->HangUp();
}

std::uint64_t Adapter::DroppedDatagrams() {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void Adapter::SetSessionLimit(int limit) {
  std::lock_guard lock(mutex_);
  sessionLimit_ = limit;
}

UCHAR Adapter::Execute(NCB* ncb) {
  {
    std::lock_guard lock(mutex_);
    if (dead_) return NRC_BRIDGE;
  }
  switch (ncb->ncb_command) {
    case NCBRESET: return Reset(ncb);
    case NCBASTAT: return AdapterStatus(ncb);
    case NCBADDNAME: return AddName(ncb, false);
    case NCBADDGRNAME: return AddName(ncb, true);
    case NCBDELNAME: return DeleteName(ncb);
    case NCBDGSEND: return DatagramSend(ncb);
    case NCBDGRECV: return DatagramReceive(ncb, false);
    case NCBCALL: return Call(ncb);
    case NCBLISTEN: return Listen(ncb, false);
    case NCBSEND: return Send(ncb);
    case NCBRECV: return Receive(ncb, false);
    case NCBHANGUP: return HangUp(ncb);
    default: return NRC_ILLCMD;
  }
}

UCHAR Adapter::Submit(NCB* ncb) {
  if (!ncb->ncb_post) return NRC_ILLCMD;
  {
    std::lock_guard lock(mutex_);
    if (dead_) return NRC_BRIDGE;
  }
  switch (ncb->ncb_command & ~ASYNCH) {
    case NCBDGRECV: return DatagramReceive(ncb, true);
    case NCBLISTEN: return Listen(ncb, true);
    default: return NRC_ILLCMD;
  }
}

UCHAR Adapter::ReceiveStream(NCB* ncb) {
  {
    std::lock_guard lock(mutex_);
    if (dead_) return NRC_BRIDGE;
  }
  if (ncb->ncb_command != NCBRECV) return NRC_ILLCMD;
  return Receive(ncb, true);
}

Adapter::NameEntry* Adapter::FindName(const Name& name) {
  for (auto& e : names_)
    if (e.name == name) return &e;
  return nullptr;
}

Adapter::NameEntry* Adapter::FindNumber(UCHAR number) {
  for (auto& e : names_)
    if (e.registered && e.number == number) return &e;
  return nullptr;
}

// Number 1 is the permanent node name on a real adapter; added names get the
// lowest free number from 2.
UCHAR Adapter::FreeNameNumber() const {
  for (unsigned n = 2; n <= kMaxEntries; ++n) {
    bool used = std::any_of(names_.begin(), names_.end(), [&](const NameEntry& e) { return e.number == n; });
    if (!used) return static_cast<UCHAR>(n);
  }
  return 0;
}

// Session numbers go round 1..254 so that a stale number (a hang-up repeated
// for a session long gone) does not hit the next session at once.
UCHAR Adapter::FreeSessionNumber() {
  for (unsigned i = 0; i < kMaxEntries; ++i) {
    lastLsn_ = static_cast<UCHAR>(lastLsn_ % kMaxEntries + 1);
    if (!sessions_.count(lastLsn_)) return lastLsn_;
  }
  return 0;
}

void Adapter::Complete(std::list<Pending*>& list, std::list<Pending*>::iterator it, UCHAR result) {
  Pending* p = *it;
  list.erase(it);
  if (p->posted) {
    AddWaiters(-1);
    PostCompletion(p->ncb, result);
    delete p;
    return;
  }
  p->result = result;
  p->done = true;
  p->wait.ReleaseAll();
}

void Adapter::CancelAllLocked(UCHAR result, std::vector<std::shared_ptr<Channel>>* closed) {
  while (!receives_.empty()) Complete(receives_, receives_.begin(), result);
  while (!listens_.empty()) Complete(listens_, listens_.begin(), result);
  for (auto& [lsn, s] : sessions_) closed->push_back(s.channel);
  sessions_.clear();
}

UCHAR Adapter::WaitFor(std::unique_lock<std::mutex>& lock, std::list<Pending*>& list, Pending& pending) {
  list.push_back(&pending);
  pending.wait.Wait(lock, [&] { return pending.done; });
  return pending.result;
}

UCHAR Adapter::Post(std::list<Pending*>& list, const Pending& pending) {
  auto* p = new Pending;
  p->ncb = pending.ncb;
  p->number = pending.number;
  p->remote = pending.remote;
  p->posted = true;
  // It waits like a blocked command, so that "everything waits" means the
  // same whichever way a command was issued.
  AddWaiters(1);
  list.push_back(p);
  return NRC_GOODRET;
}

UCHAR Adapter::Ended(NCB* ncb, bool posted, UCHAR result) {
  if (!posted) return result;
  PostCompletion(ncb, result);
  return NRC_GOODRET;
}

UCHAR Adapter::Reset(NCB* ncb) {
  std::vector<std::shared_ptr<Channel>> closed;
  std::vector<NameEntry> released;
  {
    std::lock_guard lock(mutex_);
    CancelAllLocked(NRC_CMDCAN, &closed);
    for (auto& e : names_) released.push_back({e.name, e.group, e.registered, e.number, {}, 0, false});
    names_.clear();
    // ncb_lsn 0 allocates: byte 0 of the call name asks for sessions, byte 2
    // for names; 0 keeps the defaults.
    if (ncb->ncb_lsn == 0) {
      UCHAR sessions = ncb->ncb_callname[0];
      UCHAR names = ncb->ncb_callname[2];
      maxSessions_ = sessions ? std::min<std::size_t>(sessions, kMaxEntries) : kDefaultSessions;
      maxNames_ = names ? std::min<std::size_t>(names, kMaxEntries) : kDefaultNames;
    }
  }
  for (auto& c : closed) c->HangUp();
  for (auto& e : released) transport_->ReleaseName(e.name, e.group);
  return NRC_GOODRET;
}

UCHAR Adapter::AdapterStatus(NCB* ncb) {
  if (!ncb->ncb_buffer) return NRC_BUFLEN;
  Name target = NameOf(ncb->ncb_callname);
  ADAPTER_STATUS st{};
  std::vector<NAME_BUFFER> names;
  bool local = IsWildcard(target);
  if (!local) {
    // A name of this adapter is answered here, as the network would.
    std::lock_guard lock(mutex_);
    NameEntry* e = FindName(target);
    local = e && e->registered;
  }
  if (local) {
    std::lock_guard lock(mutex_);
    std::memcpy(st.adapter_address, config_.hardwareAddress.data(), 6);
    st.rev_major = 3;
    st.adapter_type = 0xFE;  // Ethernet
    st.max_dgram_size = kMaxDatagram;
    st.max_cfg_sess = st.max_sess = static_cast<WORD>(maxSessions_);
    st.pending_sess = static_cast<WORD>(sessions_.size());
    st.max_sess_pkt_size = 0xFFFF;
    st.free_ncbs = st.max_cfg_ncbs = st.max_ncbs = 255;
    for (const auto& e : names_) {
      if (!e.registered) continue;
      NAME_BUFFER nb{};
      std::memcpy(nb.name, e.name.data(), NCBNAMSZ);
      nb.name_num = e.number;
      nb.name_flags = static_cast<UCHAR>((e.conflict ? DUPLICATE : REGISTERED) | (e.group ? GROUP_NAME : UNIQUE_NAME));
      names.push_back(nb);
    }
  } else {
    // Another node's status, asked on the network; NRC_CMDTMO when nobody
    // answers for the name.
    RemoteStatus remote;
    UCHAR r = transport_->NodeStatus(target, &remote);
    if (r != NRC_GOODRET) return r;
    std::memcpy(st.adapter_address, remote.hardwareAddress.data(), 6);
    names = std::move(remote.names);
  }
  // What does not fit is cut, and the code says so; the count covers the
  // names that arrived whole, so a caller never reads past what it got.
  std::size_t whole = sizeof st + names.size() * sizeof(NAME_BUFFER);
  std::size_t n = std::min<std::size_t>(whole, ncb->ncb_length);
  std::size_t fit = n < sizeof st ? 0 : (n - sizeof st) / sizeof(NAME_BUFFER);
  st.name_count = static_cast<WORD>(std::min(fit, names.size()));
  std::vector<UCHAR> out(sizeof st);
  std::memcpy(out.data(), &st, sizeof st);
  const auto* bytes = reinterpret_cast<const UCHAR*>(names.data());
  out.insert(out.end(), bytes, bytes + names.size() * sizeof(NAME_BUFFER));
  std::memcpy(ncb->ncb_buffer, out.data(), n);
  ncb->ncb_length = static_cast<WORD>(n);
  return n < whole ? NRC_INCOMP : NRC_GOODRET;
}

UCHAR Adapter::AddName(NCB* ncb, bool group) {
  Name name = NameOf(ncb->ncb_name);
  // A name may not begin with NUL, '*' or a blank: none can be called.
  if (name[0] == 0 || name[0] == ' ' || IsWildcard(name)) return NRC_NOWILD;
  UCHAR number;
  {
    std::lock_guard lock(mutex_);
    if (FindName(name)) return NRC_DUPNAME;
    if (names_.size() >= maxNames_) return NRC_NAMTFUL;
    number = FreeNameNumber();
    if (number == 0) return NRC_NAMTFUL;
    // Held as registering while the network is asked, so a concurrent claim
    // of the same unique name elsewhere sees it.
    names_.push_back({name, group, false, number, {}, 0, false});
  }
  UCHAR r = transport_->ClaimName(name, group);
  std::lock_guard lock(mutex_);
  auto it = std::find_if(names_.begin(), names_.end(),
                         [&](const NameEntry& e) { return e.number == number && e.name == name; });
  if (it == names_.end()) return NRC_CMDCAN;  // a reset came in between
  if (r != NRC_GOODRET) {
    names_.erase(it);
    return r;
  }
  it->registered = true;
  ncb->ncb_num = number;
  return NRC_GOODRET;
}

UCHAR Adapter::DeleteName(NCB* ncb) {
  Name name = NameOf(ncb->ncb_name);
  bool group;
  UCHAR result = NRC_GOODRET;
  {
    std::lock_guard lock(mutex_);
    NameEntry* e = FindName(name);
    if (!e) return NRC_NOWILD;
    group = e->group;
    UCHAR number = e->number;
    for (auto it = receives_.begin(); it != receives_.end();) {
      auto next = std::next(it);
      if ((*it)->number == number) Complete(receives_, it, NRC_NAMERR);
      it = next;
    }
    for (auto it = listens_.begin(); it != listens_.end();) {
      auto next = std::next(it);
      if ((*it)->number == number) Complete(listens_, it, NRC_NAMERR);
      it = next;
    }
    // Sessions on the name run on; the name is gone at once, and the code
    // says so, as a real adapter does.
    for (const auto& [lsn, s] : sessions_)
      if (s.number == number) result = NRC_ACTSES;
    names_.remove_if([&](const NameEntry& x) { return &x == e; });
  }
  transport_->ReleaseName(name, group);
  return result;
}

UCHAR Adapter::DatagramSend(NCB* ncb) {
  if (ncb->ncb_length > kMaxDatagram) return NRC_BUFLEN;
  if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
  Name from;
  {
    std::lock_guard lock(mutex_);
    NameEntry* e = FindNumber(ncb->ncb_num);
    if (!e) return NRC_ILLNN;
    if (e->conflict) return NRC_NAMCONF;
    from = e->name;
  }
  return transport_->SendDatagram(from, NameOf(ncb->ncb_callname),
                                  std::span<const UCHAR>(ncb->ncb_buffer, ncb->ncb_length));
}

UCHAR Adapter::DatagramReceive(NCB* ncb, bool posted) {
  if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
  std::unique_lock lock(mutex_);
  if (ncb->ncb_num != kAnyName) {
    NameEntry* e = FindNumber(ncb->ncb_num);
    if (!e) return NRC_ILLNN;
    if (!e->backlog.empty()) {
      Datagram d = std::move(e->backlog.front());
      e->backlog.pop_front();
      e->backlogBytes -= BacklogCost(d.data.size());
      std::size_t n = std::min<std::size_t>(d.data.size(), ncb->ncb_length);
      if (n) std::memcpy(ncb->ncb_buffer, d.data.data(), n);
      ncb->ncb_length = static_cast<WORD>(n);
      std::memcpy(ncb->ncb_callname, d.from.data(), NCBNAMSZ);
      return Ended(ncb, posted, n < d.data.size() ? NRC_INCOMP : NRC_GOODRET);
    }
  }
  Pending pending;
  pending.ncb = ncb;
  pending.number = ncb->ncb_num;
  return posted ? Post(receives_, pending) : WaitFor(lock, receives_, pending);
}

void Adapter::DeliverDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) {
  std::lock_guard lock(mutex_);
  for (auto& e : names_) {
    if (!e.registered || e.conflict || e.name != to) continue;
    auto it = std::find_if(receives_.begin(), receives_.end(),
                           [&](Pending* p) { return p->number == e.number || p->number == kAnyName; });
    if (it == receives_.end()) {
      std::size_t cost = BacklogCost(data.size());
      while (!e.backlog.empty() && e.backlogBytes + cost > kBacklogBytes) {
        e.backlogBytes -= BacklogCost(e.backlog.front().data.size());
        e.backlog.pop_front();
        ++dropped_;
      }
      e.backlog.push_back({from, std::vector<UCHAR>(data.begin(), data.end())});
      e.backlogBytes += cost;
      continue;
    }
    NCB* ncb = (*it)->ncb;
    std::size_t n = std::min<std::size_t>(data.size(), ncb->ncb_length);
    if (n) std::memcpy(ncb->ncb_buffer, data.data(), n);
    ncb->ncb_length = static_cast<WORD>(n);
    ncb->ncb_num = e.number;
    std::memcpy(ncb->ncb_callname, from.data(), NCBNAMSZ);
    Complete(receives_, it, n < data.size() ? NRC_INCOMP : NRC_GOODRET);
  }
}

UCHAR Adapter::Call(NCB* ncb) {
  Name local = NameOf(ncb->ncb_name);
  Name remote = NameOf(ncb->ncb_callname);
  if (IsWildcard(remote)) return NRC_NOWILD;
  UCHAR number;
  {
    std::lock_guard lock(mutex_);
    NameEntry* e = FindName(local);
    if (!e || !e->registered) return NRC_NOWILD;
    if (e->conflict) return NRC_NAMCONF;
    number = e->number;
    if (sessions_.size() >= maxSessions_) return NRC_LOCTFUL;
  }
  std::shared_ptr<Channel> channel;
  UCHAR r = transport_->Call(local, remote, &channel);
  if (r != NRC_GOODRET) return r;
  std::unique_lock lock(mutex_);
  UCHAR lsn = dead_ ? 0 : FreeSessionNumber();
  if (lsn == 0) {
    lock.unlock();
    channel->HangUp();
    return dead_ ? NRC_BRIDGE : NRC_LOCTFUL;
  }
  sessions_[lsn] = {channel, number, remote};
  ncb->ncb_lsn = lsn;
  return NRC_GOODRET;
}

UCHAR Adapter::Listen(NCB* ncb, bool posted) {
  std::unique_lock lock(mutex_);
  NameEntry* e = FindName(NameOf(ncb->ncb_name));
  if (!e || !e->registered) return NRC_NOWILD;
  if (e->conflict) return NRC_NAMCONF;
  Pending pending;
  pending.ncb = ncb;
  pending.number = e->number;
  pending.remote = NameOf(ncb->ncb_callname);
  return posted ? Post(listens_, pending) : WaitFor(lock, listens_, pending);
}

UCHAR Adapter::OfferCall(const Name& from, const Name& to, std::shared_ptr<Channel> channel) {
  std::lock_guard lock(mutex_);
  if (dead_) return NRC_NOCALL;
  NameEntry* e = FindName(to);
  if (!e || !e->registered || e->conflict) return NRC_NOCALL;
  auto it = std::find_if(listens_.begin(), listens_.end(), [&](Pending* p) {
    return p->number == e->number && (IsWildcard(p->remote) || p->remote == from);
  });
  if (it == listens_.end()) return NRC_NOCALL;
  std::size_t limit = maxSessions_;
  if (sessionLimit_ >= 0) limit = std::min<std::size_t>(limit, static_cast<std::size_t>(sessionLimit_));
  if (sessions_.size() >= limit) return NRC_REMTFUL;
  UCHAR lsn = FreeSessionNumber();
  if (lsn == 0) return NRC_REMTFUL;
  sessions_[lsn] = {std::move(channel), e->number, from};
  NCB* ncb = (*it)->ncb;
  ncb->ncb_lsn = lsn;
  ncb->ncb_num = e->number;
  std::memcpy(ncb->ncb_callname, from.data(), NCBNAMSZ);
  Complete(listens_, it, NRC_GOODRET);
  return NRC_GOODRET;
}

bool Adapter::HoldsName(const Name& name, bool* isGroup) {
  std::lock_guard lock(mutex_);
  NameEntry* e = FindName(name);
  if (!e || e->conflict) return false;
  *isGroup = e->group;
  return true;
}

void Adapter::NameInConflict(const Name& name) {
  std::lock_guard lock(mutex_);
  NameEntry* e = FindName(name);
  if (!e || e->group) return;
  e->conflict = true;
  // Listens on the name end now; receives of its datagrams hear nothing more.
  for (auto it = listens_.begin(); it != listens_.end();) {
    auto next = std::next(it);
    if ((*it)->number == e->number) Complete(listens_, it, NRC_NAMCONF);
    it = next;
  }
}

UCHAR Adapter::Send(NCB* ncb) {
  if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(ncb->ncb_lsn);
    if (it == sessions_.end()) return NRC_SNUMOUT;
    channel = it->second.channel;
  }
  UCHAR r = channel->Send(std::span<const UCHAR>(ncb->ncb_buffer, ncb->ncb_length));
  if (r == NRC_SCLOSED || r == NRC_SABORT) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(ncb->ncb_lsn);
    if (it != sessions_.end() && it->second.channel == channel) sessions_.erase(it);
  }
  return r;
}

UCHAR Adapter::Receive(NCB* ncb, bool joined) {
  if (!ncb->ncb_buffer && ncb->ncb_length) return NRC_BUFLEN;
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(ncb->ncb_lsn);
    if (it == sessions_.end()) return NRC_SNUMOUT;
    channel = it->second.channel;
  }
  WORD got = 0;
  UCHAR r = channel->Receive(ncb->ncb_buffer, ncb->ncb_length, &got, joined);
  ncb->ncb_length = got;
  if (r == NRC_SCLOSED || r == NRC_SABORT) {
    // The session is over once the peer's last message has been read.
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(ncb->ncb_lsn);
    if (it != sessions_.end() && it->second.channel == channel) sessions_.erase(it);
  }
  return r;
}

UCHAR Adapter::HangUp(NCB* ncb) {
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(ncb->ncb_lsn);
    if (it == sessions_.end()) return NRC_SNUMOUT;
    channel = std::move(it->second.channel);
    sessions_.erase(it);
  }
  channel->HangUp();
  return NRC_GOODRET;
}

}  // namespace plat::nb
