// LoadLibraryA, GetProcAddress and FreeLibrary over dlopen, with DllMain.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "host/clock.h"
#include "host/loader.h"
#include "host/system.h"
#include "platform.h"

namespace {

using IntFn = int (*)();

// The probe's thread sleeps in module time: these tests run on the real clock.
class Loader : public ::testing::Test {
 protected:
  void SetUp() override { plat::UseRealClock(); }
  void TearDown() override {
    EXPECT_TRUE(plat::WaitForAllThreads());
    plat::ReleasePinnedModules();
  }
};

TEST_F(Loader, CallsDllMainAndGivesInstanceWithResources) {
  HMODULE module = LoadLibraryA(LOADER_PROBE_PATH);
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_TRUE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  EXPECT_EQ(plat::ProcAddress<IntFn>(module, "ProbeAttachCount")(), 1);
  EXPECT_EQ(plat::ProcAddress<IntFn>(module, "ProbeDetachCount")(), 0);

  char text[32];
  ASSERT_GT(LoadStringA(module, 7, text, sizeof text), 0);
  EXPECT_STREQ(text, "probe string");

  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "NoSuchExport"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Loader, NestedLoadsShareOneAttach) {
  HMODULE first = LoadLibraryA(LOADER_PROBE_PATH);
  HMODULE second = LoadLibraryA(LOADER_PROBE_PATH);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  auto detaches = plat::ProcAddress<IntFn>(first, "ProbeDetachCount");
  EXPECT_EQ(plat::ProcAddress<IntFn>(first, "ProbeAttachCount")(), 1);
  EXPECT_TRUE(FreeLibrary(second));
  EXPECT_EQ(detaches(), 0);
  EXPECT_TRUE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_FALSE(plat::IsModuleMapped(LOADER_PROBE_PATH));
}

TEST_F(Loader, SecondLoadStartsWithFreshGlobals) {
  for (int load = 0; load < 2; ++load) {
    HMODULE module = LoadLibraryA(LOADER_PROBE_PATH);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(plat::ProcAddress<IntFn>(module, "ProbeAttachCount")(), 1) << "load " << load;
    auto touch = plat::ProcAddress<IntFn>(module, "ProbeTouch");
    EXPECT_EQ(touch(), 1) << "load " << load;
    EXPECT_EQ(touch(), 2);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  }
}

TEST_F(Loader, RefusedAttachUnloadsAndFails) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA(LOADER_PROBE_REFUSING_PATH), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_FALSE(plat::IsModuleMapped(LOADER_PROBE_REFUSING_PATH));

  EXPECT_EQ(LoadLibraryA("/nonexistent\\module.so"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Loader, ModuleWithARunningThreadStaysMapped) {
  HMODULE module = LoadLibraryA(LOADER_PROBE_PATH);
  ASSERT_NE(module, nullptr);
  HANDLE thread = plat::ProcAddress<HANDLE (*)()>(module, "ProbeStartThread")();
  ASSERT_NE(thread, nullptr);
  auto started = plat::ProcAddress<IntFn>(module, "ProbeThreadStarted");
  while (started() == 0) std::this_thread::yield();
  auto release = plat::ProcAddress<void (*)()>(module, "ProbeReleaseThread");
  auto detaches = plat::ProcAddress<IntFn>(module, "ProbeDetachCount");

  plat::SetUnloadGrace(std::chrono::milliseconds(20));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(detaches(), 1);
  EXPECT_TRUE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  EXPECT_EQ(plat::PinnedModuleCount(), 1);

  // Its code is still there for the thread to finish in.
  release();
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 7u);
  CloseHandle(thread);
  EXPECT_TRUE(plat::WaitForAllThreads());
}

TEST_F(Loader, ThreadEndingWithinTheGraceLetsTheModuleGo) {
  HMODULE module = LoadLibraryA(LOADER_PROBE_PATH);
  ASSERT_NE(module, nullptr);
  HANDLE thread = plat::ProcAddress<HANDLE (*)()>(module, "ProbeStartThread")();
  ASSERT_NE(thread, nullptr);
  plat::ProcAddress<void (*)()>(module, "ProbeReleaseThread")();
  plat::SetUnloadGrace(std::chrono::seconds(10));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(plat::IsModuleMapped(LOADER_PROBE_PATH));
  EXPECT_EQ(plat::PinnedModuleCount(), 0);
  CloseHandle(thread);
}

}  // namespace
