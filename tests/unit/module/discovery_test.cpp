// Discovery: the refresh and ping threads with print boxes on the in-process
// segment, on the manual clock; and the filing of malformed reports.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/module_state.h"
#include "diag/log.h"
#include "host/clock.h"
#include "host/netbios.h"
#include "host/system.h"
#include "module_globals.h"
#include "netbios/lana.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"
#include "ports/port_lists.h"
#include "print_box.h"

namespace {

using Bytes = std::vector<BYTE>;

char g_monitorName[64] = "Local Port";
char g_description[64] = "Print Server Port";

struct Record {
  std::string name, cname, local;
  BYTE status, lana;
  DWORD tLastReport;
};

std::vector<Record> ReportRecords() {
  std::vector<Record> out;
  EnterCriticalSection(&ReportLock);
  for (ListNode* n = FirstPort(REPORT_LIST); !IsEndOfList(n); NextPort(&n)) {
    PortRecord* r = PortOf(n);
    EXPECT_EQ(r->pMonitorName, MonitorNameText);
    EXPECT_EQ(r->pDescription, DescriptionText);
    EXPECT_EQ(r->dwListed, 1u);
    EXPECT_EQ(r->dwFromRegistry, 0u);
    out.push_back({r->pPortName, r->pCName, r->szLocalName, r->Entry.bStatus, r->bLanaNum, r->tLastReport});
  }
  LeaveCriticalSection(&ReportLock);
  return out;
}

void ClearReportList() {
  EnterCriticalSection(&ReportLock);
  while (ListNode* n = FirstPort(REPORT_LIST)) FreePortNode(n);
  LeaveCriticalSection(&ReportLock);
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    moduletest::ResetModuleGlobals();
    plat::UseManualClock();
    plat::ResetNetbios();
    CreateListLocks();
    ASSERT_TRUE(InitLists());
    MonitorNameText = g_monitorName;
    DescriptionText = g_description;
    t0 = GetClockSeconds();
  }
  void TearDown() override {
    StopThreads();
    boxes.clear();
    plat::ResetNetbios();
    ClearReportList();
    FreeLists();
    DeleteListLocks();
    MonitorNameText = DescriptionText = nullptr;
  }
  // Shutdown's order: the flag, then the names, which ends the receives; the
  // threads then finish their sleeps, which the clock is moved through once
  // every one of them sleeps.
  static void StopThreads() {
    WriteShared(StopFlag, static_cast<DWORD>(1));
    for (DWORD i = 0; i < LanaCount; ++i) ReleaseAdapterNames(&LanaRecords[i]);
    for (int i = 0; i < 50 && plat::LiveThreadCount() > 0; ++i) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (plat::SleeperCount() < plat::LiveThreadCount() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      plat::AdvanceClock(1000);
    }
    EXPECT_TRUE(plat::WaitForAllThreads(std::chrono::seconds(10)));
  }

