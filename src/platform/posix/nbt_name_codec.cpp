// Name service packets of NetBIOS over TCP/IP: encoded names, questions and
// resource records, node status data.
#include <cstring>

#include "nbt_packets.h"

namespace plat::nbt {
namespace {

constexpr std::size_t kHeader = 12;
constexpr std::size_t kEncodedLabel = 32;
// Names with scope are at most 255 bytes on the wire.
constexpr std::size_t kMaxEncodedName = 255;
constexpr std::size_t kStatisticsSize = 46;

uint16_t Get16(std::span<const uint8_t> p, std::size_t at) { return static_cast<uint16_t>(p[at] << 8 | p[at + 1]); }
uint32_t Get32(std::span<const uint8_t> p, std::size_t at) {
  return static_cast<uint32_t>(p[at]) << 24 | static_cast<uint32_t>(p[at + 1]) << 16 |
         static_cast<uint32_t>(p[at + 2]) << 8 | p[at + 3];
}
void Put16(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes& out, uint32_t v) {
  Put16(out, static_cast<uint16_t>(v >> 16));
  Put16(out, static_cast<uint16_t>(v));
}

// The labels of a name at `pos`, with no pointer; `first` gets the first label.
bool ReadLabels(std::span<const uint8_t> p, std::size_t pos, std::size_t* end, std::span<const uint8_t>* first,
                bool* pointer, std::size_t* target) {
  std::size_t total = 0;
  bool isFirst = true;
  *pointer = false;
  for (;;) {
    if (pos >= p.size()) return false;
    uint8_t len = p[pos];
    if ((len & 0xC0) == 0xC0) {
      if (pos + 2 > p.size() || !isFirst) return false;  // a pointer only for the whole name
      *pointer = true;
      *target = static_cast<std::size_t>(len & 0x3F) << 8 | p[pos + 1];
      *end = pos + 2;
      return true;
    }
    if (len & 0xC0) return false;
    total += 1u + len;
    if (total > kMaxEncodedName) return false;
    if (len == 0) {
      *end = pos + 1;
      return !isFirst;
    }
    if (pos + 1 + len > p.size()) return false;
    if (isFirst) *first = p.subspan(pos + 1, len);
    isFirst = false;
    pos += 1u + len;
  }
}

bool ReadRecord(std::span<const uint8_t> p, std::size_t* pos, NameRecord* r) {
  if (!ReadEncodedName(p, pos, &r->name)) return false;
  if (*pos + 10 > p.size()) return false;
  r->type = Get16(p, *pos);
  r->ttl = Get32(p, *pos + 4);
  std::size_t len = Get16(p, *pos + 8);
  *pos += 10;
  if (len > p.size() - *pos) return false;
  r->data.assign(p.begin() + static_cast<std::ptrdiff_t>(*pos), p.begin() + static_cast<std::ptrdiff_t>(*pos + len));
  *pos += len;
  return true;
}

}  // namespace

void AppendEncodedName(const Name& name, Bytes& out) {
  out.push_back(kEncodedLabel);
  for (uint8_t c : name) {
    out.push_back(static_cast<uint8_t>('A' + (c >> 4)));
    out.push_back(static_cast<uint8_t>('A' + (c & 0x0F)));
  }
  out.push_back(0);
}

bool ReadEncodedName(std::span<const uint8_t> packet, std::size_t* pos, Name* name) {
  std::size_t end = 0, target = 0;
  std::span<const uint8_t> label;
  bool pointer = false;
  if (!ReadLabels(packet, *pos, &end, &label, &pointer, &target)) return false;
  if (pointer) {
    // The target must be a plain name that lies before this one.
    std::size_t ignored = 0;
    bool again = false;
    if (target >= *pos) return false;
    if (!ReadLabels(packet, target, &ignored, &label, &again, &target) || again) return false;
  }
  if (label.size() != kEncodedLabel) return false;
  for (std::size_t i = 0; i < name->size(); ++i) {
    uint8_t hi = label[2 * i], lo = label[2 * i + 1];
    if (hi < 'A' || hi > 'P' || lo < 'A' || lo > 'P') return false;
    (*name)[i] = static_cast<uint8_t>((hi - 'A') << 4 | (lo - 'A'));
  }
  *pos = end;
  return true;
}

std::optional<NamePacket> ParseNamePacket(std::span<const uint8_t> p) {
  if (p.size() < kHeader) return std::nullopt;
  NamePacket out;
  out.id = Get16(p, 0);
  out.response = p[2] & 0x80;
  out.opcode = (p[2] >> 3) & 0x0F;
  out.flags = static_cast<uint8_t>((p[2] & 0x07) << 4 | p[3] >> 4);
  out.rcode = p[3] & 0x0F;
  std::size_t qd = Get16(p, 4), an = Get16(p, 6), ns = Get16(p, 8), ar = Get16(p, 10);
  std::size_t pos = kHeader;
  for (std::size_t i = 0; i < qd; ++i) {
    Name n;
    if (!ReadEncodedName(p, &pos, &n) || pos + 4 > p.size()) return std::nullopt;
    if (i == 0) {
      out.question = n;
      out.questionType = Get16(p, pos);
    }
    pos += 4;
  }
  for (std::size_t i = 0; i < an + ns + ar; ++i) {
    NameRecord r;
    if (!ReadRecord(p, &pos, &r)) return std::nullopt;
    if (!out.record) out.record = std::move(r);
  }
  return out;
}

Bytes BuildNamePacket(const NamePacket& p) {
  Bytes out;
  Put16(out, p.id);
  out.push_back(static_cast<uint8_t>((p.response ? 0x80 : 0) | (p.opcode & 0x0F) << 3 | (p.flags >> 4 & 0x07)));
  out.push_back(static_cast<uint8_t>((p.flags & 0x0F) << 4 | (p.rcode & 0x0F)));
  bool recordIsAnswer = p.response;
  Put16(out, p.question ? 1 : 0);
  Put16(out, p.record && recordIsAnswer ? 1 : 0);
  Put16(out, 0);
  Put16(out, p.record && !recordIsAnswer ? 1 : 0);
  if (p.question) {
    AppendEncodedName(*p.question, out);
    Put16(out, p.questionType);
    Put16(out, kClassIn);
  }
  if (p.record) {
    AppendEncodedName(p.record->name, out);
    Put16(out, p.record->type);
    Put16(out, kClassIn);
    Put32(out, p.record->ttl);
    Put16(out, static_cast<uint16_t>(p.record->data.size()));
    out.insert(out.end(), p.record->data.begin(), p.record->data.end());
  }
  return out;
}

Bytes NbData(bool group, uint32_t address) {
  Bytes out;
  Put16(out, group ? kNbFlagGroup : 0);
  Put32(out, address);
  return out;
}

bool ParseNbData(std::span<const uint8_t> data, bool* group, uint32_t* address) {
  // Several entries may follow; the first is the one this node uses.
  if (data.size() < 6) return false;
  *group = Get16(data, 0) & kNbFlagGroup;
  *address = Get32(data, 2);
  return true;
}

Bytes NodeStatusData(const std::vector<StatusName>& names, const std::array<uint8_t, 6>& mac) {
  Bytes out;
  std::size_t n = std::min<std::size_t>(names.size(), 255);
  out.push_back(static_cast<uint8_t>(n));
  for (std::size_t i = 0; i < n; ++i) {
    out.insert(out.end(), names[i].name.begin(), names[i].name.end());
    Put16(out, names[i].flags);
  }
  out.insert(out.end(), mac.begin(), mac.end());
  out.resize(out.size() + kStatisticsSize - mac.size(), 0);
  return out;
}

bool ParseNodeStatusData(std::span<const uint8_t> data, std::vector<StatusName>* names,
                         std::array<uint8_t, 6>* mac) {
  if (data.empty()) return false;
  std::size_t n = data[0];
  std::size_t pos = 1;
  if (n * 18 > data.size() - pos) return false;
  names->clear();
  for (std::size_t i = 0; i < n; ++i, pos += 18) {
    StatusName s;
    std::memcpy(s.name.data(), data.data() + pos, s.name.size());
    s.flags = Get16(data, pos + 16);
    names->push_back(s);
  }
  if (data.size() - pos < mac->size()) return false;
  std::memcpy(mac->data(), data.data() + pos, mac->size());
  return true;
}

}  // namespace plat::nbt
