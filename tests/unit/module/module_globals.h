// The module's globals as a fresh load has them. Every module test runs in one
// process with the others, so each fixture starts from here: a stop flag, an
// adapter record or a log that an earlier test left would change what the
// module does next.
#pragma once

#include <cstring>

#include "base/module_state.h"
#include "base/settings.h"
#include "diag/log.h"
#include "host/heap.h"
#include "monitor/lifecycle.h"
#include "netbios/lana.h"
#include "ports/names.h"
#include "ports/port_lists.h"
#include "ui/port_dialogs.h"

namespace moduletest {

// Blocks that a test made (lists, texts, the registry root) are that test's to
// free; this only brings back the values that a load starts with. The
// module's threads must have ended.
inline void ResetModuleGlobals() {
  WriteShared(StopFlag, static_cast<DWORD>(0));
  for (HANDLE& thread : ThreadHandles) {
    if (thread != nullptr) CloseHandle(thread);
    thread = nullptr;
  }
  std::memset(LanaRecords, 0, sizeof LanaRecords);
  LanaCount = 0;
  WriteShared(RefreshInterval, static_cast<DWORD>(0));
  SetConfiguredInterval(0);
  WriteShared(ConfigureCount, static_cast<DWORD>(0));
  ConfigurePortName = nullptr;
  ListLocksCreated = FALSE;
  SetNameCodePage(0);
  CloseLogFile();
  PortMoveWindowHook = nullptr;
  plat::ResetAllocationFaults();
}

}  // namespace moduletest