  void ModuleAdapter(UCHAR lana, const char* segment, UCHAR last) {
    plat::NetbiosAdapterConfig c;
    c.lana = lana;
    c.segment = segment;
    c.hardwareAddress = {0x02, 0x00, 0x00, 0x00, 0x00, last};
    ASSERT_TRUE(plat::AddNetbiosAdapter(c));
    LanaRecord& rec = LanaRecords[LanaCount++];
    rec.bLanaNum = lana;
    RegisterAdapterNames(&rec);
  }
  printbox::Box& AddBox(UCHAR lana, const char* segment, std::vector<printbox::PortStatus> ports) {
    plat::NetbiosAdapterConfig c;
    c.lana = lana;
    c.segment = segment;
    c.inAdapterMap = false;
    EXPECT_TRUE(plat::AddNetbiosAdapter(c));
    printbox::BoxConfig config;
    config.lana = lana;
    config.ports = std::move(ports);
    boxes.push_back(std::make_unique<printbox::Box>(config));
    EXPECT_EQ(boxes.back()->Start(), NRC_GOODRET);
    return *boxes.back();
  }
  void StartDiscovery() {
    for (DWORD i = 0; i < LanaCount; ++i) {
      HANDLE h = StartModuleThread(RefreshThread, &LanaRecords[i]);
      ASSERT_NE(h, nullptr);
      CloseHandle(h);
    }
  }
  // Records the time of every ping that the module sends on LANA 0.
  void WatchPings() {
    plat::SetNetbiosTrace([this](const NCB& ncb) {
      if (ncb.ncb_command == NCBDGSEND && ncb.ncb_lana_num == 0 &&
          std::memcmp(ncb.ncb_callname, QDL_GROUP_NAME, 16) == 0) {
        std::lock_guard lock(mutex);
        // Module time, which a step of the calendar leaves alone.
        pings.push_back(static_cast<DWORD>(plat::ClockNowMs() / 1000));
      }
    });
  }
  std::vector<DWORD> Pings() {
    std::lock_guard lock(mutex);
    return pings;
  }
  // Threads that block here: per module adapter the refresh, listen and ping
  // threads; per box its ping thread and one listen per port.
  void Settle() { ASSERT_TRUE(plat::WaitForQuiet(quiet)) << "only " << plat::SleeperCount() << "+" << plat::NetbiosWaiterCount(); }
  void Seconds(int n) {
    for (int i = 0; i < n; ++i) {
      Settle();
      plat::AdvanceClock(1000);
    }
    Settle();
  }
  bool WaitForRecords(std::size_t n) {
    for (int i = 0; i < 20000; ++i) {
      if (ReportRecords().size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return false;
  }
  DWORD SecondJitter() {
    DWORD state;
    SeedPingRandom(&state, t0);
    DrawPingRandom(&state);
    return PingJitter(DrawPingRandom(&state));
  }

  DWORD t0 = 0;
  int quiet = 0;
  std::mutex mutex;
  std::vector<DWORD> pings;
  std::vector<std::unique_ptr<printbox::Box>> boxes;
};

TEST_F(Discovery, FirstPingGoesOutAtOnceAndReportsBecomeRecords) {
  ModuleAdapter(0, "lan", 0x01);
  auto& box = AddBox(5, "lan", {{"LPT1", 0x10}, {"LPT2", 0x12}, {"GONE", 0x14}});
  quiet = 3 + 1 + 3;
  WatchPings();
  StartDiscovery();
  ASSERT_TRUE(WaitForRecords(2));
  Settle();
  EXPECT_EQ(Pings(), std::vector<DWORD>{t0});
  EXPECT_EQ(box.Stats().pingsHeard, 1u);
  auto recs = ReportRecords();
  ASSERT_EQ(recs.size(), 2u);  // sorted by name; "not a port" dropped
  EXPECT_EQ(recs[0].name, "LPT1");
  EXPECT_EQ(recs[0].cname, "LPT1");
  EXPECT_EQ(recs[0].status, 0x10);
  EXPECT_EQ(recs[1].name, "LPT2");
  EXPECT_EQ(recs[1].status, 0x12);
  EXPECT_EQ(recs[1].lana, 0);
  EXPECT_EQ(recs[1].local, "OV_010000000002");
  EXPECT_EQ(recs[1].tLastReport, t0);
}

TEST_F(Discovery, NextPingWaitsForSixtySecondsAndTheJitter) {
  ModuleAdapter(0, "lan", 0x01);
  AddBox(5, "lan", {{"LPT1", 0x10}});
  quiet = 3 + 1 + 1;
  WatchPings();
  StartDiscovery();
  Settle();
  DWORD jitter = SecondJitter();
  Seconds(60 + static_cast<int>(jitter));
  EXPECT_EQ(Pings().size(), 1u) << "due only when more than 60 + " << jitter << " seconds passed";
  Seconds(1);
  EXPECT_EQ(Pings(), (std::vector<DWORD>{t0, t0 + 61 + jitter}));
  // The second report refreshed the record rather than adding one.
  auto recs = ReportRecords();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].tLastReport, t0 + 61 + jitter);
}

