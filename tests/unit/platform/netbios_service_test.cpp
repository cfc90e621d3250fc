// The platform's NetBIOS service on the in-process segment: adapters, names,
// datagrams and sessions, with nb30.h's return codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/netbios.h"
#include "host/registry.h"
#include "netbios/ncb.h"
#include "platform.h"

namespace {

class NetbiosService : public ::testing::Test {
 protected:
  void SetUp() override { plat::ResetNetbios(); }
  void TearDown() override { plat::ResetNetbios(); }

  static void Adapter(UCHAR lana, const std::string& segment, UCHAR last = 0) {
    plat::NetbiosAdapterConfig c;
    c.lana = lana;
    c.segment = segment;
    c.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, last};
    ASSERT_TRUE(plat::AddNetbiosAdapter(c));
  }
  static UCHAR Add(UCHAR lana, const char* name, bool group, UCHAR* num) {
    return NetbiosAddName(lana, name, group, num);
  }
  static bool WaitWaiters(int n) {
    for (int i = 0; i < 20000 && plat::NetbiosWaiterCount() != n; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return plat::NetbiosWaiterCount() == n;
  }
  static UCHAR Listen(UCHAR lana, const char* local, NCB* ncb) {
    NcbClear(ncb);
    ncb->ncb_command = NCBLISTEN;
    ncb->ncb_lana_num = lana;
    NcbSetName(ncb->ncb_name, local);
    ncb->ncb_callname[0] = '*';
    return Netbios(ncb);
  }
  static UCHAR Recv(UCHAR lana, UCHAR lsn, UCHAR* buf, WORD len, WORD* got) {
    NCB ncb;
    NcbClear(&ncb);
    ncb.ncb_command = NCBRECV;
    ncb.ncb_lana_num = lana;
    ncb.ncb_lsn = lsn;
    ncb.ncb_buffer = buf;
    ncb.ncb_length = len;
    UCHAR r = Netbios(&ncb);
    *got = ncb.ncb_length;
    return r;
  }
};

TEST_F(NetbiosService, EnumListsEveryAdapterAndUnknownLanaIsRefused) {
  Adapter(3, "a");
  Adapter(0, "b");
  LANA_ENUM le;
  std::memset(&le, 0xEE, sizeof le);
  NCB ncb;
  EXPECT_EQ(NetbiosEnum(&ncb, reinterpret_cast<PUCHAR>(&le), sizeof le), NRC_GOODRET);
  EXPECT_EQ(le.length, 2);
  EXPECT_EQ(le.lana[0], 0);
  EXPECT_EQ(le.lana[1], 3);
  EXPECT_EQ(ncb.ncb_retcode, NRC_GOODRET);
  EXPECT_EQ(NetbiosReset(7), NRC_BRIDGE);
  NCB async;
  NcbClear(&async);
  async.ncb_command = NCBRESET | ASYNCH;
  EXPECT_EQ(Netbios(&async), NRC_ILLCMD);
}

TEST_F(NetbiosService, NamesAreNumberedAndDefendedOnTheSegment) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  Adapter(2, "other");
  UCHAR a = 0xEE, b = 0xEE, c = 0xEE;
  EXPECT_EQ(Add(0, "ORVE_SRV        ", true, &a), NRC_GOODRET);
  EXPECT_EQ(Add(0, "OV_1", false, &b), NRC_GOODRET);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 3);
  // Group names may be shared; a unique name may not, in either direction.
  EXPECT_EQ(Add(1, "ORVE_SRV        ", true, &c), NRC_GOODRET);
  UCHAR untouched = 0xEE;
  EXPECT_EQ(Add(1, "OV_1", false, &untouched), NRC_INUSE);
  EXPECT_EQ(Add(1, "OV_1", true, &untouched), NRC_INUSE);
  EXPECT_EQ(Add(1, "ORVE_SRV        ", false, &untouched), NRC_INUSE);
  EXPECT_EQ(untouched, 0xEE);
  // Another segment is another network.
  EXPECT_EQ(Add(2, "OV_1", false, &c), NRC_GOODRET);
  // The same name twice on one adapter, without the delete first.
  NCB ncb;
  NcbClear(&ncb);
  ncb.ncb_command = NCBADDNAME;
  ncb.ncb_lana_num = 0;
  NcbSetName(ncb.ncb_name, "OV_1");
  EXPECT_EQ(Netbios(&ncb), NRC_DUPNAME);
  EXPECT_EQ(NetbiosDeleteName(0, "NOPE"), NRC_NOWILD);
}

