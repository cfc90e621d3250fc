// Many print boxes in one process, for scale tests, demos and benchmarks:
// each its own NetBIOS node on its own address (the first box's address, the
// next one, ...) with its own names and ports.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/nbt.h"
#include "print_box.h"

namespace printbox {

// A process addresses its adapters by an 8-bit LANA number, one per box.
constexpr std::size_t kMaxBoxesPerProcess = MAX_LANA + 1;

struct BoxSetConfig {
  // The first box's adapter; box i is on its address + i, its LANA number + i
  // and its hardware address + i (given, or made from each address as usual).
  plat::NetSpec net;
  bool macGiven = false;
  std::size_t count = 1;
  // With more than one box, or a first number given, box k is named the box
  // name with k after it ("BOX7") and its ports the port names with "-k"
  // ("P1-7"), so that the boxes of several processes can share a segment.
  std::size_t firstNumber = 1;
  bool numbered = false;
  // The name, ports and job handling every box shares; lana is set per box.
  BoxConfig box;
};

// Why the set did not start: which box, and whether its adapter could not be
// opened (code 0) or a name could not be registered (the NetBIOS code).
struct BoxSetFailure {
  std::size_t box = 0;  // index
  plat::NetSpec net;
  unsigned char code = 0;
  std::string name;  // the name whose registration failed, if one did
};

// The error in words, or nothing when the set can run: too many boxes for one
// process, names that would grow past 15 characters, addresses that leave
// the subnet.
std::optional<std::string> CheckBoxSet(const BoxSetConfig& config);

// Box i's adapter and box configuration.
plat::NetSpec NetOf(const BoxSetConfig& config, std::size_t i);
BoxConfig BoxConfigOf(const BoxSetConfig& config, std::size_t i);

class BoxSet {
 public:
  explicit BoxSet(BoxSetConfig config);
  ~BoxSet();
  BoxSet(const BoxSet&) = delete;
  BoxSet& operator=(const BoxSet&) = delete;

  // Opens every adapter and starts every box; on failure stops what started.
  bool Start(BoxSetFailure* failure);
  void Stop();

  std::size_t Size() const { return boxes_.size(); }
  Box& At(std::size_t i) { return *boxes_[i]; }
  const BoxConfig& ConfigOf(std::size_t i) const { return configs_[i]; }
  // Sets the state of a port of whichever box has it.
  bool SetPortStatus(const std::string& port, std::uint8_t status);
  // The statistics of all boxes added up.
  BoxStats Stats() const;

 private:
  const BoxSetConfig config_;
  std::vector<BoxConfig> configs_;
  std::vector<std::unique_ptr<Box>> boxes_;
  std::vector<UCHAR> lanas_;
};

}  // namespace printbox
