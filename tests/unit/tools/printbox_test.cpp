// The print-box emulator: job rebuilding from packets, its reports, and the
// box itself on the in-process segment.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "host/netbios.h"
#include "job_rebuilder.h"
#include "netbios/ncb.h"
#include "print_box.h"

namespace {

using printbox::JobRebuilder;
using printbox::JobState;
using Bytes = std::vector<std::uint8_t>;

Bytes Packet(std::uint8_t kind, const Bytes& payload, int reserved = 0, int length = -1) {
  std::size_t n = length < 0 ? payload.size() : static_cast<std::size_t>(length);
  Bytes p = {kind, static_cast<std::uint8_t>(reserved), static_cast<std::uint8_t>(n & 0xFF),
             static_cast<std::uint8_t>(n >> 8)};
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Pattern(std::size_t n, int seed = 0) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + seed);
  return b;
}

TEST(JobRebuilder, WholeAndSplitPacketsGiveTheSameJob) {
  Bytes a = Pattern(3068), b = Pattern(2, 1);
  Bytes stream = Concat({Packet(0, a), Packet(0, b), Packet(1, {0x42})});
  Bytes job = Concat({a, b, {0x42}});
  for (std::size_t piece : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{5}, std::size_t{3071}}) {
    JobRebuilder r;
    for (std::size_t i = 0; i < stream.size(); i += piece)
      r.Feed(std::span<const std::uint8_t>(stream).subspan(i, std::min(piece, stream.size() - i)));
    auto jobs = r.TakeFinished();
    ASSERT_EQ(jobs.size(), 1u) << "piece " << piece;
    EXPECT_EQ(jobs[0].state, JobState::Complete);
    EXPECT_EQ(jobs[0].data, job);
    r.End();
    EXPECT_TRUE(r.TakeFinished().empty());
  }
}

TEST(JobRebuilder, HangUpWithoutEndOfJobLeavesAnIncompleteJob) {
  struct Case {
    const char* what;
    Bytes stream;
    std::size_t jobs;
    Bytes last;  // the last job's data: whole packets only
  } cases[] = {
      {"data only", Packet(0, {1, 2, 3}), 1, {1, 2, 3}},
      {"header cut short", Concat({Packet(0, {1}), {0x00, 0x00}}), 1, {1}},
      {"payload cut short", Concat({Packet(0, {4}), {0x00, 0x00, 0x05, 0x00, 1, 2}}), 1, {4}},
      {"nothing sent", {}, 0, {}},
      {"one job done, next begun", Concat({Packet(1, {9}), Packet(0, {8})}), 2, {8}},
  };
  for (const auto& c : cases) {
    JobRebuilder r;
    r.Feed(c.stream);
    r.End();
    auto jobs = r.TakeFinished();
    ASSERT_EQ(jobs.size(), c.jobs) << c.what;
    if (c.jobs) {
      EXPECT_EQ(jobs.back().state, JobState::Incomplete) << c.what;
      EXPECT_EQ(jobs.back().data, c.last) << c.what;
    }
    EXPECT_EQ(r.MalformedPackets(), 0u) << c.what;
  }
}

TEST(JobRebuilder, MalformedPacketBreaksTheJobAndTheRestIsIgnored) {
  struct Case {
    const char* what;
    Bytes bad;
  } cases[] = {
      {"kind 2", Packet(2, {1})},
      {"reserved byte set", Packet(0, {1}, 1)},
      {"length 0", Packet(0, {})},
      {"length 3069", Packet(0, Pattern(3069))},
      {"length 0xFFFF", Packet(1, {}, 0, 0xFFFF)},
  };
  for (const auto& c : cases) {
    JobRebuilder r;
    r.Feed(Concat({Packet(0, {1, 2}), c.bad, Packet(1, {3})}));
    r.End();
    auto jobs = r.TakeFinished();
    ASSERT_EQ(jobs.size(), 1u) << c.what;
    EXPECT_EQ(jobs[0].state, JobState::Broken) << c.what;
    EXPECT_EQ(jobs[0].data, (Bytes{1, 2})) << c.what;
    EXPECT_EQ(r.MalformedPackets(), 1u) << c.what;
  }
}

