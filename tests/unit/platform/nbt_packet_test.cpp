// NetBIOS over TCP/IP packets: encoded names, name service, datagram and
// session packets, built and parsed back, and malformed input turned away.
#include <gtest/gtest.h>

#include <cstring>

#include "posix/nbt_packets.h"

namespace plat::nbt {
namespace {

Name MakeName(const char* text, uint8_t suffix) {
  Name n;
  n.fill(' ');
  std::memcpy(n.data(), text, std::strlen(text));
  n[15] = suffix;
  return n;
}

TEST(NbtNames, FirstLevelEncodingRoundTrip) {
  Name n = MakeName("FRED", 0x20);
  Bytes out;
  AppendEncodedName(n, out);
  ASSERT_EQ(out.size(), 34u);
  EXPECT_EQ(out[0], 32);
  EXPECT_EQ(std::string(out.begin() + 1, out.begin() + 9), "EGFCEFEE");  // F=0x46 R=0x52 E=0x45 D=0x44
  EXPECT_EQ(out[31], 'C');  // 0x20
  EXPECT_EQ(out[32], 'A');
  Name back{};
  std::size_t pos = 0;
  ASSERT_TRUE(ReadEncodedName(out, &pos, &back));
  EXPECT_EQ(pos, out.size());
  EXPECT_EQ(back, n);
}

TEST(NbtNames, RejectsBadLabels) {
  Bytes out;
  AppendEncodedName(MakeName("X", 0), out);
  Name n;
  std::size_t pos = 0;
  Bytes bad = out;
  bad[5] = 'Q';  // beyond 'A'+15
  EXPECT_FALSE(ReadEncodedName(bad, &pos, &n));
  bad = out;
  bad[0] = 31;
  pos = 0;
  EXPECT_FALSE(ReadEncodedName(bad, &pos, &n));
  bad.assign(out.begin(), out.end() - 1);  // no root label
  pos = 0;
  EXPECT_FALSE(ReadEncodedName(bad, &pos, &n));
  Bytes pointerToSelf = {0xC0, 0x00};
  pos = 0;
  EXPECT_FALSE(ReadEncodedName(pointerToSelf, &pos, &n));
}

TEST(NbtNameService, RegistrationRequestRoundTrip) {
  NamePacket p;
  p.id = 0x1234;
  p.opcode = kOpRegistration;
  p.flags = kFlagRd | kFlagBroadcast;
  p.question = MakeName("VARN", 0x00);
  p.record = NameRecord{*p.question, kTypeNb, 300000, NbData(true, 0x7F000002)};
  Bytes wire = BuildNamePacket(p);
  EXPECT_EQ(wire[2], 0x29);  // opcode 5, RD
  EXPECT_EQ(wire[3], 0x10);  // B
  auto back = ParseNamePacket(wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->id, 0x1234);
  EXPECT_FALSE(back->response);
  EXPECT_EQ(back->opcode, kOpRegistration);
  EXPECT_EQ(back->flags, kFlagRd | kFlagBroadcast);
  ASSERT_TRUE(back->record);
  bool group = false;
  uint32_t addr = 0;
  ASSERT_TRUE(ParseNbData(back->record->data, &group, &addr));
  EXPECT_TRUE(group);
  EXPECT_EQ(addr, 0x7F000002u);
  EXPECT_EQ(BuildNamePacket(*back), wire);
}

TEST(NbtNameService, NegativeResponseAndNodeStatus) {
  NamePacket p;
  p.response = true;
  p.opcode = kOpRegistration;
  p.flags = kFlagAa | kFlagRd | kFlagRa;
  p.rcode = kRcodeAct;
  p.record = NameRecord{MakeName("VARN", 0), kTypeNb, 0, NbData(false, 0x7F000003)};
  auto back = ParseNamePacket(BuildNamePacket(p));
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->response);
  EXPECT_EQ(back->rcode, kRcodeAct);