TEST_F(NetbiosService, ResetSetsTheNameTableSize) {
  Adapter(0, "lan");
  ASSERT_EQ(NetbiosReset(0), NRC_GOODRET);
  UCHAR n;
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Add(0, ("N" + std::to_string(i)).c_str(), false, &n), NRC_GOODRET);
  EXPECT_EQ(Add(0, "N6", false, &n), NRC_NAMTFUL);
  // A reset drops every name.
  ASSERT_EQ(NetbiosReset(0), NRC_GOODRET);
  EXPECT_EQ(NetbiosDeleteName(0, "N0"), NRC_NOWILD);
}

TEST_F(NetbiosService, AdapterStatusGivesTheAddressThenTheNames) {
  Adapter(0, "lan", 0x9A);
  UCHAR g, u;
  ASSERT_EQ(Add(0, "ORVE_QDL        ", true, &g), NRC_GOODRET);
  ASSERT_EQ(Add(0, "OV_9A7856341202", false, &u), NRC_GOODRET);
  std::vector<UCHAR> buf(4650, 0xEE);
  NCB ncb;
  ASSERT_EQ(NetbiosAdapterStatus(0, &ncb, buf.data(), 4650, "*"), NRC_GOODRET);
  ASSERT_EQ(ncb.ncb_length, sizeof(ADAPTER_STATUS) + 2 * sizeof(NAME_BUFFER));
  auto* st = reinterpret_cast<ADAPTER_STATUS*>(buf.data());
  const UCHAR hw[6] = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A};
  EXPECT_EQ(std::memcmp(st->adapter_address, hw, 6), 0);
  EXPECT_EQ(st->name_count, 2);
  auto* names = reinterpret_cast<NAME_BUFFER*>(buf.data() + sizeof(ADAPTER_STATUS));
  EXPECT_EQ(std::memcmp(names[0].name, "ORVE_QDL        ", 16), 0);
  EXPECT_EQ(names[0].name_flags, GROUP_NAME | REGISTERED);
  EXPECT_EQ(std::memcmp(names[1].name, "OV_9A7856341202 ", 16), 0);
  EXPECT_EQ(names[1].name_num, u);
  EXPECT_EQ(buf[ncb.ncb_length], 0xEE);

  // One byte short of the whole answer: what fits, and the incomplete code.
  WORD shortLen = static_cast<WORD>(sizeof(ADAPTER_STATUS) + 2 * sizeof(NAME_BUFFER) - 1);
  std::fill(buf.begin(), buf.end(), 0xEE);
  EXPECT_EQ(NetbiosAdapterStatus(0, &ncb, buf.data(), shortLen, "*"), NRC_INCOMP);
  EXPECT_EQ(ncb.ncb_length, shortLen);
  EXPECT_EQ(buf[shortLen], 0xEE);
}

