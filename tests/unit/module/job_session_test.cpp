// The print job session against a print box on the in-process segment: the
// packets on the wire, the rebuilt jobs, the status waits, the call retries,
// printer registration and the failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "host/netbios.h"
#include "netbios/ncb.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "print_box.h"
#include "spool_test_support.h"

namespace {

using spooltest::kRegistryRoot;
using spooltest::SpoolModule;

const UCHAR kModuleLana = 0;
const UCHAR kBoxLana = 1;
const char kLocalName[] = "OV_020000000001";
const char kPort[] = "BOXPORT1";

// What the module's adapter was asked to do, as the service saw it.
struct Command {
  UCHAR command;
  UCHAR lsn;
  std::vector<BYTE> buffer;  // NCBSEND: the whole packet
};

class CommandRecorder {
 public:
  void Record(const NCB& ncb) {
    if (ncb.ncb_lana_num != kModuleLana) return;
    if (ncb.ncb_command != NCBCALL && ncb.ncb_command != NCBSEND && ncb.ncb_command != NCBHANGUP) return;
    Command c{ncb.ncb_command, ncb.ncb_lsn, {}};
    if (ncb.ncb_command == NCBSEND) c.buffer.assign(ncb.ncb_buffer, ncb.ncb_buffer + ncb.ncb_length);
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back(std::move(c));
  }
  std::vector<Command> Take() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(commands_, {});
  }
  size_t Count(UCHAR command) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::count_if(commands_.begin(), commands_.end(), [&](const Command& c) { return c.command == command; });
  }

 private:
  std::mutex mutex_;
  std::vector<Command> commands_;
};

// A packet as "kind:length", checked against the send's own size.
std::string Describe(const Command& c) {
  if (c.command == NCBCALL) return "call";
  if (c.command == NCBHANGUP) return "hangup";
  if (c.buffer.size() < 4) return "short";
  unsigned length = c.buffer[2] | (c.buffer[3] << 8);
  std::string text = std::to_string(c.buffer[0]) + ":" + std::to_string(length);
  if (c.buffer[1] != 0 || c.buffer.size() != 4 + length) text += "!";
  return text;
}

std::vector<std::string> Describe(const std::vector<Command>& commands) {
  std::vector<std::string> out;
  for (const auto& c : commands) out.push_back(Describe(c));
  return out;
}

std::vector<BYTE> Pattern(size_t size, unsigned seed) {
  std::vector<BYTE> data(size);
  std::mt19937 random(seed);
  for (auto& b : data) b = static_cast<BYTE>(random());
  return data;
}

