// The module's NetBIOS command layer: the fields each operation fills and the
// order of the commands it issues, seen through the service's trace.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "host/netbios.h"
#include "netbios/ncb.h"

namespace {

class NetbiosCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::ResetNetbios();
    plat::NetbiosAdapterConfig c;
    c.lana = 0;
    plat::AddNetbiosAdapter(c);
    plat::SetNetbiosTrace([this](const NCB& ncb) {
      std::lock_guard lock(mutex);
      seen.push_back(ncb);
    });
  }
  void TearDown() override { plat::ResetNetbios(); }
  static std::string Field(const UCHAR* f) { return std::string(reinterpret_cast<const char*>(f), 16); }

  std::mutex mutex;
  std::vector<NCB> seen;
};

TEST_F(NetbiosCommands, ClearZeroesTheBlockAndPadsBothNames) {
  NCB ncb;
  std::memset(&ncb, 0xDE, sizeof ncb);
  NcbClear(&ncb);
  EXPECT_EQ(Field(ncb.ncb_name), std::string(16, ' '));
  EXPECT_EQ(Field(ncb.ncb_callname), std::string(16, ' '));
  EXPECT_EQ(ncb.ncb_post, nullptr);
  EXPECT_EQ(ncb.ncb_event, nullptr);
  EXPECT_EQ(ncb.ncb_lsn, 0);
  EXPECT_EQ(ncb.ncb_reserve[17], 0);
}

TEST_F(NetbiosCommands, ResetAsksForEighteenSessionsAndSixNames) {
  EXPECT_EQ(NetbiosReset(0), NRC_GOODRET);
  ASSERT_EQ(seen.size(), 1u);
  const NCB& n = seen[0];
  EXPECT_EQ(n.ncb_command, NCBRESET);
  EXPECT_EQ(n.ncb_lsn, 0);
  const UCHAR expected[16] = {18, ' ', 6, ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  EXPECT_EQ(std::memcmp(n.ncb_callname, expected, 16), 0);
}

TEST_F(NetbiosCommands, NamesArePaddedWithSpacesAndCutAtSixteen) {
  UCHAR num = 0xEE;
  ASSERT_EQ(NetbiosAddName(0, "OV_9A7856341202", 0, &num), NRC_GOODRET);
  ASSERT_EQ(NetbiosAddName(0, "ORVE_SRV        ", 5, &num), NRC_GOODRET);
  ASSERT_EQ(NetbiosDeleteName(0, "A_NAME_LONGER_THAN_16"), NRC_NOWILD);
  ASSERT_EQ(seen.size(), 5u);
  // Every add deletes first, then adds as unique (isGroup 0) or group (any other).
  EXPECT_EQ(seen[0].ncb_command, NCBDELNAME);
  EXPECT_EQ(seen[1].ncb_command, NCBADDNAME);
  EXPECT_EQ(Field(seen[1].ncb_name), "OV_9A7856341202 ");
  EXPECT_EQ(seen[2].ncb_command, NCBDELNAME);
  EXPECT_EQ(Field(seen[2].ncb_name), "ORVE_SRV        ");
  EXPECT_EQ(seen[3].ncb_command, NCBADDGRNAME);
  EXPECT_EQ(Field(seen[3].ncb_name), "ORVE_SRV        ");
  EXPECT_EQ(Field(seen[4].ncb_name), "A_NAME_LONGER_TH");
  EXPECT_EQ(num, 3);
}

TEST_F(NetbiosCommands, FailedAddLeavesTheNumberAlone) {
  UCHAR num = 0xEE;
  EXPECT_EQ(NetbiosAddName(9, "X", 0, &num), NRC_BRIDGE);
  EXPECT_EQ(NetbiosAddName(0, "*", 0, &num), NRC_NOWILD);
  EXPECT_EQ(num, 0xEE);
}

TEST_F(NetbiosCommands, EachCommandFillsItsOwnFields) {
  NCB ncb;
  UCHAR buf[4] = {2};
  NetbiosDatagramSend(0, &ncb, buf, 1, "ORVE_QDL        ", 7);
  NetbiosCall(0, &ncb, "OV_LOCAL", "PORT");
  NetbiosSend(0, &ncb, buf, 4, 9);
  NetbiosHangUp(0, &ncb, 9);
  NetbiosAdapterStatus(2, &ncb, buf, 4, "*");
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].ncb_command, NCBDGSEND);
  EXPECT_EQ(seen[0].ncb_num, 7);
  EXPECT_EQ(seen[0].ncb_buffer, buf);
  EXPECT_EQ(seen[0].ncb_length, 1);
  EXPECT_EQ(Field(seen[0].ncb_callname), "ORVE_QDL        ");
  EXPECT_EQ(Field(seen[0].ncb_name), std::string(16, ' '));
  EXPECT_EQ(seen[1].ncb_command, NCBCALL);
  EXPECT_EQ(Field(seen[1].ncb_name), "OV_LOCAL        ");
  EXPECT_EQ(Field(seen[1].ncb_callname), "PORT            ");
  EXPECT_EQ(seen[1].ncb_rto, 0);
  EXPECT_EQ(seen[1].ncb_sto, 0);
  EXPECT_EQ(seen[2].ncb_command, NCBSEND);
  EXPECT_EQ(seen[2].ncb_lsn, 9);
  EXPECT_EQ(seen[2].ncb_length, 4);
  EXPECT_EQ(seen[3].ncb_command, NCBHANGUP);
  EXPECT_EQ(seen[3].ncb_lsn, 9);
  EXPECT_EQ(seen[4].ncb_command, NCBASTAT);
  EXPECT_EQ(seen[4].ncb_lana_num, 2);
  EXPECT_EQ(Field(seen[4].ncb_callname), "*               ");
  // The codes come back unchanged: no such session, no such adapter.
  EXPECT_EQ(NetbiosHangUp(0, &ncb, 9), NRC_SNUMOUT);
  EXPECT_EQ(ncb.ncb_retcode, NRC_SNUMOUT);
}

}  // namespace
