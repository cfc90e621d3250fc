// EnumPorts: sizes and layouts at both levels, the two-call sizing, the
// last-error codes, unsupported levels and the order of the ports.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>

#include "spool_test_support.h"

namespace {

using spooltest::SpoolModule;

const DWORD kSentinel = 0xdeadbeef;
const BYTE kFill = 0xAB;

struct EnumResult {
  BOOL ok;
  DWORD needed;
  DWORD returned;
  DWORD error;
};

EnumResult Enum(DWORD level, LPBYTE buffer, DWORD size, LPSTR server = nullptr) {
  EnumResult r{FALSE, kSentinel, kSentinel, 0};
  SetLastError(kSentinel);
  r.ok = EnumPorts(server, level, buffer, size, &r.needed, &r.returned);
  r.error = GetLastError();
  return r;
}

// Enumerates with exactly the size a first call asks for.
std::vector<BYTE> EnumExact(DWORD level, EnumResult* result) {
  EnumResult first = Enum(level, nullptr, 0);
  std::vector<BYTE> buffer(first.needed, kFill);
  *result = Enum(level, buffer.data(), first.needed);
  return buffer;
}

std::vector<std::string> Names(const std::vector<BYTE>& buffer, DWORD level, DWORD count) {
  std::vector<std::string> names;
  for (DWORD i = 0; i < count; ++i) {
    if (level == 1) {
      names.push_back(reinterpret_cast<const PORT_INFO_1*>(buffer.data())[i].pName);
    } else {
      names.push_back(reinterpret_cast<const PORT_INFO_2*>(buffer.data())[i].pPortName);
    }
  }
  return names;
}

TEST(EnumPorts, NoPortsWithABufferSucceedsAndLeavesItUntouched) {
  SpoolModule module;
  std::vector<BYTE> buffer(32, kFill);
  for (DWORD level : {1u, 2u}) {
    EnumResult r = Enum(level, buffer.data(), (DWORD)buffer.size());
    EXPECT_TRUE(r.ok) << "level " << level << " error " << r.error;
    EXPECT_EQ(r.needed, 0u);
    EXPECT_EQ(r.returned, 0u);
    EXPECT_EQ(r.error, kSentinel);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kFill), 32);
  }
}

TEST(EnumPorts, SizeZeroFailsWithInsufficientBufferEvenWhenNothingIsNeeded) {
  SpoolModule module;
  EnumResult r = Enum(1, nullptr, 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(r.needed, 0u);
  EXPECT_EQ(r.returned, kSentinel);

  module.AddAvailable("SRV1");
  r = Enum(2, nullptr, 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(r.needed, sizeof(PORT_INFO_2) + 5 + 11 + 18);
  EXPECT_EQ(r.returned, kSentinel);
}

TEST(EnumPorts, Level1PacksStructuresFromTheStartAndNamesFromTheEnd) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  module.AddOpen("SRV2");
  const DWORD needed = 2 * sizeof(PORT_INFO_1) + 5 + 5;

  std::vector<BYTE> buffer(needed + 8, kFill);
  EnumResult r = Enum(1, buffer.data(), (DWORD)buffer.size());
  ASSERT_TRUE(r.ok) << "error " << r.error;
  EXPECT_EQ(r.needed, needed);
  EXPECT_EQ(r.returned, 2u);
  auto* info = reinterpret_cast<PORT_INFO_1*>(buffer.data());
  LPBYTE end = buffer.data() + buffer.size();
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info[0].pName), end - 5);
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info[1].pName), end - 10);
  EXPECT_STREQ(info[0].pName, "SRV1");
  EXPECT_STREQ(info[1].pName, "SRV2");
  // The gap between the last structure and the lowest string is left alone.
  for (LPBYTE p = buffer.data() + 2 * sizeof(PORT_INFO_1); p < end - 10; ++p) EXPECT_EQ(*p, kFill);
}

TEST(EnumPorts, Level2CarriesTheSharedTextsAndZeroTypeFields) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  EnumResult r;
  std::vector<BYTE> buffer = EnumExact(2, &r);
  ASSERT_TRUE(r.ok) << "error " << r.error;
  EXPECT_EQ(r.needed, sizeof(PORT_INFO_2) + 5 + 11 + 18);
  ASSERT_EQ(r.returned, 1u);
  auto* info = reinterpret_cast<PORT_INFO_2*>(buffer.data());
  EXPECT_STREQ(info->pPortName, "SRV1");
  EXPECT_STREQ(info->pMonitorName, "Local Port");
  EXPECT_STREQ(info->pDescription, "Print Server Port");
  EXPECT_EQ(info->fPortType, 0u);
  EXPECT_EQ(info->Reserved, 0u);
  // Name highest, then the monitor name, then the description, lowest.
  LPBYTE end = buffer.data() + buffer.size();
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info->pPortName), end - 5);
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info->pMonitorName), end - 5 - 11);
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info->pDescription), end - 5 - 11 - 18);
  EXPECT_EQ(reinterpret_cast<LPBYTE>(info->pDescription), buffer.data() + sizeof(PORT_INFO_2));
}

