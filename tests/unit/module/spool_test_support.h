// Module state for the port-operation tests: list locks and lists, the shared
// texts, the registry root, a recording message presenter and a log file in a
// temporary Windows directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "host/clock.h"
#include "host/heap.h"
#include "host/message_box.h"
#include "host/registry.h"
#include "host/resources.h"
#include "host/system.h"
#include "module_globals.h"
#include "platform.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "spool/port_operations.h"
#include "support/recording_presenter.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace spooltest {

using testsupport::RecordingPresenter;

inline constexpr char kRegistryRoot[] = "System\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold";


// What start-up makes for the port operations, and shutdown's freeing.
class SpoolModule {
 public:
  SpoolModule() {
    moduletest::ResetModuleGlobals();
    plat::UseManualClock();
    plat::ResetRegistry();
    plat::ResetAllocationFaults();
    static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);  // lives for the process
    ModuleInstance = instance;
    windowsDir_ = std::filesystem::temp_directory_path() /
                  ("spool_test_" + std::to_string(::getpid()) + "_" + std::to_string(reinterpret_cast<uintptr_t>(this)));
    std::filesystem::create_directories(windowsDir_);
    plat::SetWindowsDirectory(windowsDir_.string());
    OpenLogFile(ModuleInstance);
    presenter_ = std::make_shared<RecordingPresenter>();
    plat::SetMessagePresenter(presenter_);

    CreateListLocks();
    EXPECT_TRUE(InitLists());
    LoadMessage(IDS_TITLE, MessageTitle);
    RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
    snprintf(RegistryRoot, MAX_PATH, "%s", kRegistryRoot);
    MonitorNameText = static_cast<LPSTR>(LocalAlloc(LPTR, 64));
    DescriptionText = static_cast<LPSTR>(LocalAlloc(LPTR, 64));
    LoadStringA(ModuleInstance, IDS_MONITOR_NAME, MonitorNameText, 64);
    LoadStringA(ModuleInstance, IDS_PORT_DESCRIPTION, DescriptionText, 64);
  }

  ~SpoolModule() {
    plat::ResetAllocationFaults();
    for (ListNode* p = FirstPort(OPEN_LIST); p != nullptr; p = ListNext(p)) FreePrinterList(PortOf(p));
    for (DWORD list : {REPORT_LIST, OPEN_LIST, AVAILABLE_LIST}) {
      while (ListNode* p = FirstPort(list)) FreePortNode(p);
    }
    FreeLists();
    DeleteListLocks();
    LocalFree(RegistryRoot);
    LocalFree(MonitorNameText);
    LocalFree(DescriptionText);
    RegistryRoot = MonitorNameText = DescriptionText = nullptr;
    CloseLogFile();
    plat::SetMessagePresenter(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(windowsDir_, ignored);
  }

  // A port that discovery reported and the status worker filed.
  PortRecord* AddAvailable(const char* name, bool listed = true) {
    ListNode* node = MakePort(name);
    PortRecord* record = PortOf(node);
    record->dwListed = listed ? 1 : 0;
    ListLock reports(&ReportLock);
    InsertPort(node, REPORT_LIST);
    ListLock available(&AvailableLock);
    MoveReportsToAvailable();
    return PortOf(FindPort(name, AVAILABLE_LIST));
  }

  // A port in use, as start-up makes one from its registry key.
  PortRecord* AddOpen(const char* name, bool listed = true) {
    ListNode* node = MakePort(name);
    PortRecord* record = PortOf(node);
    record->dwListed = listed ? 1 : 0;
    EXPECT_TRUE(CreatePrinterList(record));
    ListLock open(&OpenLock);
    InsertPort(node, OPEN_LIST);
    return record;
  }

  std::vector<plat::MessageBoxRequest> Boxes() { return presenter_->Boxes(); }

  // The log file as written so far.
  std::string Log() const {
    std::ifstream in(windowsDir_ / "TAVRO.log", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  static ListNode* MakePort(const char* name) {
    ListNode* node = NewPortNode();
    EXPECT_NE(node, nullptr);
    PortRecord* record = PortOf(node);
    record->pPortName = NewNameBlock(name);
    record->pCName = NewNameBlock(name);
    record->pMonitorName = MonitorNameText;
    record->pDescription = DescriptionText;
    return node;
  }

  std::filesystem::path windowsDir_;
  std::shared_ptr<RecordingPresenter> presenter_;
};

}  // namespace spooltest
