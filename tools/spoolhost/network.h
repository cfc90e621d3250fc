// The network of the daemon: its NetBIOS adapters and the print boxes it runs
// in-process on the loop segment.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "specs.h"
#include "state_dir.h"

namespace printbox {
class Box;
}

namespace spoolhost {

struct AdapterInfo {
  int lana;
  plat::NetSpec net;  // with the LANA number and hardware address it got
  std::string Describe() const { return tools::DescribeNet(net); }
  bool IsLoop() const { return net.adapter.transport == plat::NetbiosTransportKind::Loop; }
};

struct BoxInfo {
  std::string name;
  int lana;
  std::string segment;
  std::string outDir;
  std::vector<tools::BoxPortSpec> ports;  // with their current states
  std::size_t completeJobs = 0;
};

class Network {
 public:
  using Logger = std::function<void(const std::string&)>;
  explicit Network(Logger log);
  ~Network();

  // Adds the adapters (default: one on loop:lan0) and writes the system's
  // adapter map into the registry. False with a one-line reason.
  bool AddAdapters(const std::vector<tools::NetSpec>& specs, std::string* error);
  // Starts the in-process boxes on the segment of the first loop adapter
  // (the command line makes sure there is one when boxes are given).
  bool StartBoxes(const std::vector<tools::BoxSpec>& specs, const tools::StateDir& dir, std::string* error);
  bool SetPortState(const std::string& box, const std::string& port, std::uint8_t state, std::string* error);
  void Stop();

  std::vector<AdapterInfo> Adapters() const;
  std::vector<BoxInfo> Boxes() const;

 private:
  struct RunningBox;
  Logger log_;
  mutable std::mutex mutex_;
  std::vector<AdapterInfo> adapters_;
  std::vector<std::unique_ptr<RunningBox>> boxes_;
};

}  // namespace spoolhost
