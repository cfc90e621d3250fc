// OpenPort, ClosePort and the declining operations: the move into OpenList,
// the port key and its three switches, handles, names and failures.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "spool_test_support.h"
#include "status/status_thread.h"

namespace {

using spooltest::kRegistryRoot;
using spooltest::SpoolModule;

const DWORD kSentinel = 0xdeadbeef;
HANDLE const kNoHandle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x5a5a5a5a));

BOOL Open(const char* name, HANDLE* handle) {
  std::string copy(name);
  *handle = kNoHandle;
  return OpenPort(copy.data(), handle);
}

// The one-byte REG_BINARY value under the key, or -1 when it is missing or
// not one byte of binary.
int SwitchValue(const std::string& keyPath, const char* valueName) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  BYTE data[4] = {};
  DWORD size = sizeof(data);
  DWORD type = 0;
  LONG rc = RegQueryValueExA(key, valueName, nullptr, &type, data, &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_BINARY || size != 1) return -1;
  return data[0];
}

bool KeyExists(const std::string& keyPath) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

std::vector<std::string> ListedNames() {
  DWORD needed = 0, returned = 0;
  EnumPorts(nullptr, 1, nullptr, 0, &needed, &returned);
  std::vector<BYTE> buffer(needed + 1);
  EXPECT_TRUE(EnumPorts(nullptr, 1, buffer.data(), (DWORD)buffer.size(), &needed, &returned));
  std::vector<std::string> names;
  for (DWORD i = 0; i < returned; ++i) names.push_back(reinterpret_cast<PORT_INFO_1*>(buffer.data())[i].pName);
  return names;
}

TEST(OpenPort, MovesADiscoveredPortBehindTheAvailableOnes) {
  SpoolModule module;
  module.AddAvailable("ALPHA");
  PortRecord* bravo = module.AddAvailable("BRAVO");
  module.AddAvailable("CHARLIE");
  HANDLE handle;
  ASSERT_TRUE(Open("BRAVO", &handle));
  EXPECT_EQ(handle, bravo);
  EXPECT_NE(bravo->pPrinters, nullptr);
  EXPECT_TRUE(ListIsEmpty(bravo->pPrinters));
  EXPECT_EQ(FindPort("BRAVO", AVAILABLE_LIST), nullptr);
  EXPECT_EQ(PortOf(FindPort("BRAVO", OPEN_LIST)), bravo);
  EXPECT_EQ(ListedNames(), (std::vector<std::string>{"ALPHA", "CHARLIE", "BRAVO"}));
}

TEST(OpenPort, WritesThePortKeyWithItsThreeOneByteSwitches) {
  SpoolModule module;
  PortRecord* port = module.AddAvailable("SRV1");
  port->dwOffline = 1;
  port->dwOutOfPaper = 0;
  port->dwNoResponse = 0x101;  // only the low byte is written
  HANDLE handle;
  ASSERT_TRUE(Open("SRV1", &handle));
  std::string key = std::string(kRegistryRoot) + "\\SRV1";
  EXPECT_EQ(SwitchValue(key, "Offline"), 1);
  EXPECT_EQ(SwitchValue(key, "OutOfPaper"), 0);
  EXPECT_EQ(SwitchValue(key, "NoResponse"), 1);
  EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);
}

TEST(OpenPort, TheSameNameTwiceGivesTheSameHandleAndRewritesTheSwitches) {
  SpoolModule module;
  PortRecord* port = module.AddAvailable("SRV1");
  HANDLE first, second;
  ASSERT_TRUE(Open("SRV1", &first));
  port->dwOutOfPaper = 1;
  ASSERT_TRUE(Open("SRV1", &second));
  EXPECT_EQ(first, second);
  int inOpenList = 0;
  for (ListNode* p = FirstPort(OPEN_LIST); p != nullptr; p = ListNext(p)) ++inOpenList;
  EXPECT_EQ(inOpenList, 1);
  EXPECT_EQ(SwitchValue(std::string(kRegistryRoot) + "\\SRV1", "OutOfPaper"), 1);
}

TEST(OpenPort, AnUnknownNameOrOneDifferingInCaseFailsWithNothingChanged) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  module.AddOpen("SRV2");
  for (const char* name : {"srv1", "Srv2", "SRV3", ""}) {
    HANDLE handle;
    SetLastError(kSentinel);
    EXPECT_FALSE(Open(name, &handle)) << name;
    EXPECT_EQ(handle, kNoHandle);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_FALSE(KeyExists(std::string(kRegistryRoot) + "\\" + name)) << name;
  }
  EXPECT_NE(FindPort("SRV1", AVAILABLE_LIST), nullptr);
  EXPECT_TRUE(module.Boxes().empty());
}

TEST(OpenPort, ClosePortKeepsThePortOpenForTheNextOpen) {
  SpoolModule module;
  module.AddAvailable("SRV1");
  HANDLE handle, again;
  ASSERT_TRUE(Open("SRV1", &handle));
  EXPECT_TRUE(ClosePort(handle));
  EXPECT_TRUE(ClosePort(nullptr));
  ASSERT_TRUE(Open("SRV1", &again));
  EXPECT_EQ(again, handle);
  EXPECT_NE(FindPort("SRV1", OPEN_LIST), nullptr);
}

