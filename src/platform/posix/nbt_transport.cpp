// The NetBIOS over TCP/IP transport of one adapter: its name, datagram and
// session services and their receive threads.
#include "nbt_transport.h"

#include <cstring>

namespace plat::nb {
namespace {

std::mutex g_endpointsMutex;
std::map<UCHAR, NbtEndpoint> g_endpoints;

// Names in a node status answer carry the RFC's flags; a NAME_BUFFER has a
// state and a group bit.
constexpr uint16_t kStatusGroup = 0x8000, kStatusDeregistering = 0x1000, kStatusConflict = 0x0800,
                   kStatusActive = 0x0400;

UCHAR NameBufferFlags(uint16_t flags) {
  UCHAR state = (flags & kStatusConflict)       ? DUPLICATE
                : (flags & kStatusDeregistering) ? DEREGISTERED
                : (flags & kStatusActive)        ? REGISTERED
                                                 : REGISTERING;
  return static_cast<UCHAR>(state | ((flags & kStatusGroup) ? GROUP_NAME : UNIQUE_NAME));
}

class NbtTransport;
// The live nbt adapters by LANA number, for the host's controls.
std::mutex g_transportsMutex;
std::map<UCHAR, NbtTransport*> g_transports;

NbtEndpoint EndpointOf(UCHAR lana) {
  std::lock_guard lock(g_endpointsMutex);
  auto it = g_endpoints.find(lana);
  return it == g_endpoints.end() ? NbtEndpoint{} : it->second;
}

class NbtTransport : public Transport {
 public:
  NbtTransport(const NbtEndpoint& ep, const NetbiosAdapterConfig& config, Node* node)
      : lana_(config.lana), names_(ep, config.hardwareAddress, node), datagrams_(ep, node), sessions_(ep, node) {}
  ~NbtTransport() override { Detach(); }

  bool Start() {
    if (!names_.Open() || !datagrams_.Open() || !sessions_.Open()) return false;
    int stop = stop_.Get();
    threads_.emplace_back([this, stop] { names_.Run(stop); });
    threads_.emplace_back([this, stop] { datagrams_.Run(stop); });
    threads_.emplace_back([this, stop] { sessions_.Run(stop); });
    std::lock_guard lock(g_transportsMutex);
    g_transports[lana_] = this;
    return true;
  }

  void SetDrop(NbtDatagramFilter drop) { datagrams_.SetDrop(std::move(drop)); }
  std::size_t CachedNames() { return names_.CachedNames(); }

  UCHAR ClaimName(const Name& name, bool group) override {
    if (detached_.load()) return NRC_BRIDGE;
    return names_.Claim(name, group);
  }

  void ReleaseName(const Name& name, bool group) override {
    if (!detached_.load()) names_.Release(name, group);
  }

  UCHAR SendDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) override {
    if (detached_.load()) return NRC_BRIDGE;
    return datagrams_.Send(from, to, data, names_.CachedUnique(to));
  }

  UCHAR Call(const Name& from, const Name& to, std::shared_ptr<Channel>* channel) override {
    if (detached_.load()) return NRC_BRIDGE;
    if (auto verified = names_.Verified(to)) {
      UCHAR r = sessions_.Call(from, to, *verified, channel);
      if (r == NRC_GOODRET) return r;
      // The holder may have moved or gone: ask the segment once more.
      names_.Unverify(to, *verified);
    }
    bool group = false;
    auto address = names_.Resolve(to, &group);
    // Sessions go to unique names only.
    if (!address || group) return NRC_NOCALL;
    return sessions_.Call(from, to, *address, channel);
  }

  UCHAR NodeStatus(const Name& name, RemoteStatus* status) override {
    if (detached_.load()) return NRC_BRIDGE;
    bool group = false;
    auto address = names_.Resolve(name, &group);
    std::vector<nbt::StatusName> names;
    std::array<uint8_t, 6> mac{};
    if (!address || !names_.NodeStatus(name, *address, &names, &mac)) return NRC_CMDTMO;
    status->hardwareAddress = mac;
    status->names.clear();
    for (const auto& n : names) {
      NAME_BUFFER b{};
      std::memcpy(b.name, n.name.data(), NCBNAMSZ);
      // Name numbers are the other node's own and do not travel; 0 says so.
      b.name_num = 0;
      b.name_flags = NameBufferFlags(n.flags);
      status->names.push_back(b);
    }
    return NRC_GOODRET;
  }

  void Detach() override {
    if (detached_.exchange(true)) return;
    {
      std::lock_guard lock(g_transportsMutex);
      auto it = g_transports.find(lana_);
      if (it != g_transports.end() && it->second == this) g_transports.erase(it);
    }
    stop_.Signal();
    for (auto& t : threads_) t.join();
    threads_.clear();
    sessions_.CloseAll();
  }

 private:
  const UCHAR lana_;
  nbt::NameService names_;
  nbt::DatagramService datagrams_;
  nbt::SessionService sessions_;
  nbt::Wakeup stop_;
  std::vector<std::thread> threads_;
  std::atomic<bool> detached_{false};
};

}  // namespace

void SetNbtEndpoint(UCHAR lana, const NbtEndpoint& endpoint) {
  std::lock_guard lock(g_endpointsMutex);
  g_endpoints[lana] = endpoint;
}

std::unique_ptr<Transport> MakeNbtTransport(const NetbiosAdapterConfig& config, Node* node) {
  auto t = std::make_unique<NbtTransport>(EndpointOf(config.lana), config, node);
  if (!t->Start()) return nullptr;
  return t;
}

}  // namespace plat::nb

namespace plat {

bool SetNbtDatagramDrop(UCHAR lana, NbtDatagramFilter drop) {
  std::lock_guard lock(nb::g_transportsMutex);
  auto it = nb::g_transports.find(lana);
  if (it == nb::g_transports.end()) return false;
  it->second->SetDrop(std::move(drop));
  return true;
}

bool SetNbtDatagramDrop(UCHAR lana, int count) {
  if (count <= 0) return SetNbtDatagramDrop(lana, NbtDatagramFilter());
  auto left = std::make_shared<std::atomic<int>>(count);
  return SetNbtDatagramDrop(lana, [left](const std::array<UCHAR, NCBNAMSZ>&, std::span<const UCHAR>) {
    int n = left->load();
    while (n > 0 && !left->compare_exchange_weak(n, n - 1)) {
    }
    return n > 0;
  });
}

std::size_t NbtCachedNames(UCHAR lana) {
  std::lock_guard lock(nb::g_transportsMutex);
  auto it = nb::g_transports.find(lana);
  return it == nb::g_transports.end() ? 0 : it->second->CachedNames();
}

}  // namespace plat
