// Feeds bytes to every NetBIOS over TCP/IP packet parser; what parses must
// build and parse back to the same packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/posix/nbt_packets.h"

using namespace plat::nbt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  if (auto p = ParseNamePacket(in)) {
    auto again = ParseNamePacket(BuildNamePacket(*p));
    if (!again || again->id != p->id || again->question != p->question) std::abort();
    // What tells a conflict demand from a query answer survives the trip.
    if (again->response != p->response || again->opcode != p->opcode || again->rcode != p->rcode ||
        again->flags != p->flags)
      std::abort();
    if (p->record) {
      bool group;
      uint32_t addr;
      std::vector<StatusName> names;
      std::array<uint8_t, 6> mac;
      ParseNbData(p->record->data, &group, &addr);
      ParseNodeStatusData(p->record->data, &names, &mac);
    }
  }
  if (auto d = ParseDatagramPacket(in)) {
    auto again = ParseDatagramPacket(BuildDatagramPacket(*d));
    if (!again || again->data != d->data || again->destination != d->destination) std::abort();
  }
  if (auto h = ParseSessionHeader(in)) {
    if (h->type == kSessionRequest && in.size() >= kSessionHeader) {
      Name a, b;
      ParseSessionRequest(in.subspan(kSessionHeader), &a, &b);
    }
  }
  return 0;
}
