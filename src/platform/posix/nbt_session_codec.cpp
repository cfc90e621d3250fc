// Session service packets of NetBIOS over TCP/IP: the four-byte header with
// its 17-bit length, and the session request's two names.
#include "nbt_packets.h"

namespace plat::nbt {

std::optional<SessionHeader> ParseSessionHeader(std::span<const uint8_t> h) {
  if (h.size() < kSessionHeader) return std::nullopt;
  if (h[1] & 0xFE) return std::nullopt;  // only the length extension bit is defined
  SessionHeader out;
  out.type = h[0];
  out.length = static_cast<std::size_t>(h[1] & 0x01) << 16 | static_cast<std::size_t>(h[2]) << 8 | h[3];
  switch (out.type) {
    case kSessionMessage: return out;
    case kSessionRequest:
      // Two encoded names, each 34 bytes without scope, at most 255 with.
      if (out.length < 68 || out.length > 510) return std::nullopt;
      return out;
    case kPositiveResponse:
    case kKeepAlive:
      if (out.length != 0) return std::nullopt;
      return out;
    case kNegativeResponse:
      if (out.length != 1) return std::nullopt;
      return out;
    case kRetargetResponse:
      if (out.length != 6) return std::nullopt;
      return out;
    default: return std::nullopt;
  }
}

void AppendSessionHeader(uint8_t type, std::size_t length, Bytes& out) {
  out.push_back(type);
  out.push_back(static_cast<uint8_t>(length >> 16 & 0x01));
  out.push_back(static_cast<uint8_t>(length >> 8));
  out.push_back(static_cast<uint8_t>(length));
}

bool ParseSessionRequest(std::span<const uint8_t> body, Name* called, Name* calling) {
  std::size_t pos = 0;
  if (!ReadEncodedName(body, &pos, called) || !ReadEncodedName(body, &pos, calling)) return false;
  return pos == body.size();
}

Bytes BuildSessionRequest(const Name& called, const Name& calling) {
  Bytes body;
  AppendEncodedName(called, body);
  AppendEncodedName(calling, body);
  return BuildSessionPacket(kSessionRequest, body);
}

Bytes BuildSessionPacket(uint8_t type, std::span<const uint8_t> body) {
  Bytes out;
  AppendSessionHeader(type, body.size(), out);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace plat::nbt
