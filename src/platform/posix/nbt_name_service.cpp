// The name service of a NetBIOS over TCP/IP broadcast node: its sockets, its
// receive loop, and the hand-over of each packet to the handler of its kind.
// Registration, queries and node status each live in a file of their own.
#include "nbt_name_service.h"

#include <random>

namespace plat::nbt {

NameService::NameService(const NbtEndpoint& ep, const std::array<uint8_t, 6>& mac, nb::Node* node)
    : ep_(ep), mac_(mac), node_(node), nextId_(static_cast<uint16_t>(std::random_device{}())) {}

bool NameService::Open() {
  return unicast_.Open(ep_.address, ep_.nameServicePort, true) && broadcast_.Open(ep_.broadcast, ep_.nameServicePort, true);
}

uint16_t NameService::NextId() { return ++nextId_; }

void NameService::Run(int stopFd) {
  ServeUdp(stopFd, unicast_, broadcast_, ep_.address, ep_.nameServicePort,
           [this](const Bytes& packet, uint32_t from, uint16_t port) {
             if (auto p = ParseNamePacket(packet)) Handle(*p, from, port);
           });
}

void NameService::Reply(const NamePacket& p, uint32_t to, uint16_t port) {
  Bytes wire = BuildNamePacket(p);
  SendUdp(unicast_.Get(), wire, to, port);
}

void NameService::Handle(const NamePacket& p, uint32_t from, uint16_t port) {
  if (p.response) {
    if (!p.record) return;
    if (p.record->type == kTypeNbstat) return HandleStatusAnswer(p, from);
    if (p.record->type == kTypeNb) return HandleAnswer(p, from);
    return;
  }
  switch (p.opcode) {
    case kOpRegistration:
    case kOpRefresh: return HandleRegistration(p, from, port);
    case kOpRelease: return HandleRelease(p);
    case kOpQuery:
      if (!p.question) return;
      if (p.questionType == kTypeNbstat) return HandleStatusQuery(p, from, port);
      return HandleQuery(p, from, port);
    default: return;
  }
}

}  // namespace plat::nbt