  std::array<uint8_t, 6> mac = {2, 0, 0x7F, 0, 0, 3}, macBack{};
  std::vector<StatusName> names = {{MakeName("A", 0), 0x0400}, {MakeName("B", 0x20), 0x8400}}, namesBack;
  Bytes data = NodeStatusData(names, mac);
  ASSERT_TRUE(ParseNodeStatusData(data, &namesBack, &macBack));
  EXPECT_EQ(macBack, mac);
  ASSERT_EQ(namesBack.size(), 2u);
  EXPECT_EQ(namesBack[1].flags, 0x8400);
  data[0] = 200;  // more names than bytes
  EXPECT_FALSE(ParseNodeStatusData(data, &namesBack, &macBack));
}

TEST(NbtNameService, RejectsTruncatedAndOverlongCounts) {
  NamePacket p;
  p.question = MakeName("Q", 0);
  Bytes wire = BuildNamePacket(p);
  EXPECT_FALSE(ParseNamePacket(std::span(wire).first(11)));
  EXPECT_FALSE(ParseNamePacket(std::span(wire).first(wire.size() - 1)));
  Bytes more = wire;
  more[11] = 1;  // an additional record that is not there
  EXPECT_FALSE(ParseNamePacket(more));
  p.record = NameRecord{MakeName("Q", 0), kTypeNb, 0, NbData(false, 1)};
  wire = BuildNamePacket(p);
  wire[wire.size() - 7] = 0x10;  // rdlength beyond the packet
  EXPECT_FALSE(ParseNamePacket(wire));
}

TEST(NbtDatagram, StatusReportTravelsInFragments) {
  DatagramPacket p;
  p.type = kDirectGroup;
  p.id = 7;
  p.sourceAddress = 0x7F000002;
  p.sourcePort = 138;
  p.source = MakeName("BOX", 0);
  p.destination = MakeName("MON", 0);
  Bytes report(512);
  for (std::size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(i * 7);
  auto frags = BuildDatagramFragments(p, report);
  ASSERT_EQ(frags.size(), 2u);
  Bytes joined;
  for (std::size_t i = 0; i < frags.size(); ++i) {
    EXPECT_LE(frags[i].size(), kMaxDatagramPacket);
    auto f = ParseDatagramPacket(frags[i]);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->flags & kDgmFirst, i == 0 ? kDgmFirst : 0);
    EXPECT_EQ(f->flags & kDgmMore, i + 1 < frags.size() ? kDgmMore : 0);
    EXPECT_EQ(f->offset, joined.size());
    EXPECT_EQ(f->destination, p.destination);
    EXPECT_EQ(f->sourceAddress, 0x7F000002u);
    joined.insert(joined.end(), f->data.begin(), f->data.end());
  }
  EXPECT_EQ(joined, report);
  Bytes small(20, 1);
  auto one = BuildDatagramFragments(p, small);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(ParseDatagramPacket(one[0])->flags, kDgmFirst);
}

TEST(NbtDatagram, LengthFieldIsChecked) {
  DatagramPacket p;
  p.source = MakeName("A", 0);
  p.destination = MakeName("B", 0);
  p.data = Bytes(10, 9);
  Bytes wire = BuildDatagramPacket(p);
  wire[11] += 1;  // claims a byte that never came
  EXPECT_FALSE(ParseDatagramPacket(wire));
  wire[11] -= 20;  // cuts into the destination name
  EXPECT_FALSE(ParseDatagramPacket(wire));
  wire = BuildDatagramPacket(p);
  wire.push_back(0);  // padding after the counted bytes is ignored
  auto back = ParseDatagramPacket(wire);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data.size(), 10u);
  wire[1] = 0x40;  // reserved flag bit
  EXPECT_FALSE(ParseDatagramPacket(wire));
  EXPECT_FALSE(ParseDatagramPacket(std::span(wire).first(13)));
}

TEST(NbtSession, HeadersWithSeventeenBitLength) {
  Bytes h;
  AppendSessionHeader(kSessionMessage, 0x1FFFF, h);
  EXPECT_EQ(h, (Bytes{0, 1, 0xFF, 0xFF}));
  auto back = ParseSessionHeader(h);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->length, 0x1FFFFu);
  EXPECT_FALSE(ParseSessionHeader(Bytes{0, 2, 0, 0}));     // reserved flag
  EXPECT_FALSE(ParseSessionHeader(Bytes{0x85, 0, 0, 1}));  // keep-alive with a body
  EXPECT_FALSE(ParseSessionHeader(Bytes{0x83, 0, 0, 2}));
  EXPECT_FALSE(ParseSessionHeader(Bytes{0x86, 0, 0, 0}));
  EXPECT_TRUE(ParseSessionHeader(Bytes{0x85, 0, 0, 0}));
  EXPECT_FALSE(ParseSessionHeader(Bytes{0x85, 0, 0}));
}

TEST(NbtSession, RequestRoundTripAndJunk) {
  Name called = MakeName("PORT1", 0x20), calling = MakeName("MONITOR", 0);
  Bytes req = BuildSessionRequest(called, calling);
  auto h = ParseSessionHeader(req);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->type, kSessionRequest);
  ASSERT_EQ(h->length, req.size() - kSessionHeader);
  Name a{}, b{};
  ASSERT_TRUE(ParseSessionRequest(std::span(req).subspan(kSessionHeader), &a, &b));
  EXPECT_EQ(a, called);
  EXPECT_EQ(b, calling);
  Bytes trailing(req.begin() + kSessionHeader, req.end());
  trailing.push_back(0);
  EXPECT_FALSE(ParseSessionRequest(trailing, &a, &b));
  EXPECT_FALSE(ParseSessionRequest(std::span(req).subspan(kSessionHeader, 40), &a, &b));
}

}  // namespace
}  // namespace plat::nbt
