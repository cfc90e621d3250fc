// Adapter records: the module's unique name from the hardware address, and
// the registration and release of the three names.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/netbios.h"
#include "netbios/lana.h"
#include "netbios/ncb.h"

namespace {

class Lana : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::ResetNetbios();
    plat::NetbiosAdapterConfig c;
    c.lana = 2;
    c.hardwareAddress = {0x02, 0x12, 0x34, 0x56, 0x78, 0x9A};
    ASSERT_TRUE(plat::AddNetbiosAdapter(c));
    plat::SetNetbiosTrace([this](const NCB& ncb) {
      std::lock_guard lock(mutex);
      seen.push_back(std::to_string(ncb.ncb_command) + " " +
                     std::string(reinterpret_cast<const char*>(ncb.ncb_name), 16));
    });
  }
  void TearDown() override { plat::ResetNetbios(); }
  std::mutex mutex;
  std::vector<std::string> seen;
};

std::string Cmd(int command, const char* name) {
  std::string n(name);
  n.resize(16, ' ');
  return std::to_string(command) + " " + n;
}

TEST_F(Lana, UniqueNameIsTheHardwareAddressLastByteFirst) {
  char name[17];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(MyNetbiosName(2, name), NRC_GOODRET);
  EXPECT_STREQ(name, "OV_9A7856341202");
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(MyNetbiosName(4, name), NRC_BRIDGE);
  EXPECT_EQ(name[0], 'x');
}

TEST_F(Lana, NamesReachTheAdapterInOrderAndFillTheRecord) {
  LanaRecord rec{};
  rec.bLanaNum = 2;
  RegisterAdapterNames(&rec);
  std::vector<std::string> expected = {
      Cmd(NCBDELNAME, "ORVE_SRV"), Cmd(NCBADDGRNAME, "ORVE_SRV"), Cmd(NCBDELNAME, "ORVE_QDL"),
      Cmd(NCBADDGRNAME, "ORVE_QDL"), Cmd(NCBASTAT, ""), Cmd(NCBDELNAME, "OV_9A7856341202"),
      Cmd(NCBADDNAME, "OV_9A7856341202")};
  EXPECT_EQ(seen, expected);
  EXPECT_STREQ(rec.szLocalName, "OV_9A7856341202");
  EXPECT_EQ(rec.bSrvGroupNum, 2);
  EXPECT_EQ(rec.bQdlGroupNum, 3);
  EXPECT_EQ(rec.bLocalNameNum, 4);

  // Registering again replaces the names: same table, fresh numbers.
  RegisterAdapterNames(&rec);
  EXPECT_NE(rec.bSrvGroupNum, 0);
}

TEST_F(Lana, FailedStatusKeepsTheOldNameAndStillAddsIt) {
  LanaRecord rec{};
  rec.bLanaNum = 7;  // no such adapter: every step fails
  std::strcpy(rec.szLocalName, "OV_EARLIER");
  rec.bSrvGroupNum = 0x55;
  RegisterAdapterNames(&rec);
  EXPECT_STREQ(rec.szLocalName, "OV_EARLIER");
  EXPECT_EQ(rec.bSrvGroupNum, 0x55);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), Cmd(NCBADDNAME, "OV_EARLIER"));
}

TEST_F(Lana, ReleaseEndsTheReceivesPendingOnTheGroups) {
  LanaRecord rec{};
  rec.bLanaNum = 2;
  RegisterAdapterNames(&rec);
  UCHAR srvResult = 0xEE, qdlResult = 0xEE;
  std::thread refresh([&] {
    srvResult = NetbiosDatagramReceive(2, &rec.ncbReport, rec.abReport, REPORT_BUFFER_SIZE, rec.bSrvGroupNum);
  });
  std::thread listen([&] {
    NCB ncb;
    BYTE b;
    qdlResult = NetbiosDatagramReceive(2, &ncb, &b, 1, rec.bQdlGroupNum);
  });
  ASSERT_TRUE(plat::WaitForQuiet(2));
  ReleaseAdapterNames(&rec);
  refresh.join();
  listen.join();
  EXPECT_EQ(srvResult, NRC_NAMERR);
  EXPECT_EQ(qdlResult, NRC_NAMERR);
  EXPECT_EQ(seen.back(), Cmd(NCBDELNAME, "OV_9A7856341202"));
  EXPECT_EQ(NetbiosDeleteName(2, "OV_9A7856341202"), NRC_NOWILD);
}

}  // namespace
