// The --net option of the hosts: which transport an adapter runs on, with
// the addresses, ports, hardware address and LANA number of a node.
#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <sstream>

#include "../host/nbt.h"
#include "nbt_transport.h"

namespace plat {
namespace {

bool ParseNumber(const std::string& s, unsigned max, unsigned* out) {
  unsigned v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty() || v > max) return false;
  *out = v;
  return true;
}

bool ParseIpv4(const std::string& s, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
  *out = ntohl(a.s_addr);
  return true;
}

bool ParseMac(const std::string& s, std::array<UCHAR, 6>* out) {
  std::array<UCHAR, 6> mac{};
  std::size_t pos = 0;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0) {
      if (pos >= s.size() || (s[pos] != ':' && s[pos] != '-')) return false;
      ++pos;
    }
    unsigned v = 0;
    if (pos + 2 > s.size()) return false;
    auto [end, ec] = std::from_chars(s.data() + pos, s.data() + pos + 2, v, 16);
    if (ec != std::errc() || end != s.data() + pos + 2) return false;
    mac[i] = static_cast<UCHAR>(v);
    pos += 2;
  }
  if (pos != s.size()) return false;
  *out = mac;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::stringstream in(s);
  std::string part;
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!s.empty() && s.back() == sep) parts.emplace_back();
  return parts;
}

}  // namespace

bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  NetbiosAdapterConfig c = spec->adapter;
  NbtEndpoint ep = spec->nbt;
  std::vector<std::string> parts = Split(text, ',');
  if (parts.empty()) return fail("empty network");
  const std::string& head = parts[0];
  bool macGiven = false, bcastGiven = false;
  unsigned prefix = 32;
  if (head == "loop" || head.rfind("loop:", 0) == 0) {
    c.transport = NetbiosTransportKind::Loop;
    if (head.size() > 5) c.segment = head.substr(5);
  } else if (head.rfind("nbt:", 0) == 0) {
    c.transport = NetbiosTransportKind::Nbt;
    std::string addr = head.substr(4);
    auto slash = addr.find('/');
    if (slash == std::string::npos) return fail("nbt needs ADDR/PREFIX");
    if (!ParseIpv4(addr.substr(0, slash), &ep.address)) return fail("bad address: " + addr.substr(0, slash));
    if (!ParseNumber(addr.substr(slash + 1), 30, &prefix) || prefix < 1) return fail("bad prefix: " + addr.substr(slash + 1));
  } else {
    return fail("unknown network: " + head + " (loop[:SEGMENT] or nbt:ADDR/PREFIX)");
  }
  for (std::size_t i = 1; i < parts.size(); ++i) {
    const std::string& opt = parts[i];
    auto eq = opt.find('=');
    std::string key = opt.substr(0, eq), value = eq == std::string::npos ? "" : opt.substr(eq + 1);
    if (key == "lana") {
      unsigned lana;
      if (!ParseNumber(value, MAX_LANA, &lana)) return fail("bad lana: " + value);
      c.lana = static_cast<UCHAR>(lana);
    } else if (key == "mac") {
      if (!ParseMac(value, &c.hardwareAddress)) return fail("bad mac: " + value);
      macGiven = true;
    } else if (key == "bcast" && c.transport == NetbiosTransportKind::Nbt) {
      if (!ParseIpv4(value, &ep.broadcast)) return fail("bad bcast: " + value);
      bcastGiven = true;
    } else if (key == "ports" && c.transport == NetbiosTransportKind::Nbt) {
      auto ports = Split(value, ':');
      unsigned p[3];
      if (ports.size() != 3) return fail("ports need NS:DGM:SSN");
      for (int k = 0; k < 3; ++k)
        if (!ParseNumber(ports[k], 65535, &p[k]) || p[k] == 0) return fail("bad port: " + ports[k]);
      ep.nameServicePort = static_cast<uint16_t>(p[0]);
      ep.datagramPort = static_cast<uint16_t>(p[1]);
      ep.sessionPort = static_cast<uint16_t>(p[2]);
    } else if (key == "stall" && c.transport == NetbiosTransportKind::Nbt) {
      unsigned seconds;
      if (!ParseNumber(value, 3600, &seconds) || seconds == 0) return fail("bad stall: " + value);
      ep.sendStall = std::chrono::seconds(seconds);
    } else {
      return fail("unknown option: " + opt);
    }
  }
  if (c.transport == NetbiosTransportKind::Nbt) {
    uint32_t mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
    if (!bcastGiven) ep.broadcast = ep.address | ~mask;
    if (ep.broadcast == 0xFFFFFFFF) return fail("the limited broadcast address is not used; give bcast=");
    if (ep.address == ep.broadcast) return fail("address and broadcast address are the same");
    if (!macGiven) {
      // Locally administered, from the IPv4 address: distinct per node.
      uint32_t a = ep.address;
      c.hardwareAddress = {0x02, 0x00, static_cast<UCHAR>(a >> 24), static_cast<UCHAR>(a >> 16),
                           static_cast<UCHAR>(a >> 8), static_cast<UCHAR>(a)};
    }
  }
  spec->adapter = c;
  spec->nbt = ep;
  return true;
}

bool AddNetAdapter(const NetSpec& spec) {
  if (spec.adapter.transport == NetbiosTransportKind::Nbt) nb::SetNbtEndpoint(spec.adapter.lana, spec.nbt);
  return AddNetbiosAdapter(spec.adapter);
}

}  // namespace plat