TEST_F(NetbiosService, GroupDatagramReachesEveryMemberOfTheSegmentOnly) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  Adapter(2, "other");
  UCHAR n0, n1, n2, s0;
  ASSERT_EQ(Add(0, "ORVE_QDL        ", true, &n0), NRC_GOODRET);
  ASSERT_EQ(Add(1, "ORVE_QDL        ", true, &n1), NRC_GOODRET);
  ASSERT_EQ(Add(2, "ORVE_QDL        ", true, &n2), NRC_GOODRET);
  ASSERT_EQ(Add(0, "ORVE_SRV        ", true, &s0), NRC_GOODRET);

  UCHAR far = 0;
  NCB farNcb;
  std::atomic<UCHAR> farResult{0xEE};
  std::thread farReceiver([&] { farResult = NetbiosDatagramReceive(2, &farNcb, &far, 1, n2); });
  ASSERT_TRUE(WaitWaiters(1));

  UCHAR ping = 0x02;
  NCB send;
  ASSERT_EQ(NetbiosDatagramSend(0, &send, &ping, 1, "ORVE_QDL        ", s0), NRC_GOODRET);
  for (auto [lana, num] : {std::pair<UCHAR, UCHAR>{0, n0}, {1, n1}}) {
    UCHAR got = 0;
    NCB recv;
    EXPECT_EQ(NetbiosDatagramReceive(lana, &recv, &got, 1, num), NRC_GOODRET);
    EXPECT_EQ(got, 0x02);
    EXPECT_EQ(recv.ncb_length, 1);
    EXPECT_EQ(std::memcmp(recv.ncb_callname, "ORVE_SRV        ", 16), 0);
  }
  // Nothing crossed to the other segment; deleting the name ends its receive.
  EXPECT_EQ(plat::NetbiosWaiterCount(), 1);
  EXPECT_EQ(NetbiosDeleteName(2, "ORVE_QDL        "), NRC_GOODRET);
  farReceiver.join();
  EXPECT_EQ(farResult.load(), NRC_NAMERR);
  EXPECT_EQ(plat::NetbiosWaiterCount(), 0);
}

TEST_F(NetbiosService, DatagramLimitsBacklogAndOversizeReceive) {
  Adapter(0, "lan");
  UCHAR num;
  ASSERT_EQ(Add(0, "ORVE_SRV        ", true, &num), NRC_GOODRET);
  std::vector<UCHAR> big(513, 0x41);
  NCB ncb;
  EXPECT_EQ(NetbiosDatagramSend(0, &ncb, big.data(), 513, "ORVE_SRV        ", num), NRC_BUFLEN);
  EXPECT_EQ(NetbiosDatagramSend(0, &ncb, big.data(), 1, "ORVE_SRV        ", 77), NRC_ILLNN);
  for (int i = 0; i < 512; ++i) big[i] = static_cast<UCHAR>(i);
  ASSERT_EQ(NetbiosDatagramSend(0, &ncb, big.data(), 512, "ORVE_SRV        ", num), NRC_GOODRET);
  UCHAR small[10];
  std::memset(small, 0xEE, sizeof small);
  EXPECT_EQ(NetbiosDatagramReceive(0, &ncb, small, 8, num), NRC_INCOMP);
  EXPECT_EQ(ncb.ncb_length, 8);
  EXPECT_EQ(small[7], 7);
  EXPECT_EQ(small[8], 0xEE);
  EXPECT_EQ(NetbiosDatagramReceive(0, &ncb, small, 1, 99), NRC_ILLNN);

  // With no receive pending, a burst of a thousand full datagrams waits whole;
  // past the backlog's bytes the oldest are lost, and every loss is counted.
  constexpr int kBurst = 3000;
  for (int i = 0; i < kBurst; ++i) {
    big[0] = static_cast<UCHAR>(i >> 8);
    big[1] = static_cast<UCHAR>(i);
    ASSERT_EQ(NetbiosDatagramSend(0, &ncb, big.data(), 512, "ORVE_SRV        ", num), NRC_GOODRET);
  }
  std::uint64_t dropped = plat::NetbiosDroppedDatagrams(0).value_or(0);
  EXPECT_GT(dropped, 0u);
  ASSERT_GE(kBurst - dropped, 1000u);
  for (std::uint64_t i = dropped; i < kBurst; ++i) {
    ASSERT_EQ(NetbiosDatagramReceive(0, &ncb, big.data(), 512, num), NRC_GOODRET);
    ASSERT_EQ(big[0] << 8 | big[1], static_cast<int>(i));
  }
  EXPECT_EQ(plat::NetbiosDroppedDatagrams(0), dropped);
  EXPECT_FALSE(plat::NetbiosDroppedDatagrams(9).has_value());
}

