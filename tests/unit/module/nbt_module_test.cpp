// The module over NetBIOS over TCP/IP in one process: its adapter on
// 127.0.0.2, a print box on 127.0.0.3, and the faults of a real network (a
// box that vanishes or restarts, a rival for the module's name, lost
// datagrams), on the manual clock.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/nbt.h"
#include "host/printers.h"
#include "netbios/lana.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "print_box.h"
#include "spool_test_support.h"
#include "status/status_thread.h"

namespace {

constexpr UCHAR kModuleLana = 0, kBoxLana = 1, kRivalLana = 2;

class ModuleOverNbt : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<spooltest::SpoolModule>();
    printers_ = std::make_shared<plat::MemoryPrinterStore>();
    plat::SetPrinterStore(printers_);
    plat::ResetNetbios();
    WriteShared(StopFlag, static_cast<DWORD>(0));
    std::memset(LanaRecords, 0, sizeof LanaRecords);
    LanaCount = 0;
    // Ports apart from other test processes running at the same time.
    base_ = static_cast<uint16_t>(20000 + (getpid() % 9000) * 5);
    if (!Node(kModuleLana, "127.0.0.2", true)) GTEST_SKIP() << "cannot bind 127.0.0.2 here";
    ASSERT_TRUE(Node(kBoxLana, "127.0.0.3", false));
    LanaRecords[0].bLanaNum = kModuleLana;
    ASSERT_EQ(NetbiosReset(kModuleLana), NRC_GOODRET);
    RegisterAdapterNames(&LanaRecords[0]);
    LanaCount = 1;
    StartBox({{"LPT1", printbox::kStatusReady}});
  }

  void TearDown() override {
    // The box first, so that every waiter left is one of the module's.
    if (box_) box_->Stop();
    WriteShared(StopFlag, static_cast<DWORD>(1));
    for (DWORD i = 0; i < LanaCount; ++i) ReleaseAdapterNames(&LanaRecords[i]);
    for (int i = 0; i < 100 && plat::LiveThreadCount() > 0; ++i) {
      plat::WaitForQuiet(plat::LiveThreadCount(), std::chrono::milliseconds(500));
      plat::AdvanceClock(1000);
    }
    EXPECT_TRUE(plat::WaitForAllThreads(std::chrono::seconds(10)));
    box_.reset();
    plat::ResetNetbios();
    plat::SetPrinterStore(nullptr);
    module_.reset();
  }

  bool Node(UCHAR lana, const char* address, bool listed) {
    plat::NetSpec spec;
    std::string error;
    std::string text = std::string("nbt:") + address + "/8,lana=" + std::to_string(lana) + ",ports=" +
                       std::to_string(base_) + ":" + std::to_string(base_ + 1) + ":" + std::to_string(base_ + 2);
    EXPECT_TRUE(plat::ParseNetSpec(text, &spec, &error)) << error;
    spec.adapter.inAdapterMap = listed;
    return plat::AddNetAdapter(spec);
  }

  void StartBox(std::vector<printbox::PortStatus> ports) {
    printbox::BoxConfig config;
    config.lana = kBoxLana;
    config.ports = std::move(ports);
    boxWaiters_ = 1 + static_cast<int>(config.ports.size());  // its ping receive and a listen per port
    box_ = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box_->Start(), NRC_GOODRET);
    ASSERT_TRUE(plat::WaitForQuiet(boxWaiters_));
  }

  // A port of the box as the spooler opened it, with printer "Laser".
  PortRecord* OpenBoxPort(const char* name, BYTE status) {
    PortRecord* port = module_->AddOpen(name);
    port->bLanaNum = kModuleLana;
    std::strcpy(port->szLocalName, LanaRecords[0].szLocalName);
    port->Entry.bStatus = status;
    EXPECT_TRUE(AddPrinter(port, "Laser"));
    printers_->AddPrinter("Laser", 0);
    return port;
  }

  void StartDiscovery() {
    HANDLE h = StartModuleThread(RefreshThread, &LanaRecords[0]);
    ASSERT_NE(h, nullptr);
    CloseHandle(h);
  }

  // One second of module time once every thread sleeps or waits and nothing
  // is on its way between the nodes, then a cycle of the status worker.
  void Step() {
    ASSERT_TRUE(plat::WaitForQuiet(plat::LiveThreadCount() + boxWaiters_));
    plat::AdvanceClock(1000);
    ASSERT_TRUE(plat::WaitForQuiet(plat::LiveThreadCount() + boxWaiters_));
    if (statusCycles_) RunStatusCycle();
  }
  // Steps until the port holds `status` from a report; false after 100 s.
  bool StepUntilReported(PortRecord* port, BYTE status) {
    for (int i = 0; i < 100; ++i) {
      Step();
      if (ReadShared(port->Entry.bStatus) == status && ReadShared(port->tLastReport) != 0) return true;
    }
    return false;
  }
  static DWORD Age(const PortRecord* port) { return GetMonotonicSeconds() - ReadShared(port->tLastReport); }

  // StartDocPort once the box listens again, with module time moved on
  // whenever the call is answered "not listening" and waits to call again.
  BOOL Start(PortRecord* port) {
    EXPECT_TRUE(plat::WaitForQuiet(plat::LiveThreadCount() + boxWaiters_));
    std::atomic<int> result{-1};
    std::thread spooler([&] {
      std::string printer = "Laser";
      result = StartDocPort(port, printer.data(), 1, 1, nullptr);
    });
    while (result < 0) {
      // Everything else quiet and the spooler's thread asleep.
      if (plat::SleeperCount() + plat::NetbiosWaiterCount() > plat::LiveThreadCount() + boxWaiters_)
        plat::AdvanceClock(1000);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    spooler.join();
    return result;
  }

  // A job of `size` bytes in writes of at most 3000.
  bool PrintJob(PortRecord* port, std::size_t size) {
    if (!Start(port)) return false;
    std::vector<BYTE> data(size, 0x5A);
    for (std::size_t done = 0; done < size;) {
      DWORD n = static_cast<DWORD>(std::min<std::size_t>(3000, size - done)), written = 0;
      if (!WritePort(port, data.data() + done, n, &written)) return false;
      done += n;
    }
    return EndDocPort(port);
  }

  std::unique_ptr<spooltest::SpoolModule> module_;
  std::shared_ptr<plat::MemoryPrinterStore> printers_;
  std::unique_ptr<printbox::Box> box_;
  int boxWaiters_ = 0;
  bool statusCycles_ = true;
  uint16_t base_ = 0;
};