TEST_F(Discovery, CalendarStepsNeitherHoldPingsBackNorAgeReports) {
  ModuleAdapter(0, "lan", 0x01);
  AddBox(5, "lan", {{"LPT1", 0x10}});
  quiet = 3 + 1 + 1;
  WatchPings();
  StartDiscovery();
  Settle();
  DWORD jitter = SecondJitter();
  plat::StepCalendarClock(-3'600'000);
  Seconds(60 + static_cast<int>(jitter));
  EXPECT_EQ(Pings().size(), 1u);
  Seconds(1);
  EXPECT_EQ(Pings(), (std::vector<DWORD>{t0, t0 + 61 + jitter}));
  plat::StepCalendarClock(7'200'000);
  Seconds(1);
  EXPECT_EQ(Pings().size(), 2u) << "a step forward sends no ping early";
  // Report times are module seconds, whatever the calendar says.
  ASSERT_EQ(ReportRecords().size(), 1u);
  EXPECT_EQ(ReportRecords()[0].tLastReport, t0 + 61 + jitter);
}

TEST_F(Discovery, PingFromAnotherMonitorPostponesOurs) {
  ModuleAdapter(0, "lan", 0x01);
  plat::NetbiosAdapterConfig peer;
  peer.lana = 6;
  peer.segment = "lan";
  peer.inAdapterMap = false;
  ASSERT_TRUE(plat::AddNetbiosAdapter(peer));
  UCHAR peerName;
  ASSERT_EQ(NetbiosAddName(6, "OV_OTHER", 0, &peerName), NRC_GOODRET);
  quiet = 3;
  WatchPings();
  StartDiscovery();
  Settle();
  Seconds(30);
  BYTE ping = 0x02;
  NCB ncb;
  ASSERT_EQ(NetbiosDatagramSend(6, &ncb, &ping, 1, QDL_GROUP_NAME, peerName), NRC_GOODRET);
  DWORD jitter = SecondJitter();
  Seconds(60 + static_cast<int>(jitter));
  EXPECT_EQ(Pings().size(), 1u);
  Seconds(1);
  EXPECT_EQ(Pings(), (std::vector<DWORD>{t0, t0 + 30 + 61 + jitter}));
}

TEST_F(Discovery, AOneByteDatagramThatIsNoPingLeavesOursOnTime) {
  ModuleAdapter(0, "lan", 0x01);
  plat::NetbiosAdapterConfig peer;
  peer.lana = 6;
  peer.segment = "lan";
  peer.inAdapterMap = false;
  ASSERT_TRUE(plat::AddNetbiosAdapter(peer));
  UCHAR peerName;
  ASSERT_EQ(NetbiosAddName(6, "OV_OTHER", 0, &peerName), NRC_GOODRET);
  quiet = 3;
  WatchPings();
  StartDiscovery();
  Settle();
  Seconds(30);
  BYTE other = 0x03;
  NCB ncb;
  ASSERT_EQ(NetbiosDatagramSend(6, &ncb, &other, 1, QDL_GROUP_NAME, peerName), NRC_GOODRET);
  DWORD jitter = SecondJitter();
  Seconds(31 + static_cast<int>(jitter));
  EXPECT_EQ(Pings(), (std::vector<DWORD>{t0, t0 + 61 + jitter}));
}

TEST_F(Discovery, SeveralBoxesOnSeveralAdapters) {
  ModuleAdapter(0, "first", 0x01);
  ModuleAdapter(3, "second", 0x03);
  AddBox(5, "first", {{"A1", 0x10}});
  AddBox(6, "second", {{"B1", 0x11}});
  auto& b2 = AddBox(7, "second", {{"B2", 0x13}, {"B3", 0x10}});
  quiet = 6 + 2 + 2 + 3;
  StartDiscovery();
  ASSERT_TRUE(WaitForRecords(4));
  Settle();
  auto recs = ReportRecords();
  ASSERT_EQ(recs.size(), 4u);
  EXPECT_EQ(recs[0].name, "A1");
  EXPECT_EQ(recs[0].lana, 0);
  EXPECT_EQ(recs[0].local, "OV_010000000002");
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(recs[i].lana, 3) << recs[i].name;
    EXPECT_EQ(recs[i].local, "OV_030000000002") << recs[i].name;
  }
  EXPECT_EQ(recs[2].name, "B2");
  EXPECT_EQ(recs[2].status, 0x13);

  // A status change reaches the record with the next round of reports.
  b2.SetPortStatus("B2", 0x10);
  Seconds(70);
  EXPECT_EQ(ReportRecords()[2].status, 0x10);
}

