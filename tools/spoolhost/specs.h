// The --net and --printbox specifications and the names of port states.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace spoolhost {

// One NetBIOS adapter: "loop:SEGMENT[,lana=N][,mac=XX:XX:XX:XX:XX:XX]".
struct NetSpec {
  std::string transport;  // "loop" (the in-process segment)
  std::string segment;
  std::optional<int> lana;  // chosen in order when not given
  std::optional<std::array<std::uint8_t, 6>> mac;
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
std::optional<BoxSpec> ParseBoxSpec(const std::string& text, std::string* error);

// ready 0x10, ready2 0x11, offline 0x12, paperout 0x13, none 0x00, notport 0x14,
// or any byte written 0xNN (or decimal).
std::optional<std::uint8_t> ParsePortState(const std::string& text);
// The word for a state byte, or "0xNN" for the bytes without one.
std::string PortStateName(std::uint8_t state);

// The spooler's printer status bits in words ("ready" for none).
std::string PrinterStatusText(std::uint32_t status);

}  // namespace spoolhost
