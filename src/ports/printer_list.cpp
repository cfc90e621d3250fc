// The printer list of a port: the spooler printers that print to it, with the
// mark of the one whose job is running.
//
// Job starts on the spooler's threads append to a printer list and mark its
// entries while the status worker walks it and the registry scan renames its
// entries. So: the appends and renames take OpenLock (two job starts on one
// port may append at once); the links are published as in every list
// (list.cpp), so walks and lookups take no lock; the marks are single words
// (ReadShared/WriteShared). A name block never changes once it is in an entry:
// a rename puts a new block in with one pointer store and keeps the old block
// on RetiredNames until FreeLists, so a reader may compare or show the name it
// read (the status worker uses it in its printer calls and message boxes)
// without a lock and without copying it. Renames are rare, so what they keep
// is small.
#include "base/module_state.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

// Name blocks replaced by renames, each in a node whose data is the block's
// address; changed under OpenLock.
static ListNode RetiredNames = {NODE_HEAD, &RetiredNames, &RetiredNames, nullptr};

namespace {

ListNode* PrintersOf(const PortRecord* pRecord) {
  return pRecord == nullptr ? nullptr : ReadShared(pRecord->pPrinters);
}

ListNode* FindPrinter(PortRecord* pRecord, LPCSTR pPrinterName) {
  if (pPrinterName == nullptr) return nullptr;
  for (ListNode* pNode = FirstPrinter(pRecord); pNode != nullptr; pNode = ListNext(pNode)) {
    if (CompareNames(PrinterNameOf(PrinterOf(pNode)), pPrinterName) == 0) return pNode;
  }
  return nullptr;
}

}  // namespace

BOOL CreatePrinterList(PortRecord* pRecord) {
  if (pRecord == nullptr) return FALSE;
  ListNode* pHead = nullptr;
  if (!ListCreate(&pHead)) return FALSE;
  WriteShared(pRecord->pPrinters, pHead);
  return TRUE;
}

BOOL AddPrinter(PortRecord* pRecord, LPCSTR pPrinterName) {
  if (PrintersOf(pRecord) == nullptr || pPrinterName == nullptr) return FALSE;
  LPSTR pName = NewNameBlock(pPrinterName);
  if (pName == nullptr) return FALSE;
  ListNode* pNode = nullptr;
  if (!ListNewNode(&pNode, sizeof(PrinterEntry))) {
    LocalFree(pName);
    return FALSE;
  }
  PrinterEntry* pEntry = PrinterOf(pNode);
  pEntry->pName = pName;
  pEntry->dwActive = 0;
  pEntry->dwReserved = 0;
  pEntry->dwDetached = 0;
  ListLock open(&OpenLock);
  ListInsertBefore(pNode, PrintersOf(pRecord));
  return TRUE;
}

void DestroyPrinterList(PortRecord* pRecord) {
  if (pRecord == nullptr) return;
  ListDestroy(&pRecord->pPrinters);
}

void FreePrinterList(PortRecord* pRecord) {
  for (ListNode* pNode = FirstPrinter(pRecord); pNode != nullptr; pNode = ListNext(pNode)) {
    PrinterEntry* pEntry = PrinterOf(pNode);
    LocalFree(pEntry->pName);
    pEntry->pName = nullptr;
  }
  DestroyPrinterList(pRecord);
}

BOOL SetPrinterActive(PortRecord* pRecord, LPCSTR pPrinterName) {
  ListNode* pNode = FindPrinter(pRecord, pPrinterName);
  if (pNode == nullptr) return FALSE;
  WriteShared(PrinterOf(pNode)->dwDetached, DWORD{0});
  WriteShared(PrinterOf(pNode)->dwActive, DWORD{1});
  return TRUE;
}

BOOL SetPrinterDetached(PortRecord* pRecord, LPCSTR pPrinterName, DWORD dwDetached) {
  ListNode* pNode = FindPrinter(pRecord, pPrinterName);
  if (pNode == nullptr) return FALSE;
  WriteShared(PrinterOf(pNode)->dwDetached, dwDetached);
  return TRUE;
}

BOOL ResetPrinterActive(PortRecord* pRecord) {
  for (ListNode* pNode = FirstPrinter(pRecord); pNode != nullptr; pNode = ListNext(pNode)) {
    PrinterEntry* pEntry = PrinterOf(pNode);
    if (ReadShared(pEntry->dwActive) != 0) {
      WriteShared(pEntry->dwActive, DWORD{0});
      return TRUE;
    }
  }
  return FALSE;
}

BOOL HasPrinter(PortRecord* pRecord, LPCSTR pPrinterName) {
  return FindPrinter(pRecord, pPrinterName) != nullptr;
}

BOOL RenamePrinter(PortRecord* pRecord, LPCSTR pOldName, LPCSTR pNewName) {
  if (PrintersOf(pRecord) == nullptr || pNewName == nullptr) return FALSE;
  ListLock open(&OpenLock);
  ListNode* pNode = FindPrinter(pRecord, pOldName);
  if (pNode == nullptr) return FALSE;
  // Both blocks first, so that a short heap changes nothing.
  ListNode* pRetired = nullptr;
  if (!ListNewNode(&pRetired, sizeof(LPSTR))) return FALSE;
  LPSTR pName = NewNameBlock(pNewName);
  if (pName == nullptr) {
    ListFreeNode(&pRetired);
    return FALSE;
  }
  PrinterEntry* pEntry = PrinterOf(pNode);
  *static_cast<LPSTR*>(pRetired->pData) = pEntry->pName;
  ListInsertBefore(pRetired, &RetiredNames);
  WriteShared(pEntry->pName, pName);
  return TRUE;
}

ListNode* FirstPrinter(PortRecord* pRecord) { return ListFirst(PrintersOf(pRecord)); }

PrinterEntry* PrinterOf(ListNode* pNode) {
  return pNode == nullptr ? nullptr : static_cast<PrinterEntry*>(pNode->pData);
}

LPCSTR PrinterNameOf(const PrinterEntry* pEntry) {
  return pEntry == nullptr ? nullptr : ReadShared(pEntry->pName);
}

void FreeRetiredNames(void) {
  ListNode* pNode;
  while ((pNode = ListFirst(&RetiredNames)) != nullptr) {
    LocalFree(*static_cast<LPSTR*>(pNode->pData));
    ListFreeNode(&pNode);
  }
}