TEST_F(Discovery, EveryBoxAnsweringOnePingIsFiled) {
  // Every box answers the ping at the same instant, while the refresh thread
  // takes one report at a time.
  constexpr int kBoxes = 100, kPorts = 3;
  ModuleAdapter(0, "lan", 0x01);
  for (int b = 0; b < kBoxes; ++b) {
    std::vector<printbox::PortStatus> ports;
    for (int p = 0; p < kPorts; ++p) ports.push_back({"P" + std::to_string(b * kPorts + p + 1000), 0x10});
    AddBox(static_cast<UCHAR>(5 + b), "lan", ports);
  }
  quiet = 3 + kBoxes * (1 + kPorts);
  WatchPings();
  StartDiscovery();
  EXPECT_TRUE(WaitForRecords(kBoxes * kPorts));
  Settle();
  EXPECT_EQ(Pings(), std::vector<DWORD>{t0});
  auto recs = ReportRecords();
  ASSERT_EQ(recs.size(), static_cast<std::size_t>(kBoxes * kPorts));
  for (int i = 0; i < kBoxes * kPorts; ++i) EXPECT_EQ(recs[i].name, "P" + std::to_string(i + 1000));
  EXPECT_EQ(plat::NetbiosDroppedDatagrams(0), 0u);
}

TEST_F(Discovery, NothingIsFiledAfterTheStop) {
  ModuleAdapter(0, "lan", 0x01);
  auto& box = AddBox(5, "lan", {{"LPT1", 0x10}});
  quiet = 3 + 2;
  StartDiscovery();
  ASSERT_TRUE(WaitForRecords(1));
  Settle();
  ClearReportList();
  StopThreads();
  EXPECT_TRUE(ReportRecords().empty());
  EXPECT_EQ(box.Stats().pingsHeard, 1u);
}

// Reports handed to the filing routine exactly as long as received, so that
// any read past the data shows under AddressSanitizer.
class ReportFiling : public Discovery {
 protected:
  void SetUp() override {
    Discovery::SetUp();
    lana.bLanaNum = 3;
    std::strcpy(lana.szLocalName, "OV_LANA3");
  }
  static Bytes Report(BYTE type, int count, std::vector<std::pair<BYTE, std::string>> entries) {
    Bytes r(79, 0);
    r[1] = type;
    r[78] = static_cast<BYTE>(count);
    for (auto& [status, name] : entries) {
      Bytes e(37, 0);
      e[0] = status;
      std::string field = name;
      field.resize(16, ' ');
      std::memcpy(&e[5], field.data(), 16);
      r.insert(r.end(), e.begin(), e.end());
    }
    return r;
  }
  DWORD File(const Bytes& report, std::size_t cb) {
    auto exact = std::make_unique<BYTE[]>(cb ? cb : 1);
    if (!report.empty()) std::memcpy(exact.get(), report.data(), std::min(cb, report.size()));
    return FileServerReport(&lana, exact.get(), static_cast<DWORD>(cb));
  }
  LanaRecord lana{};
};

std::vector<std::pair<BYTE, std::string>> Ports(int n, const char* prefix) {
  std::vector<std::pair<BYTE, std::string>> v;
  for (int i = 0; i < n; ++i) v.push_back({0x10, prefix + std::to_string(i + 10)});
  return v;
}

