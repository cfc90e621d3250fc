// Shared set-up of the dialog tests: the module's resources and caption, the
// port lists, an empty registry with the monitor's root path, and a scripted
// user who answers dialogs, message boxes and help.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/messages.h"
#include "host/dialog.h"
#include "host/dialog_script.h"
#include "host/registry.h"
#include "host/resources.h"
#include "port_fixture.h"
#include "ports/port_lists.h"
#include "ui/port_dialogs.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace dialogtest {

inline constexpr const char* kRoot = "System\\CurrentControlSet\\Control\\Print\\Monitors\\TAVRO";

struct Flags {
  BYTE offline, outOfPaper, noResponse;
  bool operator==(const Flags&) const = default;
};

class DialogFixture : public porttest::PortListTest {
 protected:
  void SetUp() override {
    porttest::PortListTest::SetUp();
    plat::ResetRegistry();
    static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);
    ModuleInstance = instance;
    LoadMessage(IDS_TITLE, MessageTitle);
    RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
    ASSERT_NE(RegistryRoot, nullptr);
    std::strcpy(RegistryRoot, kRoot);
    SetConfiguredInterval(16000);
    WriteShared(RefreshInterval, static_cast<DWORD>(16000));
    plat::SetDialogDriver(driver);
    plat::SetMessagePresenter(messages);
    plat::SetHelpSink(help);
  }
  void TearDown() override {
    plat::SetDialogDriver(nullptr);
    plat::SetMessagePresenter(nullptr);
    plat::SetHelpSink(nullptr);
    LocalFree(RegistryRoot);
    RegistryRoot = nullptr;
    EXPECT_EQ(ReadShared(ConfigureCount), 0u);
    EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);
    porttest::PortListTest::TearDown();
  }

  static PortRecord* ListPort(const char* name, DWORD list, Flags flags = {0, 0, 0}) {
    ListNode* node = porttest::MakePort(name);
    PortRecord* record = PortOf(node);
    record->dwOffline = flags.offline;
    record->dwOutOfPaper = flags.outOfPaper;
    record->dwNoResponse = flags.noResponse;
    ListLock lock(list == AVAILABLE_LIST ? &AvailableLock : &OpenLock);
    InsertPort(node, list);
    return record;
  }
  static Flags FlagsOf(const PortRecord* r) {
    return {static_cast<BYTE>(ReadShared(r->dwOffline)), static_cast<BYTE>(ReadShared(r->dwOutOfPaper)),
            static_cast<BYTE>(ReadShared(r->dwNoResponse))};
  }

  static void CreateRoot() {
    KeyHolder root;
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, kRoot, root.Out()), ERROR_SUCCESS);
  }
  static void StorePortFlags(const char* port, Flags flags) {
    KeyHolder key;
    ASSERT_EQ(OpenOrCreateKey(HKEY_LOCAL_MACHINE, (std::string(kRoot) + "\\" + port).c_str(), key.Out()),
              ERROR_SUCCESS);
    WriteFlagValue(key.Get(), "Offline", flags.offline);
    WriteFlagValue(key.Get(), "OutOfPaper", flags.outOfPaper);
    WriteFlagValue(key.Get(), "NoResponse", flags.noResponse);
  }
  // The stored flags of a port key, each checked to be one REG_BINARY byte.
  static std::optional<Flags> StoredFlags(const char* port) {
    KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kRoot) + "\\" + port).c_str(), 0, KEY_READ, key.Out()) !=
        ERROR_SUCCESS)
      return std::nullopt;
    BYTE values[3] = {0xEE, 0xEE, 0xEE};
    const char* names[3] = {"Offline", "OutOfPaper", "NoResponse"};
    for (int i = 0; i < 3; ++i) {
      BYTE buffer[8] = {};
      DWORD cb = sizeof buffer, type = 0;
      if (RegQueryValueExA(key.Get(), names[i], nullptr, &type, buffer, &cb) != ERROR_SUCCESS) return std::nullopt;
      EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY)) << names[i];
      EXPECT_EQ(cb, 1u) << names[i];
      values[i] = buffer[0];
    }
    return Flags{values[0], values[1], values[2]};
  }
  static std::optional<DWORD> StoredTimer() {
    KeyHolder root;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRoot, 0, KEY_READ, root.Out()) != ERROR_SUCCESS) return std::nullopt;
    DWORD value = 0, cb = sizeof value, type = 0;
    if (RegQueryValueExA(root.Get(), "Timer", nullptr, &type, reinterpret_cast<LPBYTE>(&value), &cb) !=
        ERROR_SUCCESS)
      return std::nullopt;
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    return value;
  }

  // The message boxes shown so far, as "<owner template>: <text>".
  std::vector<std::string> Shown() const {
    std::vector<std::string> out;
    for (const auto& m : messages->Messages())
      out.push_back(std::to_string(m.ownerTemplate) + ": " + m.request.text);
    return out;
  }

  std::shared_ptr<plat::ScriptedDriver> driver = std::make_shared<plat::ScriptedDriver>();
  std::shared_ptr<plat::MessageRecorder> messages = std::make_shared<plat::MessageRecorder>();
  std::shared_ptr<plat::HelpRecorder> help = std::make_shared<plat::HelpRecorder>();
};

}  // namespace dialogtest