TEST(EnumPorts, ExactSizeSucceedsAndOneByteLessFails) {
  SpoolModule module;
  module.AddAvailable("ALPHA");
  module.AddOpen("BRAVO");
  for (DWORD level : {1u, 2u}) {
    EnumResult first = Enum(level, nullptr, 0);
    std::vector<BYTE> buffer(first.needed, kFill);
    EnumResult less = Enum(level, buffer.data(), first.needed - 1);
    EXPECT_FALSE(less.ok);
    EXPECT_EQ(less.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(less.needed, first.needed);
    EXPECT_EQ(less.returned, kSentinel);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kFill), (long)buffer.size());

    EnumResult exact = Enum(level, buffer.data(), first.needed);
    EXPECT_TRUE(exact.ok) << "level " << level << " error " << exact.error;
    EXPECT_EQ(exact.returned, 2u);
    EXPECT_EQ(Names(buffer, level, 2), (std::vector<std::string>{"ALPHA", "BRAVO"}));
  }
}

TEST(EnumPorts, AServerNameIsRefusedWithNothingWritten) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  std::vector<BYTE> buffer(256, kFill);
  char server[] = "\\\\OTHER";
  EnumResult r = Enum(1, buffer.data(), (DWORD)buffer.size(), server);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.needed, kSentinel);
  EXPECT_EQ(r.returned, kSentinel);
  EXPECT_EQ(r.error, kSentinel);
  EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kFill), 256);
}

TEST(EnumPorts, UnlistedAvailablePortsAreLeftOutButOpenPortsAlwaysCount) {
  SpoolModule module;
  module.AddAvailable("HIDDEN", false);
  module.AddAvailable("SHOWN");
  module.AddOpen("AGED", false);
  EnumResult r;
  std::vector<BYTE> buffer = EnumExact(1, &r);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.needed, 2 * sizeof(PORT_INFO_1) + 6 + 5);
  EXPECT_EQ(Names(buffer, 1, r.returned), (std::vector<std::string>{"SHOWN", "AGED"}));
}

TEST(EnumPorts, AvailablePortsComeSortedBeforeOpenPortsInTheirOrder) {
  SpoolModule module;
  module.AddOpen("ZULU");
  module.AddAvailable("CHARLIE");
  module.AddOpen("ECHO");
  module.AddAvailable("ALPHA");
  module.AddAvailable("bravo");
  module.AddAvailable("BRAVO");
  for (DWORD level : {1u, 2u}) {
    EnumResult r;
    std::vector<BYTE> buffer = EnumExact(level, &r);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(Names(buffer, level, r.returned),
              (std::vector<std::string>{"ALPHA", "BRAVO", "CHARLIE", "bravo", "ZULU", "ECHO"}));
  }
}

TEST(EnumPorts, UnsupportedLevelsAreReportedByEveryRoutineThatMeetsThem) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  module.AddOpen("SRV2");
  for (DWORD level : {0u, 3u}) {
    size_t boxesBefore = module.Boxes().size();
    // Sizing reports once per port and totals 0: size 0 fails with 122.
    EnumResult sized = Enum(level, nullptr, 0);
    EXPECT_FALSE(sized.ok);
    EXPECT_EQ(sized.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(sized.needed, 0u);
    EXPECT_EQ(module.Boxes().size(), boxesBefore + 2);

    // With a buffer: two from sizing, then PackPortInfo and EnumPorts on the
    // first port; FALSE, no structure, no last error.
    std::vector<BYTE> buffer(64, kFill);
    EnumResult packed = Enum(level, buffer.data(), (DWORD)buffer.size());
    EXPECT_FALSE(packed.ok);
    EXPECT_EQ(packed.error, kSentinel);
    EXPECT_EQ(packed.returned, 0u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), kFill), 64);
    auto boxes = module.Boxes();
    ASSERT_EQ(boxes.size(), boxesBefore + 6);
    for (const auto& box : boxes) {
      EXPECT_EQ(box.owner, nullptr);
      EXPECT_EQ(box.caption, "Varnhold");
      EXPECT_EQ(box.type, (UINT)(MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND));
      EXPECT_EQ(box.text,
                "Varnhold received an illegal value. Please save the logfile (TAVRO.log) and contact your "
                "distributor!");
    }
  }
  std::string log = module.Log();
  EXPECT_NE(log.find("GetPortSize Illegal value: Level: 0"), std::string::npos) << log;
  EXPECT_NE(log.find("GetPortSize Illegal value: Level: 3"), std::string::npos) << log;
}

