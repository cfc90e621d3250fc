// The NetBIOS service: the table of adapters behind Netbios(), and its host
// controls.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <thread>

#include "../host/clock.h"
#include "../host/nbt.h"
#include "../host/netbios.h"
#include "netbios_adapter.h"

namespace plat {
namespace {

struct Service {
  std::mutex mutex;
  std::map<UCHAR, std::shared_ptr<nb::Adapter>> adapters;
  std::function<void(const NCB&)> trace;
};

Service& TheService() {
  static Service service;
  return service;
}

std::atomic<int> g_waiters{0};

// Runs the ncb_post routines of ASYNCH commands, one after another in the
// order they ended, on one thread for the whole process: a routine may issue
// commands again, which it could not do under the adapter's lock, and a host
// with many nodes waits on them all without a thread each. Started with the
// first command that ends; ends with the process.
class Completions {
 public:
  ~Completions() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    ready_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  void Post(NCB* ncb, UCHAR result) {
    std::lock_guard lock(mutex_);
    queue_.push_back({ncb, result});
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    ready_.notify_one();
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      ready_.wait(lock, [this] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      auto [ncb, result] = queue_.front();
      queue_.pop_front();
      lock.unlock();
      ncb->ncb_retcode = result;
      ncb->ncb_cmd_cplt = result;
      ncb->ncb_post(ncb);
      lock.lock();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::pair<NCB*, UCHAR>> queue_;
  bool stop_ = false;
  std::thread thread_;
};

Completions& TheCompletions() {
  static Completions completions;
  return completions;
}

std::shared_ptr<nb::Adapter> FindAdapter(UCHAR lana) {
  Service& s = TheService();
  std::lock_guard lock(s.mutex);
  auto it = s.adapters.find(lana);
  return it == s.adapters.end() ? nullptr : it->second;
}

// One look at the table per command: the trace hook, run only when one is
// set, and the command's adapter.
std::shared_ptr<nb::Adapter> EnterCommand(NCB* ncb) {
  std::function<void(const NCB&)> trace;
  std::shared_ptr<nb::Adapter> adapter;
  {
    Service& s = TheService();
    std::lock_guard lock(s.mutex);
    if (s.trace) trace = s.trace;
    auto it = s.adapters.find(ncb->ncb_lana_num);
    if (it != s.adapters.end()) adapter = it->second;
  }
  if (trace) trace(*ncb);
  return adapter;
}

UCHAR Enumerate(NCB* ncb) {
  if (!ncb->ncb_buffer || ncb->ncb_length == 0) return NRC_BUFLEN;
  std::vector<UCHAR> lanas;
  {
    Service& s = TheService();
    std::lock_guard lock(s.mutex);
    for (const auto& [lana, adapter] : s.adapters) lanas.push_back(lana);
  }
  std::size_t room = std::min<std::size_t>(ncb->ncb_length - 1u, MAX_LANA + 1);
  std::size_t n = std::min(room, lanas.size());
  ncb->ncb_buffer[0] = static_cast<UCHAR>(n);
  std::copy_n(lanas.begin(), n, ncb->ncb_buffer + 1);
  return n < lanas.size() ? NRC_BUFLEN : NRC_GOODRET;
}

}  // namespace

namespace nb {
void AddWaiters(int delta) { g_waiters.fetch_add(delta); }
void PostCompletion(NCB* ncb, UCHAR result) { TheCompletions().Post(ncb, result); }
}  // namespace nb

bool AddNetbiosAdapter(const NetbiosAdapterConfig& config) {
  Service& s = TheService();
  std::lock_guard lock(s.mutex);
  if (s.adapters.count(config.lana)) return false;
  auto adapter = std::make_shared<nb::Adapter>(config);
  if (!adapter->Start()) return false;
  s.adapters[config.lana] = std::move(adapter);
  return true;
}

bool RemoveNetbiosAdapter(UCHAR lana) {
  std::shared_ptr<nb::Adapter> adapter;
  {
    Service& s = TheService();
    std::lock_guard lock(s.mutex);
    auto it = s.adapters.find(lana);
    if (it == s.adapters.end()) return false;
    adapter = std::move(it->second);
    s.adapters.erase(it);
  }
  adapter->Shutdown();
  return true;
}

void ResetNetbios() {
  std::map<UCHAR, std::shared_ptr<nb::Adapter>> adapters;
  {
    Service& s = TheService();
    std::lock_guard lock(s.mutex);
    adapters.swap(s.adapters);
    s.trace = nullptr;
  }
  for (auto& [lana, adapter] : adapters) adapter->Shutdown();
  SetNbtLog(nullptr);
}

std::vector<NetbiosAdapterConfig> NetbiosAdapters() {
  Service& s = TheService();
  std::lock_guard lock(s.mutex);
  std::vector<NetbiosAdapterConfig> out;
  for (const auto& [lana, adapter] : s.adapters) out.push_back(adapter->Config());
  return out;
}

bool SetNetbiosSessionLimit(UCHAR lana, int limit) {
  auto adapter = FindAdapter(lana);
  if (!adapter) return false;
  adapter->SetSessionLimit(limit);
  return true;
}

std::optional<std::uint64_t> NetbiosDroppedDatagrams(UCHAR lana) {
  auto adapter = FindAdapter(lana);
  if (!adapter) return std::nullopt;
  return adapter->DroppedDatagrams();
}

UCHAR NetbiosReceiveStream(NCB* ncb) {
  auto adapter = EnterCommand(ncb);
  UCHAR result = adapter ? adapter->ReceiveStream(ncb) : NRC_BRIDGE;
  ncb->ncb_retcode = result;
  ncb->ncb_cmd_cplt = result;
  return result;
}

void SetNetbiosTrace(std::function<void(const NCB&)> trace) {
  Service& s = TheService();
  std::lock_guard lock(s.mutex);
  s.trace = std::move(trace);
}

int NetbiosWaiterCount() { return g_waiters.load(); }

bool WaitForQuiet(int count, std::chrono::milliseconds realTimeout) {
  auto deadline = std::chrono::steady_clock::now() + realTimeout;
  while (SleeperCount() + NetbiosWaiterCount() < count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

}  // namespace plat

UCHAR APIENTRY Netbios(PNCB pncb) {
  if (!pncb) return NRC_INVADDRESS;
  std::shared_ptr<plat::nb::Adapter> adapter = plat::EnterCommand(pncb);

  UCHAR result;
  if (pncb->ncb_command & ASYNCH) {
    // Only the two commands that wait for the network may end later, and
    // only through a post routine: hosts of many nodes post them instead of
    // keeping a thread in each. The module waits for all its commands.
    if (!adapter) return pncb->ncb_retcode = pncb->ncb_cmd_cplt = NRC_BRIDGE;
    pncb->ncb_retcode = pncb->ncb_cmd_cplt = NRC_PENDING;
    result = adapter->Submit(pncb);
    if (result != NRC_GOODRET) pncb->ncb_retcode = pncb->ncb_cmd_cplt = result;
    return result;
  } else if (pncb->ncb_command == NCBENUM) {
    result = plat::Enumerate(pncb);
  } else if (adapter) {
    result = adapter->Execute(pncb);
  } else {
    result = NRC_BRIDGE;
  }
  pncb->ncb_retcode = result;
  pncb->ncb_cmd_cplt = result;
  return result;
}
