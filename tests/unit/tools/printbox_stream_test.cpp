// A print box that keeps no jobs in memory writes each job to its file as it
// comes: the files hold the same bytes, and only whole jobs carry their names.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

#include "host/netbios.h"
#include "job_rebuilder.h"
#include "netbios/ncb.h"
#include "print_box.h"

namespace {

using printbox::JobRebuilder;
using printbox::JobState;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

Bytes Packet(std::uint8_t kind, const Bytes& payload) {
  Bytes p(4 + payload.size());
  p[0] = kind;
  p[2] = static_cast<std::uint8_t>(payload.size() & 0xFF);
  p[3] = static_cast<std::uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), p.begin() + 4);
  return p;
}

Bytes Pattern(std::size_t n, int seed) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 13 + seed + i / 251);
  return b;
}

Bytes ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(JobRebuilder, BytesTakenAsTheyComeLeaveTheRestToTheFinishedJob) {
  JobRebuilder r;
  Bytes a = Pattern(3068, 1), b = Pattern(100, 2), taken;
  // A packet and the start of the next: only the whole one can be taken.
  Bytes first = Packet(0, a), second = Packet(0, b);
  first.insert(first.end(), second.begin(), second.begin() + 50);
  r.Feed(first);
  EXPECT_EQ(r.JobBytes(), a.size());
  r.TakeJobBytes(&taken);
  EXPECT_EQ(taken, a);
  EXPECT_EQ(r.JobBytes(), 0u);
  // The rest of it, the end of this job and the start of the next in one piece.
  Bytes stream(second.begin() + 50, second.end());
  Bytes end = Packet(1, {7}), next = Packet(0, {8, 9});
  stream.insert(stream.end(), end.begin(), end.end());
  stream.insert(stream.end(), next.begin(), next.end());
  r.Feed(stream);
  auto jobs = r.TakeFinished();
  ASSERT_EQ(jobs.size(), 1u);
  b.push_back(7);
  EXPECT_EQ(jobs[0].data, b);
  EXPECT_EQ(jobs[0].state, JobState::Complete);
  r.TakeJobBytes(&taken);
  EXPECT_EQ(taken, (Bytes{8, 9}));
}

// A box on LANA 5 that writes its jobs to a directory only, and a test node
// on LANA 0.
class StreamingBox : public ::testing::Test {
 protected:
  void SetUp() override {
    plat::ResetNetbios();
    dir = fs::temp_directory_path() / ("printbox_stream_test_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    for (UCHAR lana : {0, 5}) {
      plat::NetbiosAdapterConfig c;
      c.lana = lana;
      c.segment = "lan";
      c.inAdapterMap = lana == 0;
      ASSERT_TRUE(plat::AddNetbiosAdapter(c));
    }
    UCHAR n;
    ASSERT_EQ(NetbiosAddName(0, "OV_TEST", 0, &n), NRC_GOODRET);
    printbox::BoxConfig config;
    config.lana = 5;
    config.ports = {{"LPT1", 0x10}};
    config.outputDir = dir;
    config.keepJobsInMemory = false;
    config.onJob = [this](const std::string&, JobState, std::size_t bytes, const fs::path&) {
      std::lock_guard lock(mutex);
      sizes.push_back(bytes);
    };
    box = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box->Start(), NRC_GOODRET);
  }
  void TearDown() override {
    box.reset();
    plat::ResetNetbios();
    fs::remove_all(dir);
  }
  // Calls the port once the box listens, sends the packets and hangs up.
  void Session(const std::vector<Bytes>& packets) {
    ASSERT_TRUE(plat::WaitForQuiet(2));
    NCB ncb;
    ASSERT_EQ(NetbiosCall(0, &ncb, "OV_TEST", "LPT1"), NRC_GOODRET);
    UCHAR lsn = ncb.ncb_lsn;
    for (Bytes p : packets) ASSERT_EQ(NetbiosSend(0, &ncb, p.data(), static_cast<WORD>(p.size()), lsn), NRC_GOODRET);
    NetbiosHangUp(0, &ncb, lsn);
  }
  // Packets of a job: full data packets, and an end-of-job packet if asked.
  static std::vector<Bytes> JobPackets(const Bytes& data, bool end) {
    std::vector<Bytes> out;
    for (std::size_t at = 0; at < data.size(); at += 3068) {
      std::size_t n = std::min<std::size_t>(3068, data.size() - at);
      bool last = end && at + n == data.size();
      out.push_back(Packet(last ? 1 : 0, Bytes(data.begin() + at, data.begin() + at + n)));
    }
    return out;
  }
  static bool NoHiddenFiles(const fs::path& d) {
    for (const auto& e : fs::directory_iterator(d))
      if (e.path().filename().string()[0] == '.') return false;
    return true;
  }

  std::vector<std::size_t> Sizes() {
    std::lock_guard lock(mutex);
    return sizes;
  }

  fs::path dir;
  std::unique_ptr<printbox::Box> box;
  std::mutex mutex;
  std::vector<std::size_t> sizes;  // as the box tells of its jobs
};

TEST_F(StreamingBox, LongJobsReachTheirFilesWholeAndCutJobsGoToIncomplete) {
  // Longer than several pieces written as they come.
  Bytes job = Pattern(900000, 3);
  Session(JobPackets(job, true));
  ASSERT_TRUE(box->WaitForCompleteJobs(1));
  EXPECT_EQ(ReadAll(dir / "LPT1-1.prn"), job);
  EXPECT_TRUE(box->Jobs().empty());

  Bytes cut = Pattern(400000, 4);
  Session(JobPackets(cut, false));
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.incompleteJobs == 1; }));
  EXPECT_EQ(ReadAll(dir / "incomplete" / "LPT1-2.prn"), cut);
  EXPECT_TRUE(NoHiddenFiles(dir));
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{job.size(), cut.size()}));
}

TEST_F(StreamingBox, ABrokenJobLeavesNoFileEvenAfterPiecesWereWritten) {
  std::vector<Bytes> packets = JobPackets(Pattern(600000, 5), false);
  packets.push_back(Bytes{7, 0, 1, 0, 1});  // no such packet kind
  Session(packets);
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.brokenJobs == 1; }));
  ASSERT_TRUE(box->WaitFor([](const printbox::BoxStats& s) { return s.sessions == 1; }));
  // The next job takes the first number: the broken one counted none.
  Bytes job = Pattern(5000, 6);
  Session(JobPackets(job, true));
  ASSERT_TRUE(box->WaitForCompleteJobs(1));
  EXPECT_EQ(ReadAll(dir / "LPT1-1.prn"), job);
  EXPECT_TRUE(NoHiddenFiles(dir));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator{}), 1);
  // The broken job is told with the bytes that came before the bad packet.
  EXPECT_EQ(Sizes(), (std::vector<std::size_t>{600000, job.size()}));
}

}  // namespace