class JobSession : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = std::make_unique<SpoolModule>();
    plat::ResetNetbios();
    ASSERT_TRUE(plat::AddNetbiosAdapter({kModuleLana, "jobs", {2, 0, 0, 0, 0, 1}}));
    ASSERT_TRUE(plat::AddNetbiosAdapter({kBoxLana, "jobs", {2, 0, 0, 0, 0, 2}, plat::NetbiosTransportKind::Loop, false}));
    ASSERT_EQ(NetbiosReset(kModuleLana), NRC_GOODRET);
    UCHAR number = 0;
    ASSERT_EQ(NetbiosAddName(kModuleLana, kLocalName, 0, &number), NRC_GOODRET);
    printbox::BoxConfig config;
    config.lana = kBoxLana;
    config.ports = {{kPort, printbox::kStatusReady}, {"BOXPORT2", printbox::kStatusReady}};
    box_ = std::make_unique<printbox::Box>(config);
    ASSERT_EQ(box_->Start(), NRC_GOODRET);
    port_ = AddBoxPort(kPort);
    plat::SetNetbiosTrace([this](const NCB& ncb) { recorder_.Record(ncb); });
  }

  void TearDown() override {
    plat::SetNetbiosTrace({});
    WriteShared(StopFlag, (DWORD)0);
    box_->Stop();
    box_.reset();
    plat::ResetNetbios();
    module_.reset();
  }

  PortRecord* AddBoxPort(const char* name) {
    PortRecord* port = module_->AddOpen(name);
    port->bLanaNum = kModuleLana;
    strcpy(port->szLocalName, kLocalName);
    port->Entry.bStatus = STATUS_READY;
    return port;
  }

  // The box listens on both its ports again and waits for pings.
  void WaitForBox() { ASSERT_TRUE(plat::WaitForQuiet(3)) << plat::NetbiosWaiterCount(); }

  // Runs StartDocPort on a spooler thread, moving the manual clock on
  // whenever it waits, until it returns.
  BOOL Start(PortRecord* port, const char* printer = "Printer A") {
    WaitForBox();
    std::atomic<int> result{-1};
    std::thread spooler([&] {
      std::string name(printer);
      result = StartDocPort(port, name.data(), 7, 1, nullptr);
    });
    while (result < 0) {
      if (plat::SleeperCount() > 0) {
        plat::AdvanceClock(3000);
      } else {
        std::this_thread::yield();
      }
    }
    spooler.join();
    return result;
  }

  BOOL Write(PortRecord* port, const BYTE* data, size_t size, DWORD* written = nullptr) {
    DWORD count = 0xdeadbeef;
    BOOL ok = WritePort(port, const_cast<BYTE*>(data), (DWORD)size, &count);
    if (written) *written = count;
    EXPECT_EQ(count, ok ? size : count);
    return ok;
  }

  // One job in writes of the given sizes; returns what the box printed.
  std::vector<BYTE> PrintJob(const std::vector<BYTE>& data, const std::vector<size_t>& writes) {
    size_t jobsBefore = box_->Jobs().size();
    size_t emptyBefore = box_->Stats().emptySessions;
    EXPECT_TRUE(Start(port_));
    size_t offset = 0;
    for (size_t size : writes) {
      EXPECT_TRUE(Write(port_, data.data() + offset, size));
      offset += size;
    }
    EXPECT_EQ(offset, data.size());
    EXPECT_TRUE(EndDocPort(port_));
    if (data.empty()) {
      EXPECT_TRUE(box_->WaitFor([&](const printbox::BoxStats& s) { return s.emptySessions == emptyBefore + 1; }));
      return {};
    }
    EXPECT_TRUE(box_->WaitForCompleteJobs(jobsBefore + 1));
    auto jobs = box_->Jobs();
    if (jobs.size() != jobsBefore + 1) return {};
    EXPECT_EQ(jobs.back().state, printbox::JobState::Complete);
    EXPECT_EQ(jobs.back().port, kPort);
    return jobs.back().data;
  }

  std::unique_ptr<SpoolModule> module_;
  std::unique_ptr<printbox::Box> box_;
  PortRecord* port_ = nullptr;
  CommandRecorder recorder_;
};

TEST_F(JobSession, PacketsHoldBackTheNewestByteForTheEndOfJobPacket) {
  struct Case {
    std::vector<size_t> writes;
    std::vector<std::string> packets;
  };
  const std::vector<Case> cases = {
      {{1}, {"call", "1:1", "hangup"}},
      {{3069}, {"call", "0:3068", "1:1", "hangup"}},
      {{3070}, {"call", "0:3067", "0:2", "1:1", "hangup"}},
      {{6136}, {"call", "0:3067", "0:3068", "1:1", "hangup"}},
      {{2, 2}, {"call", "0:1", "0:2", "1:1", "hangup"}},
      {{5000, 10}, {"call", "0:3067", "0:1932", "0:10", "1:1", "hangup"}},
      {{}, {"call", "hangup"}},
      {{0, 0}, {"call", "hangup"}},
  };
  for (const Case& c : cases) {
    size_t total = 0;
    for (size_t w : c.writes) total += w;
    std::vector<BYTE> data = Pattern(total, (unsigned)total);
    std::vector<BYTE> printed = PrintJob(data, c.writes);
    std::vector<Command> commands = recorder_.Take();
    EXPECT_EQ(Describe(commands), c.packets) << "writes of " << ::testing::PrintToString(c.writes);
    EXPECT_EQ(printed, data);
    // The payloads in order are the job, and the last byte travels last.
    std::vector<BYTE> payloads;
    for (const Command& cmd : commands) {
      if (cmd.command == NCBSEND) payloads.insert(payloads.end(), cmd.buffer.begin() + 4, cmd.buffer.end());
    }
    EXPECT_EQ(payloads, data);
    box_->WaitFor([&](const printbox::BoxStats& s) { return s.sessions == s.completeJobs + s.emptySessions; });
  }
}