TEST(ServerReports, ElevenPortsPerReportWithPaddedNames) {
  std::vector<printbox::PortStatus> ports;
  for (int i = 0; i < 25; ++i) ports.push_back({"P" + std::to_string(i), static_cast<std::uint8_t>(0x10 + i % 5)});
  ports[24].name = "A_NAME_OF_MORE_THAN_16";
  auto reports = printbox::BuildServerReports("BOX", 0x80, ports);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].size(), 79u + 11 * 37);
  EXPECT_EQ(reports[2].size(), 79u + 3 * 37);
  EXPECT_EQ(reports[0][1], 0x80);
  EXPECT_EQ(reports[0][78], 11);
  EXPECT_EQ(reports[2][78], 3);
  const std::uint8_t* e = reports[1].data() + 79 + 37;  // port 12
  EXPECT_EQ(e[0], 0x10 + 12 % 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e + 5), 16), "P12             ");
  const std::uint8_t* last = reports[2].data() + 79 + 2 * 37;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(last + 5), 16), "A_NAME_OF_MORE_T");
  EXPECT_EQ(printbox::BuildServerReports("BOX", 1, {}).size(), 1u);
}

// A box on LANA 5 and a test node (a monitor's stand-in) on LANA 0.
class PrintBox : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::ResetNetbios();
    dir = std::filesystem::temp_directory_path() /
          ("printbox_test_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    for (UCHAR lana : {0, 5}) {
      plat::NetbiosAdapterConfig c;
      c.lana = lana;
      c.segment = "lan";
      c.inAdapterMap = lana == 0;
      ASSERT_TRUE(plat::AddNetbiosAdapter(c));
    }
    ASSERT_EQ(NetbiosAddName(0, "ORVE_SRV        ", 1, &srv), NRC_GOODRET);
    ASSERT_EQ(NetbiosAddName(0, "OV_TEST", 0, &local), NRC_GOODRET);
    printbox::BoxConfig config;
    config.lana = 5;
    config.ports = {{"LPT1", 0x10}, {"LPT2", 0x12}};
    config.outputDir = dir;
    box = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box->Start(), NRC_GOODRET);
  }
  void TearDown() override {
    box.reset();
    plat::ResetNetbios();
    std::filesystem::remove_all(dir);
  }
  Bytes Ping() {
    UCHAR ping = 0x02;
    NCB ncb;
    EXPECT_EQ(NetbiosDatagramSend(0, &ncb, &ping, 1, "ORVE_QDL        ", srv), NRC_GOODRET);
    Bytes report(512);
    EXPECT_EQ(NetbiosDatagramReceive(0, &ncb, report.data(), 512, srv), NRC_GOODRET);
    report.resize(ncb.ncb_length);
    return report;
  }
  UCHAR Call(const char* port, UCHAR* lsn) {
    NCB ncb;
    UCHAR r = NetbiosCall(0, &ncb, "OV_TEST", port);
    *lsn = ncb.ncb_lsn;
    return r;
  }
  UCHAR Send(UCHAR lsn, Bytes packet) {
    NCB ncb;
    return NetbiosSend(0, &ncb, packet.data(), static_cast<WORD>(packet.size()), lsn);
  }
  void HangUp(UCHAR lsn) {
    NCB ncb;
    NetbiosHangUp(0, &ncb, lsn);
  }
  // The box's port threads listen again once a session is over.
  bool Listening(int n) {
    for (int i = 0; i < 20000 && plat::NetbiosWaiterCount() < n; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    return plat::NetbiosWaiterCount() >= n;
  }

  std::filesystem::path dir;
  UCHAR srv = 0, local = 0;
  std::unique_ptr<printbox::Box> box;
};