TEST_F(ModuleOverNbt, ABoxThatVanishesMidJobFailsTheWriteAndTheEndHangsUp) {
  PortRecord* port = OpenBoxPort("LPT1", STATUS_READY);
  ASSERT_TRUE(PrintJob(port, 7000));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));

  ASSERT_TRUE(Start(port));
  std::vector<BYTE> data(3000, 0xA5);
  DWORD written = 0;
  ASSERT_TRUE(WritePort(port, data.data(), 3000, &written));
  ASSERT_TRUE(box_->WaitFor([](const printbox::BoxStats& s) { return s.sessions == 2; }));
  // The box's adapter goes, and its connections with it.
  auto vanished = std::chrono::steady_clock::now();
  ASSERT_TRUE(plat::RemoveNetbiosAdapter(kBoxLana));
  BOOL ok = TRUE;
  for (int i = 0; i < 500 && ok; ++i) {
    ok = WritePort(port, data.data(), 3000, &written);
    if (ok) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_FALSE(ok);
  // The end of the job cannot leave either, so the spooler hears of the failure.
  EXPECT_FALSE(EndDocPort(port));
  EXPECT_LT(std::chrono::steady_clock::now() - vanished, std::chrono::seconds(10));
  std::string log = module_->Log();
  // Closed by the peer, or reset: either way the session is gone.
  bool closed = log.find("WritePort NetbiosSend ret: 0A") != std::string::npos ||
                log.find("WritePort NetbiosSend ret: 18") != std::string::npos;
  EXPECT_TRUE(closed) << log;
  box_->Stop();
  EXPECT_EQ(box_->Stats().completeJobs, 1u);
}