TEST_F(JobSession, TwoWritesOfTwoBytesCarryTheHeldByteForward) {
  const std::vector<BYTE> data = {1, 2, 3, 4};
  ASSERT_EQ(PrintJob(data, {2, 2}), data);
  auto commands = recorder_.Take();
  ASSERT_EQ(commands.size(), 5u);
  EXPECT_EQ(commands[1].buffer, (std::vector<BYTE>{0, 0, 1, 0, 1}));
  EXPECT_EQ(commands[2].buffer, (std::vector<BYTE>{0, 0, 2, 0, 2, 3}));
  EXPECT_EQ(commands[3].buffer, (std::vector<BYTE>{1, 0, 1, 0, 4}));
  EXPECT_EQ(commands[4].lsn, commands[1].lsn);
}

TEST_F(JobSession, EveryJobSizeIsRebuiltByteForByteInOneWriteAndInRandomSplits) {
  std::mt19937 random(20261208);
  // 65536 and 1 MiB in one write: a write past 16 bits is taken in full.
  std::vector<size_t> sizes = {0, 1, 2, 3067, 3068, 3069, 3070, 6136, 65536, 1 << 20};
  for (size_t size : sizes) {
    std::vector<BYTE> data = Pattern(size, (unsigned)size + 1);
    EXPECT_EQ(PrintJob(data, size ? std::vector<size_t>{size} : std::vector<size_t>{}), data) << size;
    recorder_.Take();
    if (size == 0) continue;
    // Random splits, empty writes among them.
    std::vector<size_t> writes;
    for (size_t left = size; left > 0;) {
      size_t cap = std::min<size_t>(left, random() % 4 == 0 ? 8 : 9000);
      size_t n = std::uniform_int_distribution<size_t>(0, cap)(random);
      writes.push_back(n);
      left -= n;
    }
    EXPECT_EQ(PrintJob(data, writes), data) << size << " in " << writes.size() << " writes";
    for (const Command& c : recorder_.Take()) {
      if (c.command == NCBSEND) {
        EXPECT_LE(c.buffer.size(), 3072u);
      }
    }
  }
}

TEST_F(JobSession, StartWaitsWhileTheServerReportsTroubleThenCalls) {
  port_->Entry.bStatus = STATUS_OFFLINE;
  WaitForBox();
  std::atomic<int> result{-1};
  std::thread spooler([&] {
    char printer[] = "Printer A";
    result = StartDocPort(port_, printer, 1, 1, nullptr);
  });
  ASSERT_TRUE(plat::WaitForSleepers(1));
  // The printer is marked active while the job waits, so the user hears why.
  ListNode* entry = FirstPrinter(port_);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(ReadShared(PrinterOf(entry)->dwActive), 1u);
  for (BYTE status : {STATUS_OFFLINE, STATUS_PAPER_OUT, STATUS_NONE}) {
    WriteShared(port_->Entry.bStatus, status);
    plat::AdvanceClock(3000);
    ASSERT_TRUE(plat::WaitForSleepers(1));
    EXPECT_EQ(result, -1);
    EXPECT_EQ(recorder_.Count(NCBCALL), 0u);
  }
  WriteShared(port_->Entry.bStatus, (BYTE)STATUS_READY2);
  plat::AdvanceClock(2999);
  EXPECT_EQ(result, -1);
  plat::AdvanceClock(1);
  spooler.join();
  EXPECT_EQ(result, TRUE);
  EXPECT_EQ(recorder_.Count(NCBCALL), 1u);
  EXPECT_TRUE(EndDocPort(port_));
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(port_))->dwActive), 0u);
}

