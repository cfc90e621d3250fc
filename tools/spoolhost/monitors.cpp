// The port monitors spoolhost loads: installed under the spooler's Monitors
// key, loaded through the loader, started with InitializeMonitorEx.
#include "monitors.h"

#include <chrono>
#include <cstring>

#include "host/loader.h"
#include "registry_key.h"

namespace spoolhost {

bool Monitors::InstallVarnhold(const std::string& modulePath, std::string* error) {
  const std::string key = std::string(kMonitorsKey) + "\\" + kVarnholdName;
  RegKey existing;
  if (modulePath.empty() && existing.Open(key) && existing.String("Driver")) return true;
  RegKey created;
  if (!created.Create(key) || !created.SetString("Driver", modulePath.empty() ? kVarnholdDriver : modulePath)) {
    *error = "cannot install the Varnhold monitor under HKEY_LOCAL_MACHINE\\" + key;
    return false;
  }
  log_("installed the Varnhold monitor (" + key + ", Driver=" +
       (modulePath.empty() ? std::string(kVarnholdDriver) : modulePath) + ")");
  return true;
}

std::string Monitors::Resolve(const std::string& driver) const {
  if (driver.find('/') != std::string::npos || driver.find('\\') != std::string::npos) return driver;
  return moduleDir_ + "/" + driver;
}

void Monitors::Load(LoadedMonitor& m) {
  m.path = Resolve(m.driver);
  m.module = LoadLibraryA(m.path.c_str());
  if (m.module == nullptr) {
    m.error = "cannot load " + m.path + " (error " + std::to_string(GetLastError()) + ")";
    return;
  }
  auto init = plat::ProcAddress<PFN_INITIALIZE_MONITOR_EX>(m.module, INITIALIZE_MONITOR_EX_NAME);
  if (init == nullptr) {
    m.error = m.path + " exports no " INITIALIZE_MONITOR_EX_NAME;
    return;
  }
  // The monitor keeps its own copy of the root; the buffer only has to be writable.
  std::vector<char> root(m.keyPath.begin(), m.keyPath.end());
  root.push_back('\0');
  MONITOR table{};
  if (!init(root.data(), &table)) {
    m.error = INITIALIZE_MONITOR_EX_NAME " failed (the monitor's log says why)";
    return;
  }
  m.table = table;
  m.initialised = true;
}

void Monitors::LoadAll() {
  RegKey monitorsKey;
  if (!monitorsKey.Open(kMonitorsKey)) return;
  for (const std::string& name : monitorsKey.SubKeys()) {
    LoadedMonitor m;
    m.name = name;
    m.keyPath = std::string(kMonitorsKey) + "\\" + name;
    RegKey key;
    if (key.Open(m.keyPath)) m.driver = key.String("Driver").value_or("");
    if (m.driver.empty()) {
      m.error = "no \"Driver\" value";
    } else {
      log_("loading monitor " + name + " from " + Resolve(m.driver));
      Load(m);
    }
    log_(m.initialised ? "monitor " + name + " initialised" : "monitor " + name + " failed: " + m.error);
    monitors_.push_back(m);
  }
}

void Monitors::UnloadAll(const std::function<void(const std::string&)>& step) {
  for (LoadedMonitor& m : monitors_) {
    if (m.module == nullptr) continue;
    auto begin = std::chrono::steady_clock::now();
    step("unloading monitor " + m.name + " (ShutdownMonitor runs in its detach)...");
    FreeLibrary(m.module);
    m.module = nullptr;
    m.initialised = false;
    m.table = MONITOR{};
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f", seconds);
    step("monitor " + m.name + " unloaded (" + buf + " s)");
    m.error = "unloaded";
  }
}

std::vector<LoadedMonitor> Monitors::List() const { return monitors_; }

bool Monitors::AnyRunning() const {
  for (const LoadedMonitor& m : monitors_)
    if (m.initialised) return true;
  return false;
}

const MONITOR* Monitors::Table(std::size_t index) const {
  if (index >= monitors_.size() || !monitors_[index].initialised) return nullptr;
  return &monitors_[index].table;
}

bool Monitors::EnumPorts(int level, std::vector<PortEntry>* ports, std::string* error) const {
  for (std::size_t i = 0; i < monitors_.size(); ++i) {
    const MONITOR* table = Table(i);
    if (table == nullptr || table->pfnEnumPorts == nullptr) continue;
    // The usual two calls; the set of ports may grow between them, so try again.
    std::vector<BYTE> buffer;
    DWORD needed = 0, returned = 0;
    bool done = false;
    for (int attempt = 0; attempt < 5 && !done; ++attempt) {
      SetLastError(0);
      if (table->pfnEnumPorts(nullptr, static_cast<DWORD>(level), buffer.empty() ? nullptr : buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed, &returned)) {
        done = true;
        break;
      }
      if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        *error = "EnumPorts of " + monitors_[i].name + " failed (error " + std::to_string(GetLastError()) + ")";
        return false;
      }
      if (needed == 0) {  // no ports: a zero-sized buffer is refused, so there is nothing to list
        returned = 0;
        done = true;
        break;
      }
      buffer.assign(needed, 0);
    }
    if (!done) {
      *error = "EnumPorts of " + monitors_[i].name + " kept changing size";
      return false;
    }
    for (DWORD k = 0; k < returned; ++k) {
      PortEntry e;
      e.monitor = i;
      if (level == 1) {
        const auto* info = reinterpret_cast<const PORT_INFO_1*>(buffer.data()) + k;
        e.name = info->pName ? info->pName : "";
      } else {
        const auto* info = reinterpret_cast<const PORT_INFO_2*>(buffer.data()) + k;
        e.name = info->pPortName ? info->pPortName : "";
        e.monitorName = info->pMonitorName ? info->pMonitorName : "";
        e.description = info->pDescription ? info->pDescription : "";
      }
      ports->push_back(e);
    }
  }
  return true;
}

std::optional<std::size_t> Monitors::OwnerOf(const std::string& port) const {
  std::vector<PortEntry> ports;
  std::string error;
  if (!EnumPorts(1, &ports, &error)) return std::nullopt;
  for (const PortEntry& p : ports)
    if (p.name == port) return p.monitor;
  return std::nullopt;
}

}  // namespace spoolhost
