// The datagram service of a NetBIOS over TCP/IP broadcast node: direct
// unique and group datagrams, split into fragments when longer than one
// packet allows and put back together on receipt.
#include <poll.h>

#include <random>

#include "nbt_transport.h"

namespace plat::nbt {
namespace {

// Fragments of one datagram arrive close together; an incomplete one older
// than this is dropped, and only so many are kept at once.
constexpr auto kReassemblyTime = std::chrono::seconds(2);
constexpr std::size_t kMaxPartials = 32;
constexpr std::size_t kMaxDatagramData = 65535;
// Room for the reports of a thousand boxes arriving at once.
constexpr int kBurstBuffer = 2 << 20;

bool IsBroadcastName(const Name& n) {
  if (n[0] != '*') return false;
  for (std::size_t i = 1; i < n.size(); ++i)
    if (n[i] != 0 && n[i] != ' ') return false;
  return true;
}

}  // namespace

DatagramService::DatagramService(const NbtEndpoint& ep, nb::Node* node)
    : ep_(ep), node_(node), nextId_(static_cast<uint16_t>(std::random_device{}())) {}

bool DatagramService::Open() {
  if (!unicast_.Open(ep_.address, ep_.datagramPort, true) || !broadcast_.Open(ep_.broadcast, ep_.datagramPort, true))
    return false;
  // Every box on the segment answers a ping at once, and the reports come by
  // broadcast: the system's default buffer (about 200 KB, a hundred or two
  // reports as the kernel counts them) loses the rest of a burst of a
  // thousand boxes before this node's thread reads them, where a NetBIOS
  // driver would have buffered them.
  broadcast_.SetReceiveBuffer(kBurstBuffer);
  unicast_.SetReceiveBuffer(kBurstBuffer);
  return true;
}

uint8_t DatagramService::Send(const Name& from, const Name& to, std::span<const uint8_t> data,
                              std::optional<uint32_t> unique) {
  // Names of this node hear the datagram too, as they would on a shared
  // medium; our own broadcasts are not read back.
  node_->DeliverDatagram(from, to, data);
  if (unique && *unique == ep_.address) return NRC_GOODRET;
  {
    std::lock_guard lock(dropMutex_);
    if (drop_ && drop_(to, data)) return NRC_GOODRET;
  }
  DatagramPacket p;
  p.type = unique ? kDirectUnique : IsBroadcastName(to) ? kBroadcastDatagram : kDirectGroup;
  p.id = ++nextId_;
  p.sourceAddress = ep_.address;
  p.sourcePort = ep_.datagramPort;
  p.source = from;
  p.destination = to;
  uint32_t target = unique ? *unique : ep_.broadcast;
  for (const Bytes& packet : BuildDatagramFragments(p, data))
    if (!SendUdp(unicast_.Get(), packet, target, ep_.datagramPort)) return NRC_GOODRET;  // lost, as datagrams may be
  return NRC_GOODRET;
}

void DatagramService::SetDrop(NbtDatagramFilter drop) {
  std::lock_guard lock(dropMutex_);
  drop_ = std::move(drop);
}

void DatagramService::Run(int stopFd) {
  ServeUdp(stopFd, unicast_, broadcast_, ep_.address, ep_.datagramPort,
           [this](const Bytes& packet, uint32_t from, uint16_t port) {
             if (auto p = ParseDatagramPacket(packet)) Handle(std::move(*p), from, port);
           });
}

void DatagramService::Handle(DatagramPacket p, uint32_t from, uint16_t port) {
  if (p.type == kDatagramError) return;
  bool first = p.flags & kDgmFirst, more = p.flags & kDgmMore;
  if (first && !more) {
    // Whole, whatever its length: some senders do not fragment.
    node_->DeliverDatagram(p.source, p.destination, p.data);
    return;
  }
  auto now = std::chrono::steady_clock::now();
  for (auto it = partials_.begin(); it != partials_.end();)
    it = now - it->second.started > kReassemblyTime ? partials_.erase(it) : std::next(it);
  // Keyed by where the packet came from, not what it claims as its source.
  auto key = std::make_tuple(from, port, p.id);
  if (first) {
    if (partials_.size() >= kMaxPartials && !partials_.count(key)) return;
    partials_[key] = {p.source, p.destination, std::move(p.data), now};
    return;
  }
  auto it = partials_.find(key);
  if (it == partials_.end()) return;
  Partial& part = it->second;
  // Fragments come in order on one path; a gap, an overlap, or a change of
  // names drops the whole datagram.
  if (p.offset != part.data.size() || p.source != part.source || p.destination != part.destination ||
      part.data.size() + p.data.size() > kMaxDatagramData) {
    partials_.erase(it);
    return;
  }
  part.data.insert(part.data.end(), p.data.begin(), p.data.end());
  if (more) return;
  Partial done = std::move(part);
  partials_.erase(it);
  node_->DeliverDatagram(done.source, done.destination, done.data);
}

}  // namespace plat::nbt