TEST_F(JobSession, AnUndefinedStatusFailsTheStartAndClearsTheActiveMark) {
  port_->Entry.bStatus = 0x15;
  EXPECT_FALSE(Start(port_, "Printer A"));
  EXPECT_EQ(recorder_.Count(NCBCALL), 0u);
  // The spooler ends no job whose start failed: no popups for it either.
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(port_))->dwActive), 0u);
  EXPECT_EQ(port_->dwJobActive, 0u);
  std::string log = module_->Log();
  EXPECT_NE(log.find("StartDocPort Printer A Vava status: 15\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("StartDocPort return FALSE Printer A\r\n"), std::string::npos) << log;
  // The job opened no session: its end sends nothing and hangs up nothing.
  EXPECT_TRUE(EndDocPort(port_));
  EXPECT_TRUE(recorder_.Take().empty());
}

TEST_F(JobSession, AFullSessionTableIsCalledAgainEveryThreeSecondsUntilAccepted) {
  box_->SetRefuseSessions(true);
  WaitForBox();
  std::atomic<int> result{-1};
  std::thread spooler([&] {
    char printer[] = "Printer A";
    result = StartDocPort(port_, printer, 1, 1, nullptr);
  });
  for (int refused = 1; refused <= 3; ++refused) {
    ASSERT_TRUE(plat::WaitForSleepers(1));
    EXPECT_EQ(recorder_.Count(NCBCALL), (size_t)refused);
    plat::AdvanceClock(3000);
  }
  ASSERT_TRUE(plat::WaitForSleepers(1));
  box_->SetRefuseSessions(false);
  plat::AdvanceClock(3000);
  spooler.join();
  EXPECT_EQ(result, TRUE);
  EXPECT_EQ(recorder_.Count(NCBCALL), 5u);
  std::string log = module_->Log();
  // The four lines are written once, for the first refusal.
  size_t first = log.find("StartDocPort NetbiosCall ret: 12");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("StartDocPort NetbiosCall ret: 12", first + 1), std::string::npos) << log;
  EXPECT_NE(log.find("StartDocPort Lana: 00\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("StartDocPort Local Name: ") + kLocalName + "\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("StartDocPort pCName: BOXPORT1\r\n"), std::string::npos) << log;

  std::vector<BYTE> data = Pattern(4000, 9);
  EXPECT_TRUE(Write(port_, data.data(), data.size()));
  EXPECT_TRUE(EndDocPort(port_));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].data, data);
}

TEST_F(JobSession, ANameNobodyAnswersUnderIsCalledUntilTheModuleStops) {
  PortRecord* ghost = AddBoxPort("GHOSTPORT");
  WaitForBox();
  std::atomic<int> result{-1};
  std::thread spooler([&] {
    char printer[] = "Printer G";
    result = StartDocPort(ghost, printer, 1, 1, nullptr);
  });
  for (int calls = 1; calls <= 3; ++calls) {
    ASSERT_TRUE(plat::WaitForSleepers(1));
    EXPECT_EQ(recorder_.Count(NCBCALL), (size_t)calls);
    plat::AdvanceClock(3000);
  }
  ASSERT_TRUE(plat::WaitForSleepers(1));
  EXPECT_EQ(result, -1);
  WriteShared(StopFlag, (DWORD)1);
  plat::AdvanceClock(3000);
  spooler.join();
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(recorder_.Count(NCBCALL), 4u);
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(ghost))->dwActive), 0u);
  std::string log = module_->Log();
  EXPECT_NE(log.find("StartDocPort NetbiosCall ret: 14\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("StartDocPort pCName: GHOSTPORT\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("StartDocPort return FALSE Printer G\r\n"), std::string::npos) << log;
}

TEST_F(JobSession, AStartWaitingForThePrinterEndsOnceTheModuleStops) {
  port_->Entry.bStatus = STATUS_NONE;
  WaitForBox();
  std::atomic<int> result{-1};
  std::thread spooler([&] {
    char printer[] = "Printer A";
    result = StartDocPort(port_, printer, 1, 1, nullptr);
  });
  ASSERT_TRUE(plat::WaitForSleepers(1));
  plat::AdvanceClock(3000);
  ASSERT_TRUE(plat::WaitForSleepers(1));
  WriteShared(StopFlag, (DWORD)1);
  // Even a printer that turns ready now is not called: the module is going.
  WriteShared(port_->Entry.bStatus, (BYTE)STATUS_READY);
  plat::AdvanceClock(3000);
  spooler.join();
  EXPECT_EQ(result, FALSE);
  EXPECT_EQ(recorder_.Count(NCBCALL), 0u);
}

