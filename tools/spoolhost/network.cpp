// The network of the daemon: its NetBIOS adapters and the print boxes it runs
// in-process on the loop segment.
#include "network.h"

#include <filesystem>
#include <set>

#include "host/netbios.h"
#include "print_box.h"
#include "registry_key.h"

namespace spoolhost {

namespace {

// The system's map of NetBIOS transports to LANA numbers, as the operating
// system writes it at start: one "ncacn_nb_nb<N>" value per adapter, whose
// text begins with the LANA digit. Values of earlier runs are dropped first.
bool WriteAdapterMap(const std::vector<AdapterInfo>& adapters) {
  RegKey key;
  if (!key.Create("SOFTWARE\\Microsoft\\Rpc\\Netbios")) return false;
  std::vector<std::string> stale;
  for (DWORD i = 0;; ++i) {
    char name[256] = {};
    DWORD size = sizeof name;
    if (RegEnumValueA(key.Get(), i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    if (std::string(name).compare(0, 11, "ncacn_nb_nb") == 0) stale.push_back(name);
  }
  for (const std::string& name : stale) RegDeleteValueA(key.Get(), name.c_str());
  bool ok = true;
  for (const AdapterInfo& a : adapters)
    ok &= key.SetString("ncacn_nb_nb" + std::to_string(a.lana), std::to_string(a.lana));
  return ok;
}

}  // namespace

struct Network::RunningBox {
  BoxInfo info;
  std::unique_ptr<printbox::Box> box;
};

Network::Network(Logger log) : log_(std::move(log)) {}
Network::~Network() { Stop(); }

bool Network::AddAdapters(const std::vector<NetSpec>& given, std::string* error) {
  std::vector<NetSpec> specs = given;
  if (specs.empty()) {
    std::string ignored;
    specs.push_back(*ParseNetSpec("loop:lan0,lana=0", &ignored));
  }
  std::set<int> taken;
  for (const NetSpec& s : specs)
    if (s.lana) taken.insert(*s.lana);
  int next = 0;
  for (const NetSpec& s : specs) {
    int lana = s.lana.value_or(-1);
    if (lana < 0) {
      while (taken.count(next) != 0) ++next;
      lana = next;
      taken.insert(lana);
    }
    plat::NetbiosAdapterConfig config;
    config.lana = static_cast<UCHAR>(lana);
    config.segment = s.segment;
    config.transport = plat::NetbiosTransportKind::Loop;
    // A locally administered address that tells the adapters apart.
    std::array<std::uint8_t, 6> mac = s.mac.value_or(std::array<std::uint8_t, 6>{0x02, 0x00, 0x00, 0x00, 0x00,
                                                                                  static_cast<std::uint8_t>(lana + 1)});
    std::copy(mac.begin(), mac.end(), config.hardwareAddress.begin());
    if (!plat::AddNetbiosAdapter(config)) {
      *error = "cannot add adapter lana " + std::to_string(lana) + " on loop:" + s.segment +
               " (is the LANA number given twice?)";
      return false;
    }
    std::lock_guard lock(mutex_);
    adapters_.push_back(AdapterInfo{lana, s.transport, s.segment, mac});
    log_("adapter lana " + std::to_string(lana) + " on " + s.transport + ":" + s.segment);
  }
  if (!WriteAdapterMap(Adapters())) {
    *error = "cannot write the NetBIOS adapter map into the registry";
    return false;
  }
  return true;
}

bool Network::StartBoxes(const std::vector<BoxSpec>& specs, const StateDir& dir, std::string* error) {
  std::string segment;
  {
    std::lock_guard lock(mutex_);
    if (!adapters_.empty()) segment = adapters_.front().segment;
  }
  // Boxes take LANA numbers from the top, out of the way of the monitor's.
  int lana = MAX_LANA;
  for (const BoxSpec& spec : specs) {
    for (const auto& running : boxes_)
      if (running->info.name == spec.name) {
        *error = "print box " + spec.name + " given twice";
        return false;
      }
    plat::NetbiosAdapterConfig config;
    config.segment = segment;
    config.transport = plat::NetbiosTransportKind::Loop;
    config.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<UCHAR>(boxes_.size() + 1)};
    config.inAdapterMap = false;  // the box's adapter is not the monitor's
    for (; lana > 0; --lana) {
      config.lana = static_cast<UCHAR>(lana);
      if (plat::AddNetbiosAdapter(config)) break;
    }
    if (lana == 0) {
      *error = "no free LANA number for print box " + spec.name;
      return false;
    }
    auto running = std::make_unique<RunningBox>();
    running->info.name = spec.name;
    running->info.lana = lana;
    running->info.segment = segment;
    running->info.outDir = spec.outDir.empty() ? dir.BoxDir(spec.name) : spec.outDir;
    running->info.ports = spec.ports;
    std::error_code ec;
    std::filesystem::create_directories(running->info.outDir, ec);
    if (ec) {
      *error = "cannot create " + running->info.outDir + ": " + ec.message();
      return false;
    }
    printbox::BoxConfig config2;
    config2.lana = static_cast<unsigned char>(lana);
    config2.name = spec.name;
    for (const BoxPortSpec& p : spec.ports) config2.ports.push_back(printbox::PortStatus{p.name, p.state});
    config2.outputDir = running->info.outDir;
    config2.keepJobsInMemory = false;
    running->box = std::make_unique<printbox::Box>(config2);
    if (unsigned char rc = running->box->Start(); rc != 0) {
      char code[8];
      std::snprintf(code, sizeof code, "%02X", rc);
      *error = "print box " + spec.name + " cannot start (NetBIOS code " + code +
               "; are its port names taken by another box?)";
      plat::RemoveNetbiosAdapter(static_cast<UCHAR>(lana));
      return false;
    }
    std::string ports;
    for (const BoxPortSpec& p : spec.ports) ports += " " + p.name + "=" + PortStateName(p.state);
    log_("print box " + spec.name + " on loop:" + segment + " (lana " + std::to_string(lana) + "), ports" + ports +
         ", jobs to " + running->info.outDir);
    std::lock_guard lock(mutex_);
    boxes_.push_back(std::move(running));
    --lana;
  }
  return true;
}

bool Network::SetPortState(const std::string& box, const std::string& port, std::uint8_t state, std::string* error) {
  std::lock_guard lock(mutex_);
  for (auto& running : boxes_) {
    if (running->info.name != box) continue;
    for (BoxPortSpec& p : running->info.ports) {
      if (p.name != port) continue;
      if (!running->box->SetPortStatus(port, state)) {
        *error = "box " + box + " refused the state of port " + port;
        return false;
      }
      p.state = state;
      return true;
    }
    *error = "box " + box + " has no port " + port;
    return false;
  }
  *error = "no print box named " + box + " runs in this daemon";
  return false;
}

void Network::Stop() {
  std::vector<std::unique_ptr<RunningBox>> boxes;
  {
    std::lock_guard lock(mutex_);
    boxes.swap(boxes_);
  }
  for (auto& running : boxes) {
    running->box->Stop();
    plat::RemoveNetbiosAdapter(static_cast<UCHAR>(running->info.lana));
  }
}

std::vector<AdapterInfo> Network::Adapters() const {
  std::lock_guard lock(mutex_);
  return adapters_;
}

std::vector<BoxInfo> Network::Boxes() const {
  std::lock_guard lock(mutex_);
  std::vector<BoxInfo> out;
  for (const auto& running : boxes_) {
    BoxInfo info = running->info;
    info.completeJobs = running->box->Stats().completeJobs;
    out.push_back(info);
  }
  return out;
}

}  // namespace spoolhost