TEST_F(PrintBox, AnswersPingsWithItsPortsAndFollowsStatusChanges) {
  Bytes report = Ping();
  ASSERT_EQ(report.size(), 79u + 2 * 37);
  EXPECT_EQ(report[1], 0x01);
  EXPECT_EQ(report[78], 2);
  EXPECT_EQ(report[79], 0x10);
  EXPECT_EQ(report[79 + 37], 0x12);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&report[79 + 5]), 16), "LPT1            ");

  EXPECT_TRUE(box->SetPortStatus("LPT1", 0x13));
  EXPECT_FALSE(box->SetPortStatus("NOPE", 0x13));
  EXPECT_EQ(Ping()[79], 0x13);

  // Muted, it still hears pings but sends nothing back.
  box->SetAnswerPings(false);
  UCHAR ping = 0x02;
  NCB ncb;
  ASSERT_EQ(NetbiosDatagramSend(0, &ncb, &ping, 1, "ORVE_QDL        ", srv), NRC_GOODRET);
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.pingsHeard == 3; }));
  EXPECT_EQ(box->Stats().reportsSent, 2u);
}

TEST_F(PrintBox, PrintsACompleteJobToAFile) {
  UCHAR lsn;
  ASSERT_TRUE(Listening(3));
  ASSERT_EQ(Call("LPT1", &lsn), NRC_GOODRET);
  Bytes a = Pattern(3067);
  ASSERT_EQ(Send(lsn, Packet(0, a)), NRC_GOODRET);
  ASSERT_EQ(Send(lsn, Packet(1, {0x0C})), NRC_GOODRET);
  HangUp(lsn);
  ASSERT_TRUE(box->WaitForCompleteJobs(1));
  auto jobs = box->JobsIn(JobState::Complete);
  ASSERT_EQ(jobs.size(), 1u);
  a.push_back(0x0C);
  EXPECT_EQ(jobs[0].port, "LPT1");
  EXPECT_EQ(jobs[0].data, a);
  std::ifstream in(jobs[0].file, std::ios::binary);
  Bytes onDisk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(onDisk, a);
}

TEST_F(PrintBox, KeepsIncompleteAndBrokenJobsApart) {
  UCHAR lsn;
  ASSERT_TRUE(Listening(3));
  ASSERT_EQ(Call("LPT2", &lsn), NRC_GOODRET);
  ASSERT_EQ(Send(lsn, Packet(0, {1, 2, 3})), NRC_GOODRET);
  HangUp(lsn);
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.incompleteJobs == 1; }));
  ASSERT_TRUE(Listening(3));

  ASSERT_EQ(Call("LPT2", &lsn), NRC_GOODRET);
  ASSERT_EQ(Send(lsn, Packet(7, {1})), NRC_GOODRET);
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.malformedPackets == 1; }));
  // The box hung up on the broken session: the sender learns it.
  EXPECT_EQ(Send(lsn, Packet(0, {1})), NRC_SCLOSED);
  ASSERT_TRUE(Listening(3));

  ASSERT_EQ(Call("LPT2", &lsn), NRC_GOODRET);
  HangUp(lsn);
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.emptySessions == 1; }));
  auto stats = box->Stats();
  EXPECT_EQ(stats.completeJobs, 0u);
  EXPECT_EQ(stats.malformedPackets, 1u);
  EXPECT_EQ(stats.sessions, 3u);
  auto incomplete = box->JobsIn(JobState::Incomplete);
  ASSERT_EQ(incomplete.size(), 1u);
  EXPECT_EQ(incomplete[0].file.parent_path().filename(), "incomplete");
}

TEST_F(PrintBox, RefusesSessionsAsFullWhenTold) {
  ASSERT_TRUE(Listening(3));
  UCHAR lsn;
  box->SetRefuseSessions(true);
  EXPECT_EQ(Call("LPT1", &lsn), NRC_REMTFUL);
  EXPECT_EQ(Call("LPT9", &lsn), NRC_NOCALL);
  box->SetRefuseSessions(false);
  EXPECT_EQ(Call("LPT1", &lsn), NRC_GOODRET);
  HangUp(lsn);
}

}  // namespace