TEST_F(JobSession, AFailedSendBreaksTheJobButTheEndStillHangsUp) {
  std::vector<BYTE> data = Pattern(20000, 3);
  ASSERT_TRUE(Start(port_));
  ASSERT_TRUE(Write(port_, data.data(), 3070));
  recorder_.Take();
  // The box goes away in the middle of the next write: its third packet
  // finds the session closed.
  std::atomic<int> sends{0};
  plat::SetNetbiosTrace([&](const NCB& ncb) {
    recorder_.Record(ncb);
    if (ncb.ncb_lana_num == kModuleLana && ncb.ncb_command == NCBSEND && ++sends == 3) {
      plat::RemoveNetbiosAdapter(kBoxLana);
    }
  });
  DWORD written = 0;
  EXPECT_FALSE(Write(port_, data.data() + 3070, 10000, &written));
  // The two packets that went: the held byte and 3067 new bytes, then 3068.
  EXPECT_EQ(written, 3068u + 3068u);
  // The end of the job never reaches the box: the spooler hears so.
  EXPECT_FALSE(EndDocPort(port_));
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(port_))->dwActive), 0u);
  auto commands = Describe(recorder_.Take());
  EXPECT_EQ(commands, (std::vector<std::string>{"0:3068", "0:3068", "0:3068", "1:1", "hangup"}));
  std::string log = module_->Log();
  EXPECT_NE(log.find("WritePort NetbiosSend ret: "), std::string::npos) << log;
  EXPECT_NE(log.find("EndDocPort NetbiosSend ret: "), std::string::npos) << log;
}

TEST_F(JobSession, NoMemoryForAPacketFailsTheWriteWithMessage516) {
  std::vector<BYTE> data = Pattern(7000, 4);
  ASSERT_TRUE(Start(port_));
  plat::FailNthAllocation(2);
  DWORD written = 0;
  EXPECT_FALSE(Write(port_, data.data(), data.size(), &written));
  EXPECT_EQ(written, 3067u);
  auto boxes = module_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "There is not enough memory left!");
  EXPECT_EQ(boxes[0].caption, "Varnhold");
  EXPECT_EQ(boxes[0].type, (UINT)(MB_OK | MB_SETFOREGROUND));
  EXPECT_EQ(boxes[0].owner, nullptr);
  EXPECT_NE(module_->Log().find("WritePort LocalAlloc failed\r\n"), std::string::npos);
  EXPECT_TRUE(EndDocPort(port_));
}

TEST_F(JobSession, NoMemoryForTheEndOfJobPacketKeepsTheSessionForAnotherEnd) {
  std::vector<BYTE> data = Pattern(100, 6);
  ASSERT_TRUE(Start(port_));
  ASSERT_TRUE(Write(port_, data.data(), data.size()));
  recorder_.Take();
  plat::FailNthAllocation(1);
  EXPECT_FALSE(EndDocPort(port_));
  EXPECT_TRUE(recorder_.Take().empty());
  EXPECT_EQ(module_->Boxes().size(), 1u);
  EXPECT_EQ(port_->dwJobActive, 0u);
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(port_))->dwActive), 0u);
  std::string log = module_->Log();
  EXPECT_NE(log.find("EndDocPort LocalAlloc failed\r\n"), std::string::npos) << log;
  // The byte is still held and the session open: a second end completes it.
  EXPECT_TRUE(EndDocPort(port_));
  EXPECT_EQ(Describe(recorder_.Take()), (std::vector<std::string>{"1:1", "hangup"}));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].data, data);
}