TEST(OpenPort, ARootAndNameLongerThanAPathBlockStillGetTheirKey) {
  SpoolModule module;
  std::string root = "SOFTWARE";
  while (root.size() < 300) root += "\\" + std::string(40, 'k');
  LocalFree(RegistryRoot);
  RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, root.size() + 1));
  memcpy(RegistryRoot, root.c_str(), root.size() + 1);
  std::string name(100, 'P');
  module.AddAvailable(name.c_str());
  HANDLE handle;
  ASSERT_TRUE(Open(name.c_str(), &handle));
  EXPECT_EQ(SwitchValue(root + "\\" + name, "Offline"), 0);
}

TEST(OpenPort, NoMemoryForTheKeyPathShowsTheMessageAfterStoringTheHandle) {
  SpoolModule module;
  PortRecord* port = module.AddOpen("SRV1");
  HANDLE handle;
  plat::FailNthAllocation(1);
  EXPECT_FALSE(Open("SRV1", &handle));
  EXPECT_EQ(handle, port);
  auto boxes = module.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "There is not sufficient memory for Varnhold");
  EXPECT_FALSE(KeyExists(std::string(kRegistryRoot) + "\\SRV1"));
}

TEST(OpenPort, NoMemoryForThePrinterListLeavesThePortAvailableAsItWas) {
  SpoolModule module;
  PortRecord* port = module.AddAvailable("SRV1");
  HANDLE handle;
  SetLastError(kSentinel);
  plat::FailNthAllocation(1);
  EXPECT_FALSE(Open("SRV1", &handle));
  EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(handle, kNoHandle);
  EXPECT_EQ(PortOf(FindPort("SRV1", AVAILABLE_LIST)), port);
  EXPECT_EQ(FindPort("SRV1", OPEN_LIST), nullptr);
  EXPECT_FALSE(KeyExists(std::string(kRegistryRoot) + "\\SRV1"));
  // With memory back, the next open takes the port whole.
  ASSERT_TRUE(Open("SRV1", &handle));
  EXPECT_EQ(handle, port);
  EXPECT_NE(port->pPrinters, nullptr);
}

TEST(OpenPort, TwoOpensOfOneNameWhileItMovesGetOneHandleAndWalksStayInTheirList) {
  SpoolModule module;
  const std::vector<std::string> names = {"SRV1", "SRV2", "SRV3", "SRV4", "SRV5", "SRV6"};
  for (const std::string& name : names) module.AddAvailable(name.c_str());
  module.AddAvailable("SRV9");  // never opened: always in AvailableList
  module.AddOpen("OPEN");
  // Each move keeps its port in neither list for a while.
  PortMoveWindowHook = [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); };
  std::atomic<bool> stop{false};
  std::atomic<int> strayWalks{0};
  std::vector<std::thread> beside;
  beside.emplace_back([&] {
    while (!stop) RunStatusCycle();
  });
  beside.emplace_back([&] {
    while (!stop) ListedNames();
  });
  beside.emplace_back([&] {
    while (!stop) {
      if (FindPort("SRV9", AVAILABLE_LIST) == nullptr || FindPort("OPEN", AVAILABLE_LIST) != nullptr) ++strayWalks;
    }
  });
  for (const std::string& name : names) {
    HANDLE first, second;
    std::atomic<BOOL> firstOpened{FALSE}, secondOpened{FALSE};
    std::thread one([&] { firstOpened = Open(name.c_str(), &first); });
    std::thread two([&] { secondOpened = Open(name.c_str(), &second); });
    one.join();
    two.join();
    EXPECT_TRUE(firstOpened) << name;
    EXPECT_TRUE(secondOpened) << name;
    EXPECT_EQ(first, second) << name;
    EXPECT_EQ(first, PortOf(FindPort(name.c_str(), OPEN_LIST))) << name;
  }
  stop = true;
  for (std::thread& thread : beside) thread.join();
  PortMoveWindowHook = nullptr;
  EXPECT_EQ(strayWalks.load(), 0);
  EXPECT_EQ(ListedNames(), (std::vector<std::string>{"SRV9", "OPEN", "SRV1", "SRV2", "SRV3", "SRV4", "SRV5", "SRV6"}));
}

TEST(DecliningOperations, ReturnFalseWriteNothingAndSetNoLastError) {
  SpoolModule module;
  PortRecord* port = module.AddOpen("SRV1");
  SetLastError(kSentinel);

  BYTE buffer[8];
  memset(buffer, 0xAB, sizeof(buffer));
  DWORD count = kSentinel;
  EXPECT_FALSE(ReadPort(port, buffer, sizeof(buffer), &count));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer[0], 0xAB);

  char server[] = "";
  char name[] = "SRV1";
  EXPECT_FALSE(DeletePort(server, nullptr, name));
  EXPECT_NE(FindPort("SRV1", OPEN_LIST), nullptr);

  char valueName[] = "Value";
  char in[4] = "in";
  char out[8];
  memset(out, 0xAB, sizeof(out));
  DWORD returned = kSentinel;
  EXPECT_FALSE(GetPrinterDataFromPort(port, 1, valueName, in, sizeof(in), out, sizeof(out), &returned));
  EXPECT_EQ(returned, kSentinel);
  EXPECT_EQ((BYTE)out[0], 0xAB);
  EXPECT_EQ(GetLastError(), kSentinel);
}

}  // namespace
