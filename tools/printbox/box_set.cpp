// Many print boxes in one process: their adapters, names and start-up.
#include "box_set.h"

#include <thread>

#include "host/netbios.h"

namespace printbox {
namespace {

std::string Numbered(const std::string& name, const BoxSetConfig& config, std::size_t i, const char* joint) {
  if (!config.numbered) return name;
  return name + joint + std::to_string(config.firstNumber + i);
}

}  // namespace

std::optional<std::string> CheckBoxSet(const BoxSetConfig& config) {
  if (config.count == 0 || config.net.adapter.lana + config.count > kMaxBoxesPerProcess)
    return "one process runs 1 to " + std::to_string(kMaxBoxesPerProcess - config.net.adapter.lana) +
           " boxes from LANA number " + std::to_string(config.net.adapter.lana) +
           ", one LANA number (0 to " + std::to_string(MAX_LANA) + ") each; run more processes with --first-box";
  std::size_t last = config.count - 1;
  if (Numbered(config.box.name, config, last, "").size() > 15)
    return "the numbered box name " + Numbered(config.box.name, config, last, "") + " is longer than 15 characters";
  for (const PortStatus& p : config.box.ports)
    if (Numbered(p.name, config, last, "-").size() > 15)
      return "the numbered port name " + Numbered(p.name, config, last, "-") + " is longer than 15 characters";
  if (config.net.adapter.transport == plat::NetbiosTransportKind::Nbt) {
    const plat::NbtEndpoint& ep = config.net.nbt;
    // The last box's address must stay below the broadcast address without
    // wrapping round.
    if (ep.address > ep.broadcast || ep.broadcast - ep.address <= last)
      return std::to_string(config.count) + " boxes from this address reach the broadcast address";
  }
  return std::nullopt;
}

plat::NetSpec NetOf(const BoxSetConfig& config, std::size_t i) {
  plat::NetSpec net = config.net;
  net.adapter.lana = static_cast<UCHAR>(config.net.adapter.lana + i);
  if (net.adapter.transport == plat::NetbiosTransportKind::Nbt) net.nbt.address += static_cast<uint32_t>(i);
  auto& mac = net.adapter.hardwareAddress;
  if (!config.macGiven && net.adapter.transport == plat::NetbiosTransportKind::Nbt) {
    uint32_t a = net.nbt.address;
    mac = {0x02, 0x00, static_cast<UCHAR>(a >> 24), static_cast<UCHAR>(a >> 16), static_cast<UCHAR>(a >> 8),
           static_cast<UCHAR>(a)};
  } else {
    // The given address plus i, carried over all six bytes.
    unsigned carry = static_cast<unsigned>(i);
    for (int b = 5; b >= 0 && carry; --b) {
      unsigned sum = mac[b] + carry;
      mac[b] = static_cast<UCHAR>(sum);
      carry = sum >> 8;
    }
  }
  return net;
}

BoxConfig BoxConfigOf(const BoxSetConfig& config, std::size_t i) {
  BoxConfig box = config.box;
  box.lana = static_cast<unsigned char>(config.net.adapter.lana + i);
  box.name = Numbered(box.name, config, i, "");
  for (PortStatus& p : box.ports) p.name = Numbered(p.name, config, i, "-");
  return box;
}

BoxSet::BoxSet(BoxSetConfig config) : config_(std::move(config)) {}

BoxSet::~BoxSet() { Stop(); }

bool BoxSet::Start(BoxSetFailure* failure) {
  std::vector<plat::NetSpec> nets;
  for (std::size_t i = 0; i < config_.count; ++i) {
    plat::NetSpec net = NetOf(config_, i);
    // The boxes' adapters are not ones the monitors of this host may claim.
    net.adapter.inAdapterMap = false;
    if (!plat::AddNetAdapter(net)) {
      *failure = {i, net, 0, {}};
      Stop();
      return false;
    }
    lanas_.push_back(net.adapter.lana);
    nets.push_back(net);
    configs_.push_back(BoxConfigOf(config_, i));
    boxes_.push_back(std::make_unique<Box>(configs_.back()));
  }
  // Each box registers its names one after another, and a name waits for the
  // segment's objections: boxes start side by side, or a few hundred would
  // take minutes. The threads end with the start.
  std::vector<unsigned char> codes(boxes_.size(), 0);
  std::vector<std::thread> starters;
  for (std::size_t i = 0; i < boxes_.size(); ++i)
    starters.emplace_back([this, i, &codes] { codes[i] = boxes_[i]->Start(); });
  for (auto& t : starters) t.join();
  for (std::size_t i = 0; i < boxes_.size(); ++i) {
    if (codes[i] == 0) continue;
    *failure = {i, nets[i], codes[i], boxes_[i]->FailedName()};
    Stop();
    return false;
  }
  return true;
}

void BoxSet::Stop() {
  for (auto& box : boxes_) box->Stop();
  boxes_.clear();
  configs_.clear();
  for (UCHAR lana : lanas_) plat::RemoveNetbiosAdapter(lana);
  lanas_.clear();
}

bool BoxSet::SetPortStatus(const std::string& port, std::uint8_t status) {
  for (auto& box : boxes_)
    if (box->SetPortStatus(port, status)) return true;
  return false;
}

BoxStats BoxSet::Stats() const {
  BoxStats sum;
  for (const auto& box : boxes_) {
    BoxStats s = box->Stats();
    sum.pingsHeard += s.pingsHeard;
    sum.reportsSent += s.reportsSent;
    sum.sessions += s.sessions;
    sum.emptySessions += s.emptySessions;
    sum.completeJobs += s.completeJobs;
    sum.incompleteJobs += s.incompleteJobs;
    sum.brokenJobs += s.brokenJobs;
    sum.malformedPackets += s.malformedPackets;
  }
  return sum;
}

}  // namespace printbox