TEST_F(JobSession, TheFirstJobOfANewPrinterAfterOpenPortIsRegisteredAndPrinted) {
  PortRecord* fresh = nullptr;
  {
    // A discovered port that the spooler opens for a new printer.
    PortRecord* available = module_->AddAvailable("BOXPORT2");
    available->bLanaNum = kModuleLana;
    strcpy(available->szLocalName, kLocalName);
    available->Entry.bStatus = STATUS_READY;
    HANDLE handle = nullptr;
    char name[] = "BOXPORT2";
    ASSERT_TRUE(OpenPort(name, &handle));
    fresh = static_cast<PortRecord*>(handle);
  }
  std::vector<BYTE> data = Pattern(5000, 8);
  ASSERT_TRUE(Start(fresh, "New Printer"));
  EXPECT_TRUE(HasPrinter(fresh, "New Printer"));
  HKEY key = nullptr;
  std::string path = std::string(kRegistryRoot) + "\\BOXPORT2\\New Printer";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  if (key) RegCloseKey(key);
  ASSERT_TRUE(Write(fresh, data.data(), data.size()));
  ASSERT_TRUE(EndDocPort(fresh));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].port, "BOXPORT2");
  EXPECT_EQ(box_->Jobs()[0].data, data);
  // Registered once, however many jobs follow.
  ASSERT_TRUE(Start(fresh, "New Printer"));
  ASSERT_TRUE(EndDocPort(fresh));
  int entries = 0;
  for (ListNode* p = FirstPrinter(fresh); p != nullptr; p = ListNext(p)) ++entries;
  EXPECT_EQ(entries, 1);
}

TEST_F(JobSession, OpeningAnotherPortMidJobDoesNotStopTheJobsData) {
  module_->AddAvailable("BOXPORT2");
  std::vector<BYTE> data = Pattern(9000, 10);
  ASSERT_TRUE(Start(port_));
  ASSERT_TRUE(Write(port_, data.data(), 4000));
  HANDLE handle = nullptr;
  char name[] = "BOXPORT2";
  ASSERT_TRUE(OpenPort(name, &handle));
  ASSERT_TRUE(Write(port_, data.data() + 4000, 5000));
  ASSERT_TRUE(EndDocPort(port_));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].data, data);
}

TEST_F(JobSession, TheSessionStaysOnItsAdapterWhenReportsMoveThePort) {
  std::vector<BYTE> data = Pattern(7000, 11);
  ASSERT_TRUE(Start(port_));
  ASSERT_TRUE(Write(port_, data.data(), 3500));
  {
    // A report heard on another adapter moves the port there mid-job.
    ListLock open(&OpenLock);
    WriteShared(port_->bLanaNum, (BYTE)5);
  }
  ASSERT_TRUE(Write(port_, data.data() + 3500, 3500));
  ASSERT_TRUE(EndDocPort(port_));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].data, data);
}

TEST_F(JobSession, APrinterKeyPathLongerThanAPathBlockIsSizedToFit) {
  std::string root = "SOFTWARE";
  while (root.size() < 200) root += "\\" + std::string(30, 'r');
  LocalFree(RegistryRoot);
  RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, root.size() + 1));
  memcpy(RegistryRoot, root.c_str(), root.size() + 1);
  std::string printer(120, 'Q');
  ASSERT_TRUE(RegisterPortPrinter(port_, printer.data()));
  EXPECT_TRUE(HasPrinter(port_, printer.c_str()));
  HKEY key = nullptr;
  std::string path = root + "\\" + kPort + "\\" + printer;
  ASSERT_GT(path.size(), 260u);
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  if (key) RegCloseKey(key);
}

TEST_F(JobSession, APrinterThatCannotBeRegisteredAtFirstIsRegisteredWhenMarkedActive) {
  // The first registration finds no memory for the printer's name.
  plat::FailNthAllocation(1);
  std::vector<BYTE> data = Pattern(3000, 12);
  ASSERT_TRUE(Start(port_, "Printer B"));
  auto boxes = module_->Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "There is not sufficient memory for Varnhold");
  EXPECT_NE(module_->Log().find("StartDocPort SetPrinterActive failed: Printer B\r\n"), std::string::npos);
  EXPECT_TRUE(HasPrinter(port_, "Printer B"));
  EXPECT_EQ(ReadShared(PrinterOf(FirstPrinter(port_))->dwActive), 1u);
  ASSERT_TRUE(Write(port_, data.data(), data.size()));
  ASSERT_TRUE(EndDocPort(port_));
  ASSERT_TRUE(box_->WaitForCompleteJobs(1));
  EXPECT_EQ(box_->Jobs()[0].data, data);
}

