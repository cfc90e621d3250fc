// The --net and --printbox specifications and the names of port states.
#include "specs.h"

#include <cstdio>
#include <cstdlib>

namespace spoolhost {
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
  auto colon = text.find(':');
  if (colon == std::string::npos) {
    *error = "expected loop:SEGMENT[,lana=N][,mac=XX:XX:XX:XX:XX:XX]";
    return std::nullopt;
  }
  spec.transport = text.substr(0, colon);
  if (spec.transport != "loop") {
    *error = spec.transport == "nbt" ? "the nbt transport (NetBIOS over TCP/IP) is not available yet"
                                     : "unknown transport '" + spec.transport + "' (loop is the in-process segment)";
    return std::nullopt;
  }
  std::vector<std::string> parts = Split(text.substr(colon + 1), ',');
  spec.segment = parts[0];
  if (spec.segment.empty()) {
    *error = "the segment needs a name";
    return std::nullopt;
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    if (p.compare(0, 5, "lana=") == 0) {
      const std::string n = p.substr(5);
      if (n.empty() || n.size() > 3 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) > 254) {
        *error = "lana must be a number from 0 to 254";
        return std::nullopt;
      }
      spec.lana = std::stoi(n);
    } else if (p.compare(0, 4, "mac=") == 0) {
      std::vector<std::string> bytes = Split(p.substr(4), ':');
      std::array<std::uint8_t, 6> mac{};
      bool ok = bytes.size() == 6;
      for (std::size_t b = 0; ok && b < 6; ++b) {
        ok = bytes[b].size() == 2 && HexDigit(bytes[b][0]) >= 0 && HexDigit(bytes[b][1]) >= 0;
        if (ok) mac[b] = static_cast<std::uint8_t>(HexDigit(bytes[b][0]) * 16 + HexDigit(bytes[b][1]));
      }
      if (!ok) {
        *error = "mac must be six hexadecimal bytes, like 02:00:00:00:00:01";
        return std::nullopt;
      }
      spec.mac = mac;
    } else {
      *error = "unknown setting '" + p + "' (lana=N or mac=...)";
      return std::nullopt;
    }
  }
  return spec;
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

}  // namespace spoolhost
