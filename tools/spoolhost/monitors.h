// The port monitors spoolhost loads: installed under the spooler's Monitors
// key, loaded through the loader, started with InitializeMonitorEx.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/monitor_table.h"

namespace spoolhost {

inline constexpr const char* kMonitorsKey = "System\\CurrentControlSet\\Control\\Print\\Monitors";
inline constexpr const char* kVarnholdName = "Varnhold";
inline constexpr const char* kVarnholdDriver = "TAVRO.so";

struct LoadedMonitor {
  std::string name;     // the key's name ("Varnhold")
  std::string keyPath;  // under HKEY_LOCAL_MACHINE, as InitializeMonitorEx receives it
  std::string driver;   // the "Driver" value
  std::string path;     // the file loaded
  HMODULE module = nullptr;
  MONITOR table{};
  bool initialised = false;
  std::string error;  // why it is not running
};

struct PortEntry {
  std::string name;
  std::string monitorName;  // PORT_INFO_2 only
  std::string description;  // PORT_INFO_2 only
  std::size_t monitor = 0;  // index of the monitor that lists it
};

class Monitors {
 public:
  using Logger = std::function<void(const std::string&)>;
  // `moduleDir` is where a "Driver" without a directory is looked for.
  Monitors(Logger log, std::string moduleDir) : log_(std::move(log)), moduleDir_(std::move(moduleDir)) {}

  // Installs the Varnhold monitor when it is not installed yet; with a module
  // path given, (re)points its "Driver" at that file.
  bool InstallVarnhold(const std::string& modulePath, std::string* error);
  // Loads and starts every installed monitor, in the order of their keys.
  void LoadAll();
  // Unloads the monitors in the order they were loaded; FreeLibrary runs each
  // one's detach (ShutdownMonitor). `step` hears one line per monitor.
  void UnloadAll(const std::function<void(const std::string&)>& step);

  std::vector<LoadedMonitor> List() const;
  bool AnyRunning() const;
  // The table of monitor `index` (running monitors only).
  const MONITOR* Table(std::size_t index) const;
  const std::string& Name(std::size_t index) const { return monitors_[index].name; }

  // EnumPorts of every running monitor, at level 1 or 2.
  bool EnumPorts(int level, std::vector<PortEntry>* ports, std::string* error) const;
  // The monitor that lists the port (exact name), if any.
  std::optional<std::size_t> OwnerOf(const std::string& port) const;

 private:
  std::string Resolve(const std::string& driver) const;
  void Load(LoadedMonitor& monitor);

  Logger log_;
  std::string moduleDir_;
  std::vector<LoadedMonitor> monitors_;  // fixed once LoadAll has run
};

}  // namespace spoolhost