TEST_F(JobSession, ARepeatedCallGoesOutWithTheAdapterAndNameOfTheLatestReport) {
  // A second adapter of the module on the same segment, with its own name.
  const UCHAR otherLana = 2;
  const char otherName[] = "OV_020000000003";
  ASSERT_TRUE(plat::AddNetbiosAdapter({otherLana, "jobs", {2, 0, 0, 0, 0, 3}}));
  ASSERT_EQ(NetbiosReset(otherLana), NRC_GOODRET);
  UCHAR number = 0;
  ASSERT_EQ(NetbiosAddName(otherLana, otherName, 0, &number), NRC_GOODRET);
  std::mutex mutex;
  std::vector<std::pair<UCHAR, std::string>> calls;
  plat::SetNetbiosTrace([&](const NCB& ncb) {
    if (ncb.ncb_command != NCBCALL) return;
    std::lock_guard<std::mutex> lock(mutex);
    calls.emplace_back(ncb.ncb_lana_num, std::string(reinterpret_cast<const char*>(ncb.ncb_name), 15));
  });
  box_->SetRefuseSessions(true);
  WaitForBox();
  std::atomic<int> result{-1};
  std::thread spooler([&] {
    char printer[] = "Printer A";
    result = StartDocPort(port_, printer, 1, 1, nullptr);
  });
  ASSERT_TRUE(plat::WaitForSleepers(1));
  {
    // While the call waits, a report heard on the other adapter moves the port.
    ListLock open(&OpenLock);
    WriteShared(port_->bLanaNum, otherLana);
    strcpy(port_->szLocalName, otherName);
  }
  box_->SetRefuseSessions(false);
  plat::AdvanceClock(3000);
  spooler.join();
  ASSERT_EQ(result, TRUE);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0], std::make_pair(kModuleLana, std::string(kLocalName)));
  EXPECT_EQ(calls[1], std::make_pair(otherLana, std::string(otherName)));
  EXPECT_TRUE(EndDocPort(port_));
}

TEST_F(JobSession, APrinterIsInThePortsListOnlyWithItsKeyAndIsTriedAgainNextJob) {
  // A root the registry refuses: the printer's key cannot be made.
  LPSTR root = RegistryRoot;
  char badRoot[] = "\\no\\\\key";
  RegistryRoot = badRoot;
  ASSERT_TRUE(Start(port_, "Printer B"));
  RegistryRoot = root;
  EXPECT_FALSE(HasPrinter(port_, "Printer B"));
  EXPECT_NE(module_->Log().find("StartDocPort RegCreateKeyEx ret: "), std::string::npos) << module_->Log();
  ASSERT_TRUE(EndDocPort(port_));
  // The next job of the printer registers it.
  ASSERT_TRUE(Start(port_, "Printer B"));
  EXPECT_TRUE(HasPrinter(port_, "Printer B"));
  HKEY key = nullptr;
  std::string path = std::string(kRegistryRoot) + "\\" + kPort + "\\Printer B";
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  if (key) RegCloseKey(key);
  ASSERT_TRUE(EndDocPort(port_));
}

TEST_F(JobSession, APrinterNameLongerThanANameBlockIsRefused) {
  std::string name(NAME_BLOCK_SIZE, 'L');
  EXPECT_FALSE(Start(port_, name.c_str()));
  EXPECT_EQ(FirstPrinter(port_), nullptr);
  EXPECT_EQ(recorder_.Count(NCBCALL), 0u);
  EXPECT_NE(module_->Log().find("StartDocPort Printer name longer than 259 bytes: LLLL"), std::string::npos)
      << module_->Log();
  // One byte less is a name the job takes.
  name.pop_back();
  ASSERT_TRUE(Start(port_, name.c_str()));
  ASSERT_TRUE(EndDocPort(port_));
}

}  // namespace
