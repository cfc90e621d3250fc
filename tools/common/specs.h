// The --net and --printbox specifications and the names of port states.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/nbt.h"

namespace tools {

// One NetBIOS adapter, as plat::ParseNetSpec reads --net:
// "loop[:SEGMENT][,lana=N][,mac=..]" (the segment defaults to lan0) or
// "nbt:ADDR/PREFIX[,bcast=ADDR][,ports=NS:DGM:SSN][,mac=..][,lana=N]".
struct NetSpec {
  plat::NetSpec net;
  bool lanaGiven = false;  // else the next free number is taken
  bool macGiven = false;   // a loop adapter without one gets 02:00:00:00:00:<lana+1>
  bool IsNbt() const { return net.adapter.transport == plat::NetbiosTransportKind::Nbt; }
};

// One in-process print box: "NAME:PORT[=STATE][,PORT[=STATE]]...[@OUTDIR]".
struct BoxPortSpec {
  std::string name;
  std::uint8_t state = 0x10;
};
struct BoxSpec {
  std::string name;
  std::vector<BoxPortSpec> ports;
  std::string outDir;  // empty: a directory of the box's name under the state directory
};

std::optional<NetSpec> ParseNetSpec(const std::string& text, std::string* error);
// The adapter in words: "loop:lan0", or "nbt 127.0.0.2 (broadcast
// 127.255.255.255, ports 137/138/139)".
std::string DescribeNet(const plat::NetSpec& net);
// The hardware address as 02:00:7f:00:00:02.
std::string MacText(const std::array<UCHAR, 6>& mac);
std::optional<BoxSpec> ParseBoxSpec(const std::string& text, std::string* error);

// ready 0x10, ready2 0x11, offline 0x12, paperout 0x13, none 0x00, notport 0x14,
// or any byte written 0xNN (or decimal).
std::optional<std::uint8_t> ParsePortState(const std::string& text);
// The word for a state byte, or "0xNN" for the bytes without one.
std::string PortStateName(std::uint8_t state);

// The spooler's printer status bits in words ("ready" for none).
std::string PrinterStatusText(std::uint32_t status);

}  // namespace tools