TEST_F(ReportFiling, MalformedReportsStayWithinTheBytesReceived) {
  Bytes eleven = Report(0x01, 11, Ports(11, "P"));
  eleven.resize(512, 0x41);
  Bytes three = Report(0x80, 3, {{0x10, "AAAA"}, {0x10, ""}, {0x14, "NOTP"}});
  Bytes unpadded = Report(0x01, 1, {{0x10, ""}});
  std::memset(&unpadded[79 + 5], 'U', 32);  // name and the bytes after it: no blank, no NUL
  Bytes nulName = Report(0x01, 2, {{0x10, "X"}, {0x10, "OK"}});
  nulName[79 + 5] = 0;
  Bytes dup = Report(0x01, 2, {{0x12, "SAME"}, {0x13, "SAME"}});
  Bytes unusable = Report(0x01, 4, {{0x10, "A\\B"}, {0x10, "C\x1b[2J"}, {0x10, "DEL\x7f"}, {0x10, "GOOD"}});
  struct Case {
    const char* what;
    Bytes report;
    std::size_t cb;
    std::vector<std::string> names;
  } cases[] = {
      {"nothing received", {}, 0, {}},
      {"shorter than the header", Report(0x01, 1, {{0x10, "P"}}), 78, {}},
      {"header only, count 3", Report(0x01, 3, {}), 79, {}},
      {"count past the data", Report(0x01, 5, Ports(2, "C")), 79 + 2 * 37 + 20, {"C10", "C11"}},
      {"count 255 in 512 bytes", [&] { Bytes b = eleven; b[78] = 255; return b; }(), 512, {}},
      {"512 bytes exactly, 11 entries", eleven, 512, {}},
      {"more than the buffer claimed", [&] { Bytes b = eleven; b.resize(600, 0x41); return b; }(), 600, {}},
      {"type 0x02", Report(0x02, 1, {{0x10, "T"}}), 79 + 37, {}},
      {"count 0", Report(0x01, 0, {{0x10, "Z"}}), 79 + 37, {}},
      {"blank name and not a port", three, three.size(), {"AAAA"}},
      {"name without padding", unpadded, unpadded.size(), {"UUUUUUUUUUUUUUUU"}},
      {"name starting with NUL", nulName, nulName.size(), {"OK"}},
      {"same port twice", dup, dup.size(), {"SAME"}},
      {"backslash and control characters", unusable, unusable.size(), {"GOOD"}},
  };
  // Never more than the 11 whole entries that fit in the 512-byte buffer.
  std::vector<std::string> elevenNames;
  for (auto& p : Ports(11, "P")) elevenNames.push_back(p.second);
  cases[4].names = cases[5].names = cases[6].names = elevenNames;
  for (auto& c : cases) {
    File(c.report, c.cb);
    std::vector<std::string> names;
    for (auto& r : ReportRecords()) {
      names.push_back(r.name);
      EXPECT_EQ(r.cname, r.name) << c.what;
      EXPECT_LE(r.name.size(), 16u) << c.what;
      EXPECT_EQ(r.lana, 3) << c.what;
      EXPECT_EQ(r.local, "OV_LANA3") << c.what;
    }
    EXPECT_EQ(names, c.names) << c.what;
    if (std::string(c.what) == "same port twice") {
      EXPECT_EQ(ReportRecords()[0].status, 0x13);  // the later entry's status
    }
    ClearReportList();
  }
}

