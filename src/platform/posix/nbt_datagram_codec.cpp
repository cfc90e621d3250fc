// Datagram service packets of NetBIOS over TCP/IP: direct and broadcast
// datagrams with their fragments, and datagram errors.
#include <algorithm>

#include "nbt_packets.h"

namespace plat::nbt {
namespace {

uint16_t Get16(std::span<const uint8_t> p, std::size_t at) { return static_cast<uint16_t>(p[at] << 8 | p[at + 1]); }
void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

bool CarriesData(uint8_t type) { return type == kDirectUnique || type == kDirectGroup || type == kBroadcastDatagram; }

// Both names encoded without scope.
constexpr std::size_t kNamesSize = 2 * 34;

}  // namespace

std::optional<DatagramPacket> ParseDatagramPacket(std::span<const uint8_t> p) {
  if (p.size() < 10) return std::nullopt;
  DatagramPacket out;
  out.type = p[0];
  out.flags = p[1];
  out.id = Get16(p, 2);
  out.sourceAddress = static_cast<uint32_t>(Get16(p, 4)) << 16 | Get16(p, 6);
  out.sourcePort = Get16(p, 8);
  if (out.flags & 0xF0) return std::nullopt;  // reserved bits
  if (out.type == kDatagramError) {
    if (p.size() < 11) return std::nullopt;
    out.errorCode = p[10];
    return out;
  }
  if (!CarriesData(out.type) || p.size() < kDatagramHeader) return std::nullopt;
  std::size_t length = Get16(p, 10);
  out.offset = Get16(p, 12);
  // The length counts the names and the data that follow the header; a
  // sender may pad the packet, never cut it short.
  if (length > p.size() - kDatagramHeader) return std::nullopt;
  std::span<const uint8_t> body = p.subspan(0, kDatagramHeader + length);
  std::size_t pos = kDatagramHeader;
  if (!ReadEncodedName(body, &pos, &out.source) || !ReadEncodedName(body, &pos, &out.destination))
    return std::nullopt;
  out.data.assign(body.begin() + static_cast<std::ptrdiff_t>(pos), body.end());
  if ((out.flags & kDgmFirst) && out.offset != 0) return std::nullopt;
  return out;
}

Bytes BuildDatagramPacket(const DatagramPacket& p) {
  Bytes out;
  out.push_back(p.type);
  out.push_back(p.flags);
  Put16(out, p.id);
  Put16(out, static_cast<uint16_t>(p.sourceAddress >> 16));
  Put16(out, static_cast<uint16_t>(p.sourceAddress));
  Put16(out, p.sourcePort);
  if (p.type == kDatagramError) {
    out.push_back(p.errorCode);
    return out;
  }
  Bytes names;
  AppendEncodedName(p.source, names);
  AppendEncodedName(p.destination, names);
  Put16(out, static_cast<uint16_t>(names.size() + p.data.size()));
  Put16(out, p.offset);
  out.insert(out.end(), names.begin(), names.end());
  out.insert(out.end(), p.data.begin(), p.data.end());
  return out;
}

std::vector<Bytes> BuildDatagramFragments(DatagramPacket p, std::span<const uint8_t> data) {
  constexpr std::size_t room = kMaxDatagramPacket - kDatagramHeader - kNamesSize;
  std::vector<Bytes> out;
  std::size_t offset = 0;
  do {
    std::size_t n = std::min(room, data.size() - offset);
    p.flags = static_cast<uint8_t>((offset == 0 ? kDgmFirst : 0) | (offset + n < data.size() ? kDgmMore : 0));
    p.offset = static_cast<uint16_t>(offset);
    p.data.assign(data.begin() + static_cast<std::ptrdiff_t>(offset),
                  data.begin() + static_cast<std::ptrdiff_t>(offset + n));
    out.push_back(BuildDatagramPacket(p));
    offset += n;
  } while (offset < data.size());
  return out;
}

}  // namespace plat::nbt