TEST(EnumPorts, AnUnsupportedLevelWithNoPortsSucceedsEmpty) {
  SpoolModule module;
  std::vector<BYTE> buffer(16, kFill);
  EnumResult r = Enum(3, buffer.data(), (DWORD)buffer.size());
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.needed, 0u);
  EXPECT_EQ(r.returned, 0u);
  EXPECT_TRUE(module.Boxes().empty());
}

TEST(EnumPorts, PackPortStringsStoresNullForAMissingSourceAndStopsAtTheAllOnesEntry) {
  BYTE slot[3 * sizeof(LPSTR)];
  memset(slot, kFill, sizeof(slot));
  BYTE strings[16];
  char a[] = "AB";
  char c[] = "C";
  LPSTR sources[] = {a, nullptr, c};
  const DWORD offsets[] = {0, sizeof(LPSTR), (DWORD)-1, 2 * sizeof(LPSTR)};
  LPBYTE end = PackPortStrings(sources, slot, offsets, strings + sizeof(strings));
  EXPECT_EQ(end, strings + sizeof(strings) - 3);
  LPSTR stored[3];
  memcpy(stored, slot, sizeof(stored));
  EXPECT_EQ(reinterpret_cast<LPBYTE>(stored[0]), end);
  EXPECT_STREQ(stored[0], "AB");
  EXPECT_EQ(stored[1], nullptr);
  for (size_t i = 2 * sizeof(LPSTR); i < sizeof(slot); ++i) EXPECT_EQ(slot[i], kFill);
}

TEST(EnumPorts, ShortMemoryForTheNameCopyFailsWithNotEnoughMemory) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  plat::FailNthAllocation(1);
  EnumResult r = Enum(1, nullptr, 0);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(r.needed, kSentinel);
}

// Ports join and are opened and closed while a spooler thread enumerates:
// every answer is either a request for a larger buffer or a complete,
// well-formed listing that holds every port known before the call once.
TEST(EnumPorts, EveryPortComesOnceWithSizeAndPackingAgreeingWhilePortsJoinAndOpen) {
  SpoolModule module;
  const int kPorts = 400;
  auto name = [](int i) { return "PORT" + std::to_string(1000 + i); };
  std::atomic<int> known{0};  // ports 0..known-1 have joined AvailableList
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < kPorts; ++i) {
      std::string port = name(i);
      module.AddAvailable(port.c_str());
      known = i + 1;
      if (i % 4 == 3) continue;  // some stay available
      HANDLE handle = nullptr;
      EXPECT_TRUE(OpenPort(port.data(), &handle));
      EXPECT_TRUE(ClosePort(handle));
    }
    done = true;
  });
  // A third thread holds OpenLock now and then, as a job's printer append
  // does: an enumeration and an open both come to wait for it halfway.
  std::thread holder([&] {
    while (!done) {
      ListLock open(&OpenLock);
      for (int i = 0; i < 200; ++i) std::this_thread::yield();
    }
  });
  int complete = 0;
  // The checks of one call; a failed one ends the loop, so that the churn is
  // still joined.
  auto enumerateOnce = [&] {
    EnumResult first = Enum(2, nullptr, 0);
    // Room for a few more ports than asked, as a spooler would not give.
    std::vector<BYTE> buffer(first.needed + 64, kFill);
    int before = known;
    EnumResult r = Enum(2, buffer.data(), (DWORD)buffer.size());
    if (!r.ok) {
      ASSERT_EQ(r.error, (DWORD)ERROR_INSUFFICIENT_BUFFER);
      ASSERT_GT(r.needed, buffer.size());
      return;
    }
    ++complete;
    LPBYTE lowest = buffer.data() + buffer.size();
    auto* info = reinterpret_cast<PORT_INFO_2*>(buffer.data());
    std::set<std::string> names;
    for (DWORD i = 0; i < r.returned; ++i) {
      for (LPSTR text : {info[i].pPortName, info[i].pMonitorName, info[i].pDescription}) {
        LPBYTE p = reinterpret_cast<LPBYTE>(text);
        ASSERT_GE(p, buffer.data() + r.returned * sizeof(PORT_INFO_2));
        ASSERT_LT(p + strlen(text), buffer.data() + buffer.size());
        lowest = std::min(lowest, p);
      }
      ASSERT_TRUE(names.insert(info[i].pPortName).second) << info[i].pPortName << " listed twice";
    }
    for (int i = 0; i < before; ++i) ASSERT_EQ(names.count(name(i)), 1u) << name(i) << " missing";
    ASSERT_EQ((DWORD)(buffer.data() + buffer.size() - lowest) + r.returned * sizeof(PORT_INFO_2), r.needed);
  };
  while ((!done || complete == 0) && !::testing::Test::HasFailure()) enumerateOnce();
  churn.join();
  holder.join();
  EXPECT_GT(complete, 0);
}

}  // namespace
