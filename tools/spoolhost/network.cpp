// The network of the daemon: its NetBIOS adapters and the print boxes it runs
// in-process on the loop segment.
#include "network.h"

#include <filesystem>
#include <set>

#include "host/netbios.h"
#include "print_box.h"
#include "net_check.h"

namespace spoolhost {

using tools::BoxPortSpec;
using tools::BoxSpec;
using tools::DescribeNbtBindFailure;
using tools::DescribeNet;
using tools::MacText;
using tools::NetSpec;
using tools::ParseNetSpec;
using tools::PortStateName;
using tools::StateDir;


struct Network::RunningBox {
  BoxInfo info;
  std::unique_ptr<printbox::Box> box;
};

Network::Network(Logger log) : log_(std::move(log)) {}
Network::~Network() { Stop(); }

bool Network::AddAdapters(const std::vector<NetSpec>& given, std::string* error) {
  std::vector<NetSpec> specs = given;
  if (specs.empty()) specs.push_back(*ParseNetSpec("loop:lan0,lana=0", error));
  std::set<int> taken;
  for (const NetSpec& s : specs)
    if (s.lanaGiven) taken.insert(s.net.adapter.lana);
  int next = 0;
  for (NetSpec s : specs) {
    if (!s.lanaGiven) {
      while (taken.count(next) != 0) ++next;
      s.net.adapter.lana = static_cast<UCHAR>(next);
      taken.insert(next);
    }
    const int lana = s.net.adapter.lana;
    // A locally administered address that tells the loop adapters apart; an
    // nbt adapter's comes from its IPv4 address.
    if (!s.macGiven) s.net.adapter.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, static_cast<UCHAR>(lana + 1)};
    s.net.adapter.inAdapterMap = true;
    for (const AdapterInfo& a : Adapters())
      if (a.lana == lana) {
        *error = "LANA number " + std::to_string(lana) + " is given to two adapters";
        return false;
      }
    if (!plat::AddNetAdapter(s.net)) {
      *error = "cannot add adapter lana " + std::to_string(lana) + " on " + DescribeNet(s.net) + ": " +
               (s.IsNbt() ? DescribeNbtBindFailure(s.net.nbt) : "the LANA number is taken");
      return false;
    }
    std::lock_guard lock(mutex_);
    adapters_.push_back(AdapterInfo{lana, s.net});
    log_("adapter lana " + std::to_string(lana) + " on " + DescribeNet(s.net) + ", hardware address " +
         MacText(s.net.adapter.hardwareAddress));
  }
  if (!plat::WriteNetbiosAdapterMap()) {
    *error = "cannot write the NetBIOS adapter map into the registry";
    return false;
  }
  return true;
}

bool Network::StartBoxes(const std::vector<BoxSpec>& specs, const StateDir& dir, std::string* error) {
  std::string segment;
  {
    std::lock_guard lock(mutex_);
    for (const AdapterInfo& a : adapters_)
      if (a.IsLoop()) {
        segment = a.net.adapter.segment;
        break;
      }
  }
  if (segment.empty() && !specs.empty()) {
    *error = "in-process print boxes run on the loop segment, and no adapter is on it";
    return false;
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
      *error = "no free LANA number for print box " + spec.name + ": each in-process box takes one of the " +
               std::to_string(MAX_LANA + 1) + " LANA numbers (0 to " + std::to_string(MAX_LANA) +
               ") beside the monitor's adapters; run more boxes as separate processes with printbox start --net nbt:...";
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
  *error = "no print box named " + box + " runs in this daemon (a box in its own process: printbox --state DIR "
           "set-status PORT STATE)";
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
