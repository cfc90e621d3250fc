// Status popups: each box waits for the user on a thread of its own, so that
// the status worker goes on filing reports and mirroring states meanwhile, and
// a job waiting at a port starts once the port is ready, answered or not.
//
// What a popup thread touches: its own block (the text, freed by the thread),
// its slot in PopupSlots and the caption MessageTitle. The slots and the
// caption are the module's static data and the block is the thread's, so all
// of them outlive shutdown: the thread never reads a port record or a printer
// entry, and a box still open when shutdown frees the lists touches nothing
// freed. Shutdown keeps no handle of these threads and does not wait for them;
// an open box stays with the user (or the platform closes it with the process).
#include "status/status_popup.h"

#include <cstring>

#include "base/module_state.h"
#include "diag/log.h"
#include "diag/messages.h"

// One open box: whose and about what. Only the worker claims a slot and reads
// pPrinter and bCondition (as an identity, never through the pointer); the
// popup thread only clears lOpen when its box is closed.
struct PopupSlot {
  DWORD dwOpen;
  const void* pPrinter;
  BYTE bCondition;
};

// Boxes open at once, over all printers; beyond them a popup waits for a
// cycle in which a slot is free.
#define MAX_OPEN_POPUPS 64
static PopupSlot PopupSlots[MAX_OPEN_POPUPS];
LONG OpenPopupCount = 0;

struct PopupBlock {
  PopupSlot* pSlot;
  CHAR szText[MESSAGE_CCH];
};

static DWORD WINAPI PopupThread(LPVOID pParam) {
  PopupBlock* pBlock = static_cast<PopupBlock*>(pParam);
  PopupSlot* pSlot = pBlock->pSlot;
  ShowMessageText(pBlock->szText, MB_OK | MB_SETFOREGROUND, nullptr);
  LocalFree(pBlock);
  WriteShared(pSlot->dwOpen, DWORD{0});
  __atomic_fetch_sub(&OpenPopupCount, 1, __ATOMIC_ACQ_REL);  // the thread's last act
  return 0;
}

BOOL RaiseStatusPopup(const void* pPrinter, BYTE bCondition, LPCSTR pText) {
  PopupSlot* pFree = nullptr;
  for (PopupSlot& slot : PopupSlots) {
    if (ReadShared(slot.dwOpen) == 0) {
      if (pFree == nullptr) pFree = &slot;
    } else if (slot.pPrinter == pPrinter && slot.bCondition == bCondition) {
      return FALSE;
    }
  }
  if (pFree == nullptr) return FALSE;
  PopupBlock* pBlock = static_cast<PopupBlock*>(LocalAlloc(LPTR, sizeof(PopupBlock)));
  if (pBlock == nullptr) return FALSE;
  pBlock->pSlot = pFree;
  std::strncpy(pBlock->szText, pText, MESSAGE_CCH - 1);
  pFree->pPrinter = pPrinter;
  pFree->bCondition = bCondition;
  WriteShared(pFree->dwOpen, DWORD{1});
  __atomic_fetch_add(&OpenPopupCount, 1, __ATOMIC_ACQ_REL);
  HANDLE hThread = CreateThread(nullptr, 0, PopupThread, pBlock, 0, nullptr);
  if (hThread == nullptr) {
    __atomic_fetch_sub(&OpenPopupCount, 1, __ATOMIC_ACQ_REL);
    // The popup comes again at the next cycle.
    WriteShared(pFree->dwOpen, DWORD{0});
    LocalFree(pBlock);
    WriteLog("StatusThread", "CreateThread failed for a popup");
    return FALSE;
  }
  CloseHandle(hThread);
  return TRUE;
}