TEST_F(NetbiosService, CallTellsNoListenerFromFullListener) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  UCHAR n;
  ASSERT_EQ(Add(0, "OV_CALLER", false, &n), NRC_GOODRET);
  NCB call;
  EXPECT_EQ(NetbiosCall(0, &call, "OV_CALLER", "PORT1"), NRC_NOCALL);
  ASSERT_EQ(Add(1, "PORT1", false, &n), NRC_GOODRET);
  EXPECT_EQ(NetbiosCall(0, &call, "OV_CALLER", "PORT1"), NRC_NOCALL);  // held, nobody listens
  EXPECT_EQ(NetbiosCall(0, &call, "NOT_MINE", "PORT1"), NRC_NOWILD);

  NCB listen;
  std::atomic<UCHAR> listened{0xEE};
  std::thread listener([&] { listened = Listen(1, "PORT1", &listen); });
  ASSERT_TRUE(WaitWaiters(1));
  ASSERT_TRUE(plat::SetNetbiosSessionLimit(1, 0));
  EXPECT_EQ(NetbiosCall(0, &call, "OV_CALLER", "PORT1"), NRC_REMTFUL);
  ASSERT_TRUE(plat::SetNetbiosSessionLimit(1, -1));
  ASSERT_EQ(NetbiosCall(0, &call, "OV_CALLER", "PORT1"), NRC_GOODRET);
  listener.join();
  EXPECT_EQ(listened.load(), NRC_GOODRET);
  EXPECT_NE(call.ncb_lsn, 0);
  EXPECT_NE(listen.ncb_lsn, 0);
  EXPECT_EQ(std::memcmp(listen.ncb_callname, "OV_CALLER       ", 16), 0);
}

TEST_F(NetbiosService, SessionKeepsMessagesAndHangUpEndsThePeersReceive) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  UCHAR n;
  ASSERT_EQ(Add(0, "OV_CALLER", false, &n), NRC_GOODRET);
  ASSERT_EQ(Add(1, "PORT1", false, &n), NRC_GOODRET);
  NCB listen, call;
  std::thread listener([&] { Listen(1, "PORT1", &listen); });
  ASSERT_TRUE(WaitWaiters(1));
  ASSERT_EQ(NetbiosCall(0, &call, "OV_CALLER", "PORT1"), NRC_GOODRET);
  listener.join();
  UCHAR lsn = call.ncb_lsn;

  // Sends within the queue's bound do not wait for the reader.
  NCB send;
  UCHAR msg[5] = {1, 2, 3, 4, 5};
  for (int i = 0; i < 32; ++i) ASSERT_EQ(NetbiosSend(0, &send, msg, 5, lsn), NRC_GOODRET);
  EXPECT_EQ(NetbiosHangUp(0, &send, lsn), NRC_GOODRET);
  EXPECT_EQ(NetbiosHangUp(0, &send, lsn), NRC_SNUMOUT);
  EXPECT_EQ(NetbiosSend(0, &send, msg, 5, lsn), NRC_SNUMOUT);

  UCHAR buf[8];
  WORD got = 0;
  ASSERT_EQ(Recv(1, listen.ncb_lsn, buf, 3, &got), NRC_INCOMP);
  EXPECT_EQ(got, 3);
  ASSERT_EQ(Recv(1, listen.ncb_lsn, buf, 8, &got), NRC_GOODRET);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(buf[0], 4);
  // Everything sent before the hang-up still arrives, then the close.
  for (int i = 1; i < 32; ++i) ASSERT_EQ(Recv(1, listen.ncb_lsn, buf, 8, &got), NRC_GOODRET);
  EXPECT_EQ(Recv(1, listen.ncb_lsn, buf, 8, &got), NRC_SCLOSED);
  EXPECT_EQ(Recv(1, listen.ncb_lsn, buf, 8, &got), NRC_SNUMOUT);
}

