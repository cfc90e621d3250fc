// Shutdown at process detach: stop the background threads, release the
// NetBIOS names, wait for the threads, then free what start-up made.
#include "base/module_state.h"
#include "diag/log.h"
#include "monitor/lifecycle.h"
#include "netbios/lana.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

#define STOP_GRACE_MS 5000
#define WAIT_PASS_MS 3000
#define WAIT_PASSES 5

namespace {

// True when start-up got as far as starting a thread: only then is there
// anything to wait for.
BOOL AnyThreadStarted(void) {
  for (HANDLE hThread : ThreadHandles) {
    if (hThread != nullptr) return TRUE;
  }
  return FALSE;
}

// Polls the status worker and the RefreshThreads, at most five passes of
// three seconds; TRUE when all of them have ended. A slot without a thread
// (never created) counts as ended.
BOOL WaitForWorkerThreads(void) {
  DWORD adwExitCodes[THREAD_HANDLE_COUNT];
  for (DWORD& dwCode : adwExitCodes) dwCode = STILL_ACTIVE;
  BOOL fLive = TRUE;
  for (int pass = 0; pass < WAIT_PASSES && fLive; ++pass) {
    Sleep(WAIT_PASS_MS);
    fLive = FALSE;
    for (DWORD i = 0; i < THREAD_HANDLE_COUNT; ++i) {
      BOOL fWaited = i == STATUS_THREAD_SLOT || i < LanaCount;
      if (!fWaited || ThreadHandles[i] == nullptr || adwExitCodes[i] != STILL_ACTIVE) continue;
      DWORD dwCode = 0;
      if (!GetExitCodeThread(ThreadHandles[i], &dwCode)) dwCode = 0;
      adwExitCodes[i] = dwCode;
      if (dwCode == STILL_ACTIVE) fLive = TRUE;
    }
  }
  return !fLive;
}

// The handles are the module's to close; the threads do not depend on them.
void CloseThreadHandles(void) {
  for (HANDLE& hThread : ThreadHandles) {
    if (hThread != nullptr) CloseHandle(hThread);
    hThread = nullptr;
  }
}

void FreeRecordNames(PortRecord* pRecord) {
  if (pRecord->pPortName != nullptr) LocalFree(pRecord->pPortName);
  if (pRecord->pCName != nullptr) LocalFree(pRecord->pCName);
  pRecord->pPortName = nullptr;
  pRecord->pCName = nullptr;
}

void FreeText(LPSTR& pText) {
  if (pText != nullptr) LocalFree(pText);
  pText = nullptr;
}

// Frees every record's owned blocks, list by list, then the lists. No thread
// that walks them runs any more, so no lock is taken.
void FreePortLists(void) {
  for (ListNode* pNode = FirstPort(AVAILABLE_LIST); !IsEndOfList(pNode); NextPort(&pNode)) {
    FreeRecordNames(PortOf(pNode));
  }
  for (ListNode* pNode = FirstPort(OPEN_LIST); !IsEndOfList(pNode); NextPort(&pNode)) {
    FreeRecordNames(PortOf(pNode));
    FreePrinterList(PortOf(pNode));
  }
  for (ListNode* pNode = FirstPort(REPORT_LIST); !IsEndOfList(pNode); NextPort(&pNode)) {
    FreeRecordNames(PortOf(pNode));
  }
  FreeLists();
}

}  // namespace

// When the status worker or a RefreshThread is still alive after the five
// passes (a popup nobody answers, a receive that never returns), the locks,
// lists, records, texts and log paths are left in place for the rest of the
// process: such a thread may still take a lock or walk a list, and freeing
// under it would be worse than the memory kept. The loader, for its part,
// keeps the code of a module whose threads still run.
void ShutdownMonitor(void) {
  WriteShared(StopFlag, static_cast<DWORD>(1));
  BOOL fStarted = AnyThreadStarted();
  // With no thread ever started there is nobody to give time to.
  if (fStarted) Sleep(STOP_GRACE_MS);
  for (DWORD i = 0; i < LanaCount; ++i) ReleaseAdapterNames(&LanaRecords[i]);
  if (fStarted && !WaitForWorkerThreads()) {
    WriteLog("ShutdownMonitor", "threads still running: memory kept");
    CloseThreadHandles();
    return;
  }
  CloseThreadHandles();
  if (ListLocksCreated) {
    DeleteListLocks();
    ListLocksCreated = FALSE;
  }
  FreePortLists();
  CloseLogFile();
  FreeText(RegistryRoot);
  FreeText(DescriptionText);
  FreeText(MonitorNameText);
}