TEST_F(ModuleOverNbt, ABoxThatRestartsHasItsPortsBackWithTheNextReport) {
  statusCycles_ = false;  // the reports stay where discovery files them
  StartDiscovery();
  for (int i = 0; i < 10 && box_->Stats().reportsSent == 0; ++i) Step();
  ASSERT_EQ(box_->Stats().reportsSent, 1u);
  Step();
  DWORD restarted = GetClockSeconds();
  {
    ListLock reports(&ReportLock);
    ASSERT_NE(FindPort("LPT1", REPORT_LIST), nullptr);
    while (ListNode* n = FirstPort(REPORT_LIST)) FreePortNode(n);
  }

  // The box goes down hard (no release of its names) and comes back on the
  // same address, with a second port.
  ASSERT_TRUE(plat::RemoveNetbiosAdapter(kBoxLana));
  box_->Stop();
  ASSERT_TRUE(Node(kBoxLana, "127.0.0.3", false));
  StartBox({{"LPT1", printbox::kStatusReady}, {"LPT2", printbox::kStatusOffline}});
  for (int i = 0; i < 75 && box_->Stats().reportsSent == 0; ++i) Step();
  ASSERT_EQ(box_->Stats().reportsSent, 1u);
  Step();
  std::vector<std::string> names;
  {
    ListLock reports(&ReportLock);
    for (ListNode* n = FirstPort(REPORT_LIST); !IsEndOfList(n); NextPort(&n)) {
      names.push_back(PortOf(n)->pPortName);
      EXPECT_GT(PortOf(n)->tLastReport, restarted);
    }
  }
  EXPECT_EQ(names, (std::vector<std::string>{"LPT1", "LPT2"}));

  // And it prints again.
  PortRecord* port = OpenBoxPort("LPT1", STATUS_READY);
  ASSERT_TRUE(PrintJob(port, 100));
  EXPECT_TRUE(box_->WaitForCompleteJobs(1));
}

TEST_F(ModuleOverNbt, ARivalForTheModulesNameIsRefusedAndTheModuleKeepsWorking) {
  const char* mine = LanaRecords[0].szLocalName;
  ASSERT_EQ(std::string(mine), "OV_0200007F0002");
  ASSERT_TRUE(Node(kRivalLana, "127.0.0.4", false));
  UCHAR number = 0x77;
  EXPECT_EQ(NetbiosAddName(kRivalLana, mine, 0, &number), NRC_INUSE);
  EXPECT_EQ(NetbiosAddName(kRivalLana, mine, 1, &number), NRC_INUSE);
  EXPECT_EQ(number, 0x77);

  // The module's node still answers for its name, from its own address.
  std::vector<UCHAR> buf(4650);
  NCB ncb;
  ASSERT_EQ(NetbiosAdapterStatus(kRivalLana, &ncb, buf.data(), 4650, mine), NRC_GOODRET);
  ADAPTER_STATUS st;
  std::memcpy(&st, buf.data(), sizeof st);
  const UCHAR hw[6] = {0x02, 0x00, 127, 0, 0, 2};
  EXPECT_EQ(std::memcmp(st.adapter_address, hw, 6), 0);
  bool listed = false;
  for (WORD i = 0; i < st.name_count; ++i) {
    NAME_BUFFER nb;
    std::memcpy(&nb, buf.data() + sizeof st + i * sizeof nb, sizeof nb);
    if (std::memcmp(nb.name, mine, 15) == 0) {
      listed = true;
      EXPECT_EQ(nb.name_flags, UNIQUE_NAME | REGISTERED);
    }
  }
  EXPECT_TRUE(listed);
  // And prints under it.
  PortRecord* port = OpenBoxPort("LPT1", STATUS_READY);
  ASSERT_TRUE(PrintJob(port, 5000));
  EXPECT_TRUE(box_->WaitForCompleteJobs(1));
}

TEST_F(ModuleOverNbt, ALostPingOrReportLeavesThePortStaleUntilTheNextPing) {
  PortRecord* port = OpenBoxPort("LPT1", STATUS_NONE);
  StartDiscovery();
  ASSERT_TRUE(StepUntilReported(port, STATUS_READY));
  EXPECT_EQ(box_->Stats().pingsHeard, 1u);

  // The module's next ping is lost: no report comes, the port goes stale at
  // 121 seconds, just before the ping after that (at least 122 seconds after
  // the last answered one) brings it back.
  ASSERT_TRUE(plat::SetNbtDatagramDrop(kModuleLana, 1));
  while (Age(port) < 121) Step();
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_NONE);
  EXPECT_EQ(printers_->Status("Laser"), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE));
  EXPECT_EQ(box_->Stats().pingsHeard, 1u);
  ASSERT_TRUE(StepUntilReported(port, STATUS_READY));
  EXPECT_EQ(box_->Stats().pingsHeard, 2u);
  EXPECT_EQ(printers_->Status("Laser"), 0u);

  // The box's next report is lost: the same, the other way round.
  ASSERT_TRUE(plat::SetNbtDatagramDrop(kBoxLana, 1));
  while (Age(port) < 121) Step();
  EXPECT_EQ(ReadShared(port->Entry.bStatus), STATUS_NONE);
  ASSERT_TRUE(StepUntilReported(port, STATUS_READY));
  EXPECT_GE(box_->Stats().pingsHeard, 4u);
}

}  // namespace