TEST_F(NetbiosService, PendingCommandsEndOnResetAndOnAdapterRemoval) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  UCHAR n0, n1;
  ASSERT_EQ(Add(0, "PORT0", false, &n0), NRC_GOODRET);
  ASSERT_EQ(Add(1, "ORVE_SRV        ", true, &n1), NRC_GOODRET);
  NCB l, r;
  UCHAR b;
  std::atomic<UCHAR> lr{0xEE}, rr{0xEE};
  std::thread t1([&] { lr = Listen(0, "PORT0", &l); });
  std::thread t2([&] { rr = NetbiosDatagramReceive(1, &r, &b, 1, n1); });
  ASSERT_TRUE(WaitWaiters(2));
  EXPECT_EQ(NetbiosReset(0), NRC_GOODRET);
  t1.join();
  EXPECT_EQ(lr.load(), NRC_CMDCAN);
  EXPECT_TRUE(plat::RemoveNetbiosAdapter(1));
  t2.join();
  EXPECT_EQ(rr.load(), NRC_BRIDGE);
}

TEST_F(NetbiosService, ManySessionsAtOnceKeepTheirOrder) {
  Adapter(0, "lan");
  Adapter(1, "lan");
  constexpr int kSessions = 6, kMessages = 300;
  UCHAR n;
  ASSERT_EQ(Add(0, "OV_CALLER", false, &n), NRC_GOODRET);
  std::vector<std::thread> servers;
  std::atomic<int> bad{0};
  for (int s = 0; s < kSessions; ++s) {
    std::string port = "PORT" + std::to_string(s);
    ASSERT_EQ(Add(1, port.c_str(), false, &n), NRC_GOODRET);
    servers.emplace_back([&, port] {
      NCB l;
      if (Listen(1, port.c_str(), &l) != NRC_GOODRET) return bad.fetch_add(1), void();
      UCHAR buf[4];
      WORD got;
      for (int i = 0; i < kMessages; ++i)
        if (Recv(1, l.ncb_lsn, buf, 4, &got) != NRC_GOODRET || got != 4 || std::memcmp(buf, &i, 4) != 0) bad++;
      if (Recv(1, l.ncb_lsn, buf, 4, &got) != NRC_SCLOSED) bad++;
    });
  }
  ASSERT_TRUE(WaitWaiters(kSessions));
  std::vector<std::thread> clients;
  for (int s = 0; s < kSessions; ++s) {
    clients.emplace_back([&, s] {
      NCB c;
      std::string port = "PORT" + std::to_string(s);
      if (NetbiosCall(0, &c, "OV_CALLER", port.c_str()) != NRC_GOODRET) return bad.fetch_add(1), void();
      for (int i = 0; i < kMessages; ++i)
        if (NetbiosSend(0, &c, reinterpret_cast<PUCHAR>(&i), 4, c.ncb_lsn) != NRC_GOODRET) bad++;
      NetbiosHangUp(0, &c, c.ncb_lsn);
    });
  }
  for (auto& t : clients) t.join();
  for (auto& t : servers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(NetbiosService, AdapterMapNamesTheListedAdaptersOnly) {
  plat::ResetRegistry();
  HKEY key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Rpc\\Netbios", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr),
            ERROR_SUCCESS);
  const char stale[] = "4";
  RegSetValueExA(key, "ncacn_nb_nb4", 0, REG_SZ, reinterpret_cast<const BYTE*>(stale), 2);
  RegSetValueExA(key, "ncacn_ip_tcp", 0, REG_SZ, reinterpret_cast<const BYTE*>(stale), 2);
  Adapter(1, "lan");
  Adapter(0, "lan");
  plat::NetbiosAdapterConfig box;
  box.lana = 5;
  box.inAdapterMap = false;
  ASSERT_TRUE(plat::AddNetbiosAdapter(box));
  ASSERT_TRUE(plat::WriteNetbiosAdapterMap());

  std::vector<std::string> values;
  for (DWORD i = 0;; ++i) {
    char name[64], data[8];
    DWORD cch = sizeof name, cb = sizeof data, type = 0;
    if (RegEnumValueA(key, i, name, &cch, nullptr, &type, reinterpret_cast<BYTE*>(data), &cb) != ERROR_SUCCESS) break;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    values.push_back(std::string(name) + "=" + data);
  }
  RegCloseKey(key);
  std::sort(values.begin(), values.end());
  EXPECT_EQ(values, (std::vector<std::string>{"ncacn_ip_tcp=4", "ncacn_nb_nb0=0", "ncacn_nb_nb1=1"}));
}

}  // namespace
