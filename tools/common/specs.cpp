// The --net and --printbox specifications and the names of port states.
#include "specs.h"

#include <cstdio>
#include <cstdlib>

namespace tools {
namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// NetBIOS names are at most 15 characters (the 16th is padding); the box and
// its ports are reached by such names.
bool IsNetbiosName(const std::string& name) {
  if (name.empty() || name.size() > 15) return false;
  for (unsigned char ch : name)
    if (ch <= 0x20 || ch >= 0x7f || ch == ',' || ch == '=' || ch == '@' || ch == ':') return false;
  return true;
}

int HexDigit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<NetSpec> ParseNetSpec(const std::string& text, std::string* error) {
  NetSpec spec;
  // Out-of-range LANA and an all-zero address mark what the text left out.
  constexpr UCHAR kNoLana = MAX_LANA + 1;
  spec.net.adapter.lana = kNoLana;
  spec.net.adapter.segment = "lan0";
  spec.net.adapter.hardwareAddress = {};
  if (!plat::ParseNetSpec(text, &spec.net, error)) return std::nullopt;
  spec.lanaGiven = spec.net.adapter.lana != kNoLana;
  if (!spec.lanaGiven) spec.net.adapter.lana = 0;
  spec.macGiven = spec.IsNbt() || spec.net.adapter.hardwareAddress != std::array<UCHAR, 6>{};
  if (!spec.IsNbt() && spec.net.adapter.segment.empty()) {
    *error = "the segment needs a name";
    return std::nullopt;
  }
  return spec;
}

namespace {

std::string Ipv4Text(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xff, (address >> 8) & 0xff,
                address & 0xff);
  return text;
}

}  // namespace

std::string DescribeNet(const plat::NetSpec& net) {
  if (net.adapter.transport != plat::NetbiosTransportKind::Nbt) return "loop:" + net.adapter.segment;
  return "nbt " + Ipv4Text(net.nbt.address) + " (broadcast " + Ipv4Text(net.nbt.broadcast) + ", ports " +
         std::to_string(net.nbt.nameServicePort) + "/" + std::to_string(net.nbt.datagramPort) + "/" +
         std::to_string(net.nbt.sessionPort) + ")";
}

std::string MacText(const std::array<UCHAR, 6>& mac) {
  char text[32];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return text;
}

std::optional<BoxSpec> ParseBoxSpec(const std::string& text, std::string* error) {
  BoxSpec spec;
  std::string body = text;
  if (auto at = body.find('@'); at != std::string::npos) {
    spec.outDir = body.substr(at + 1);
    body = body.substr(0, at);
    if (spec.outDir.empty()) {
      *error = "an output directory after @ is needed";
      return std::nullopt;
    }
  }
  auto colon = body.find(':');
  if (colon == std::string::npos) {
    *error = "expected NAME:PORT[=STATE][,PORT[=STATE]]...[@OUTDIR]";
    return std::nullopt;
  }
  spec.name = body.substr(0, colon);
  if (!IsNetbiosName(spec.name)) {
    *error = "the box name must be 1 to 15 printable characters";
    return std::nullopt;
  }
  for (const std::string& p : Split(body.substr(colon + 1), ',')) {
    BoxPortSpec port;
    std::string state = "ready";
    auto eq = p.find('=');
    port.name = p.substr(0, eq);
    if (eq != std::string::npos) state = p.substr(eq + 1);
    if (!IsNetbiosName(port.name)) {
      *error = "port name '" + port.name + "' must be 1 to 15 printable characters";
      return std::nullopt;
    }
    for (const BoxPortSpec& other : spec.ports)
      if (other.name == port.name) {
        *error = "port " + port.name + " given twice";
        return std::nullopt;
      }
    auto byte = ParsePortState(state);
    if (!byte) {
      *error = "unknown port state '" + state + "'";
      return std::nullopt;
    }
    port.state = *byte;
    spec.ports.push_back(port);
  }
  return spec;
}

std::optional<std::uint8_t> ParsePortState(const std::string& text) {
  static const struct {
    const char* name;
    std::uint8_t value;
  } kNames[] = {{"ready", 0x10},   {"ready2", 0x11},      {"offline", 0x12}, {"off-line", 0x12},
                {"paperout", 0x13}, {"out-of-paper", 0x13}, {"none", 0x00},    {"notport", 0x14}};
  for (const auto& n : kNames)
    if (text == n.name) return n.value;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    if (text.size() > 4) return std::nullopt;
    int value = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
      int d = HexDigit(text[i]);
      if (d < 0) return std::nullopt;
      value = value * 16 + d;
    }
    return static_cast<std::uint8_t>(value);
  }
  if (!text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos) {
    int value = std::atoi(text.c_str());
    if (value <= 255) return static_cast<std::uint8_t>(value);
  }
  return std::nullopt;
}

std::string PortStateName(std::uint8_t state) {
  switch (state) {
    case 0x10: return "ready";
    case 0x11: return "ready2";
    case 0x12: return "offline";
    case 0x13: return "paperout";
    case 0x00: return "none";
    case 0x14: return "notport";
    default: break;
  }
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", state);
  return buf;
}

std::string PrinterStatusText(std::uint32_t status) {
  if (status == 0) return "ready";
  static const struct {
    std::uint32_t bit;
    const char* word;
  } kBits[] = {{0x00000001, "paused"},        {0x00000002, "error"},          {0x00000004, "pending deletion"},
               {0x00000008, "paper jam"},     {0x00000010, "paper out"},      {0x00000020, "manual feed"},
               {0x00000040, "paper problem"}, {0x00000080, "offline"},        {0x00000100, "io active"},
               {0x00000200, "busy"},          {0x00000400, "printing"},       {0x00000800, "output bin full"},
               {0x00001000, "not available"}, {0x00002000, "waiting"},        {0x00004000, "processing"},
               {0x00008000, "initializing"},  {0x00010000, "warming up"},     {0x00020000, "toner low"},
               {0x00040000, "no toner"},      {0x00080000, "page punt"},      {0x00100000, "user intervention"},
               {0x00200000, "out of memory"}, {0x00400000, "door open"},      {0x00800000, "server unknown"},
               {0x01000000, "power save"}};
  std::string text;
  std::uint32_t rest = status;
  for (const auto& b : kBits) {
    if ((status & b.bit) == 0) continue;
    if (!text.empty()) text += ", ";
    text += b.word;
    rest &= ~b.bit;
  }
  if (rest != 0) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", rest);
    if (!text.empty()) text += ", ";
    text += buf;
  }
  return text;
}

}  // namespace tools