TEST_F(ReportFiling, UnusableNamesAreLoggedOnceEachAndEscaped) {
  auto dir = std::filesystem::temp_directory_path() / ("tavro_names_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  plat::SetWindowsDirectory(dir.string());
  OpenLogFile(nullptr);
  Bytes report = Report(0x01, 2, {{0x10, "A\\B"}, {0x10, "C\x1b[2J"}});
  File(report, report.size());
  File(report, report.size());
  CloseLogFile();
  std::ifstream in(dir / "TAVRO.log", std::ios::binary);
  std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  EXPECT_EQ(log.find('\x1b'), std::string::npos) << log;
  auto count = [&](const std::string& text) {
    std::size_t n = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("port name A\\\\B dropped"), 1u) << log;
  EXPECT_EQ(count("port name C\\x1B[2J dropped"), 1u) << log;
  EXPECT_TRUE(ReportRecords().empty());
}

// A flood of made-up names fills ReportList and AvailableList up to the cap
// and no further; ports in use, known ports and ports from the registry pass.
TEST_F(ReportFiling, ReportedPortsAreCappedButPortsInUseAndFromTheRegistryAreNot) {
  auto fileNames = [&](const std::string& prefix, int count) {
    for (int i = 0; i < count; i += 11) {
      std::vector<std::pair<BYTE, std::string>> entries;
      for (int j = i; j < std::min(count, i + 11); ++j) entries.push_back({0x10, prefix + std::to_string(j)});
      Bytes r = Report(0x01, static_cast<int>(entries.size()), entries);
      File(r, r.size());
    }
  };
  auto fold = [] {
    ListLock reports(&ReportLock);
    {
      ListLock open(&OpenLock);
      MergeReportsIntoOpen();
    }
    ListLock available(&AvailableLock);
    MoveReportsToAvailable();
  };
  auto count = [](DWORD list) {
    std::size_t n = 0;
    for (ListNode* c = FirstPort(list); !IsEndOfList(c); NextPort(&c)) ++n;
    return n;
  };
  ListNode* inUse = NewPortNode();
  PortOf(inUse)->pPortName = NewNameBlock("INUSE");
  PortOf(inUse)->pCName = NewNameBlock("INUSE");
  InsertPort(inUse, OPEN_LIST);

  fileNames("F", MAX_REPORTED_PORTS + 20);
  EnterCriticalSection(&ReportLock);
  EXPECT_EQ(count(REPORT_LIST), static_cast<std::size_t>(MAX_REPORTED_PORTS));
  LeaveCriticalSection(&ReportLock);
  Bytes inUseReport = Report(0x01, 1, {{0x13, "INUSE"}});
  File(inUseReport, inUseReport.size());
  fold();
  EXPECT_EQ(ReadShared(PortOf(inUse)->Entry.bStatus), 0x13) << "the port in use was refreshed";
  EXPECT_EQ(count(AVAILABLE_LIST), static_cast<std::size_t>(MAX_REPORTED_PORTS));

  // New names are dropped at the fold now, while a port from the registry
  // still joins the available ports.
  fileNames("G", 3);
  ListNode* remembered = NewPortNode();
  PortOf(remembered)->pPortName = NewNameBlock("REMEMBERED");
  PortOf(remembered)->pCName = NewNameBlock("REMEMBERED");
  PortOf(remembered)->dwFromRegistry = 1;
  EnterCriticalSection(&ReportLock);
  InsertPort(remembered, REPORT_LIST);
  LeaveCriticalSection(&ReportLock);
  fold();
  EXPECT_EQ(count(AVAILABLE_LIST), static_cast<std::size_t>(MAX_REPORTED_PORTS + 1));
  EXPECT_NE(FindPort("REMEMBERED", AVAILABLE_LIST), nullptr);
  EXPECT_EQ(FindPort("G0", AVAILABLE_LIST), nullptr);

  // Known names keep being refreshed.
  Bytes known = Report(0x01, 1, {{0x12, "F7"}});
  File(known, known.size());
  fold();
  EXPECT_EQ(ReadShared(PortOf(FindPort("F7", AVAILABLE_LIST))->Entry.bStatus), 0x12);
  for (DWORD list : {OPEN_LIST, AVAILABLE_LIST}) {
    while (ListNode* n = FirstPort(list)) FreePortNode(n);
  }
}

TEST(PingJitter, DrawsGiveZeroToNineSeconds) {
  EXPECT_EQ(PingJitter(0), 0u);
  EXPECT_EQ(PingJitter(3276), 0u);
  EXPECT_EQ(PingJitter(3277), 1u);
  EXPECT_EQ(PingJitter(32766), 9u);
  EXPECT_EQ(PingJitter(32767), 9u);
  DWORD state;
  SeedPingRandom(&state, 12345);
  for (int i = 0; i < 1000; ++i) EXPECT_LE(DrawPingRandom(&state), 32767u);
}

}  // namespace
