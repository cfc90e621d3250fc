// Shutdown at process detach: stop the background threads, release the
// NetBIOS names, wait for the threads, then free what start-up made.
#include "base/module_state.h"
#include "diag/log.h"
#include "monitor/lifecycle.h"
#include "netbios/lana.h"
#include "status/status_popup.h"
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

// Polls the module's threads, at most five passes of three seconds; TRUE when
// all of them have ended. Shutdown runs in DllMain under the loader lock, and
// a thread cannot finish exiting while that lock is held (its exit waits to
// tell the DLLs it is leaving), so its exit code would read STILL_ACTIVE to
// the end. Each thread instead takes itself off RunningThreadCount before it
// starts to exit: a plain interlocked word, which neither side needs the
// loader lock to write or read. The ping threads are counted too: they write
// the log, whose paths are freed once the wait is over.
BOOL WaitForModuleThreads(void) {
  for (int pass = 0; pass < WAIT_PASSES; ++pass) {
    Sleep(WAIT_PASS_MS);
    if (ReadShared(RunningThreadCount) == 0) return TRUE;
  }
  return FALSE;
}

// Keeps the module mapped for the rest of the process: a thread still running
// after the wait would otherwise come back from a message box or a sleep into
// code the loader has unmapped.
void PinModule(LPCSTR pWhy) {
  HMODULE hModule = nullptr;
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCSTR>(reinterpret_cast<void*>(&PinModule)), &hModule)) {
    WriteLogFormat("ShutdownMonitor", "%s, module pinned", pWhy);
  } else {
    WriteLogFormat("ShutdownMonitor", "%s, pin failed: %lu", pWhy, static_cast<unsigned long>(GetLastError()));
  }
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

// When a module thread is still alive after the five passes (a popup nobody
// answers, a receive that never returns), the locks, lists, records, texts
// and log paths are left in place for the rest of the process, and the module
// is pinned: such a thread may still take a lock, walk a list or return into
// the module's code, and freeing under it would be worse than what is kept.
void ShutdownMonitor(void) {
  WriteShared(StopFlag, static_cast<DWORD>(1));
  BOOL fStarted = AnyThreadStarted();
  // With no thread ever started there is nobody to give time to.
  if (fStarted) Sleep(STOP_GRACE_MS);
  for (DWORD i = 0; i < LanaCount; ++i) ReleaseAdapterNames(&LanaRecords[i]);
  if (fStarted && !WaitForModuleThreads()) {
    PinModule("threads still running: memory kept");
    CloseThreadHandles();
    return;
  }
  if (ReadShared(OpenPopupCount) != 0) PinModule("a popup still open");
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
