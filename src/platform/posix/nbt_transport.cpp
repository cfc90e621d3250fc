// The NetBIOS over TCP/IP transport of one adapter: its name, datagram and
// session services and their receive threads.
#include "nbt_transport.h"

namespace plat::nb {
namespace {

std::mutex g_endpointsMutex;
std::map<UCHAR, NbtEndpoint> g_endpoints;

NbtEndpoint EndpointOf(UCHAR lana) {
  std::lock_guard lock(g_endpointsMutex);
  auto it = g_endpoints.find(lana);
  return it == g_endpoints.end() ? NbtEndpoint{} : it->second;
}

class NbtTransport : public Transport {
 public:
  NbtTransport(const NbtEndpoint& ep, const NetbiosAdapterConfig& config, Node* node)
      : names_(ep, config.hardwareAddress, node), datagrams_(ep, node), sessions_(ep, node) {}
  ~NbtTransport() override { Detach(); }

  bool Start() {
    if (!names_.Open() || !datagrams_.Open() || !sessions_.Open()) return false;
    int stop = stop_.Get();
    threads_.emplace_back([this, stop] { names_.Run(stop); });
    threads_.emplace_back([this, stop] { datagrams_.Run(stop); });
    threads_.emplace_back([this, stop] { sessions_.Run(stop); });
    return true;
  }

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
    bool group = false;
    auto address = names_.Resolve(to, &group);
    // Sessions go to unique names only.
    if (!address || group) return NRC_NOCALL;
    return sessions_.Call(from, to, *address, channel);
  }

  void Detach() override {
    if (detached_.exchange(true)) return;
    stop_.Signal();
    for (auto& t : threads_) t.join();
    threads_.clear();
    sessions_.CloseAll();
  }

 private:
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
