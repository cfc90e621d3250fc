// The refresh interval and the settings start-up reads from the monitor's key.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/log.h"
#include "host/registry.h"
#include "host/system.h"
#include "module_globals.h"
#include "monitor/lifecycle.h"
#include "ports/port_flags.h"
#include "ports/port_record.h"

namespace {

constexpr const char* kRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\TAVRO";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    moduletest::ResetModuleGlobals();
    plat::ResetRegistry();
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, kRoot, &root_), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (root_ != nullptr) RegCloseKey(root_);
    EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);
  }

  void StoreTimer(DWORD seconds) { ASSERT_EQ(WriteTimerValue(root_, seconds), ERROR_SUCCESS); }
  DWORD StoredTimer(DWORD* type = nullptr) {
    DWORD value = 0xdeadbeef, cb = sizeof value;
    EXPECT_EQ(RegQueryValueExA(root_, "Timer", nullptr, type, reinterpret_cast<LPBYTE>(&value), &cb), ERROR_SUCCESS);
    EXPECT_EQ(cb, 4u);
    return value;
  }
  static void ExpectIntervals(DWORD ms) {
    EXPECT_EQ(ReadShared(RefreshInterval), ms);
    EXPECT_EQ(GetConfiguredInterval(), ms);
  }

  HKEY root_ = nullptr;
};

TEST_F(Settings, IntervalsStartAtZeroAndConfiguredIntervalKeepsWhatIsSet) {
  EXPECT_EQ(GetConfiguredInterval(), 0u);
  EXPECT_EQ(ReadShared(RefreshInterval), 0u);
  SetConfiguredInterval(42000);
  EXPECT_EQ(GetConfiguredInterval(), 42000u);
  EXPECT_EQ(ReadShared(RefreshInterval), 0u) << "the worker's interval follows only when ConfigurePort copies it";
}

TEST_F(Settings, StartUpWritesVersionAndUsesTheStoredTimerEvenBelowTheDialogsMinimum) {
  StoreTimer(5);
  ReadMonitorSettings(root_);
  ExpectIntervals(5000);
  EXPECT_EQ(StoredTimer(), 5u);
  char version[8];
  DWORD cb = sizeof version, type = 0;
  ASSERT_EQ(RegQueryValueExA(root_, "Version", nullptr, &type, reinterpret_cast<LPBYTE>(version), &cb),
            ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(cb, 5u);
  EXPECT_STREQ(version, "1.04");

  StoreTimer(999);
  ReadMonitorSettings(root_);
  ExpectIntervals(999000);
  StoreTimer(0);
  ReadMonitorSettings(root_);
  ExpectIntervals(0);
}

TEST_F(Settings, AMissingTimerIsWrittenAsSixteenSeconds) {
  ReadMonitorSettings(root_);
  ExpectIntervals(16000);
  DWORD type = 0;
  EXPECT_EQ(StoredTimer(&type), 16u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  // A value too big for four bytes cannot be read either.
  BYTE wide[8] = {5};
  ASSERT_EQ(RegSetValueExA(root_, "Timer", 0, REG_BINARY, wide, sizeof wide), ERROR_SUCCESS);
  ReadMonitorSettings(root_);
  ExpectIntervals(16000);
  EXPECT_EQ(StoredTimer(), 16u);
}

TEST_F(Settings, ATimerAbove999IsReplacedBySixteenAndLogged) {
  char dir[] = "/tmp/tavro-settings-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  plat::SetWindowsDirectory(dir);
  OpenLogFile(nullptr);
  StoreTimer(1000);
  ReadMonitorSettings(root_);
  CloseLogFile();
  ExpectIntervals(16000);
  EXPECT_EQ(StoredTimer(), 16u);
  std::ifstream log(std::filesystem::path(dir) / "TAVRO.log");
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_NE(text.str().find("InitMonitor dwKeyValue Timer overflow\r\n"), std::string::npos) << text.str();
  std::filesystem::remove_all(dir);
}

TEST_F(Settings, WithoutTheMonitorsKeyTheDefaultIntervalIsUsed) {
  ReadMonitorSettings(nullptr);
  ExpectIntervals(16000);
}

TEST_F(Settings, FlagsAreSingleBytesAndAMissingOneReadsZero) {
  HKEY port = nullptr;
  ASSERT_EQ(OpenOrCreateKey(root_, "PS1_P1", &port), ERROR_SUCCESS);
  PortRecord record = {};
  record.dwOffline = 1;
  record.dwOutOfPaper = 0;
  record.dwNoResponse = 0x101;  // only the low byte is stored
  WritePortFlags(port, &record);
  DWORD type = 0, cb = 0;
  ASSERT_EQ(RegQueryValueExA(port, "NoResponse", nullptr, &type, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(cb, 1u);

  PortRecord back = {};
  back.dwOffline = back.dwOutOfPaper = back.dwNoResponse = 0xdeadbeef;
  ReadPortFlags(port, &back);
  EXPECT_EQ(back.dwOffline, 1u);
  EXPECT_EQ(back.dwOutOfPaper, 0u);
  EXPECT_EQ(back.dwNoResponse, 1u);

  // "Offline" is gone: it reads 0, not the byte of a flag read before it.
  ASSERT_EQ(RegDeleteValueA(port, "Offline"), ERROR_SUCCESS);
  ASSERT_EQ(WriteFlagValue(port, "NoResponse", 1), ERROR_SUCCESS);
  ReadPortFlags(port, &back);
  EXPECT_EQ(back.dwOffline, 0u);
  EXPECT_EQ(back.dwNoResponse, 1u);
  RegCloseKey(port);

  // Open-or-create opens what exists and makes what does not, with the class.
  DWORD before = static_cast<DWORD>(plat::OpenKeyHandleCount());
  HKEY again = nullptr;
  ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, (std::string(kRoot) + "\\PS1_P1").c_str(), &again), ERROR_SUCCESS);
  RegCloseKey(again);
  char cls[16];
  char name[16];
  DWORD cch = sizeof name, cchClass = sizeof cls;
  ASSERT_EQ(RegEnumKeyExA(root_, 0, name, &cch, nullptr, cls, &cchClass, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "PS1_P1");
  EXPECT_STREQ(cls, "REG_SZ");
  EXPECT_EQ(plat::OpenKeyHandleCount(), before);
}

}  // namespace
