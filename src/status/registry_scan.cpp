// ScanPrinterRegistry: brings the monitor's root\port\printer keys back in step
// with the "Port" values of the spooler's printer keys.
#include "status/registry_scan.h"

#include <cstring>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/messages.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

#define SCAN_BUFFER_SIZE MAX_PATH
#define PORT_VALUE "Port"

namespace {

// The four name buffers of one scan, taken from the local heap.
struct ScanBuffers {
  LPSTR pPortName;     // P, the port key being walked
  LPSTR pPrinterName;  // N, the printer key being walked
  LPSTR pSpoolerName;  // M, the spooler printer key being walked
  LPSTR pPortValue;    // Q, the "Port" value read
};

const char* const kFlagNames[] = {REG_VALUE_OFFLINE, REG_VALUE_OUT_OF_PAPER, REG_VALUE_NO_RESPONSE};

BOOL AllocateBuffers(ScanBuffers* pBuffers) {
  LPSTR* slots[] = {&pBuffers->pPortName, &pBuffers->pPrinterName, &pBuffers->pSpoolerName, &pBuffers->pPortValue};
  for (LPSTR* pSlot : slots) {
    *pSlot = static_cast<LPSTR>(LocalAlloc(LPTR, SCAN_BUFFER_SIZE));
    if (*pSlot == nullptr) return FALSE;
  }
  return TRUE;
}

void FreeBuffers(ScanBuffers* pBuffers) {
  LPSTR* slots[] = {&pBuffers->pPortName, &pBuffers->pPrinterName, &pBuffers->pSpoolerName, &pBuffers->pPortValue};
  for (LPSTR* pSlot : slots) {
    if (*pSlot != nullptr) LocalFree(*pSlot);
    *pSlot = nullptr;
  }
}

// Reads a printer key's "Port" value into a SCAN_BUFFER_SIZE buffer; FALSE
// when there is none or it does not end with its NUL inside the buffer.
BOOL ReadPortValue(HKEY hPrinter, LPSTR pBuffer) {
  std::memset(pBuffer, 0, SCAN_BUFFER_SIZE);
  DWORD cbValue = SCAN_BUFFER_SIZE;
  if (RegQueryValueExA(hPrinter, PORT_VALUE, nullptr, nullptr, reinterpret_cast<LPBYTE>(pBuffer), &cbValue) !=
      ERROR_SUCCESS) {
    return FALSE;
  }
  return pBuffer[SCAN_BUFFER_SIZE - 1] == '\0';
}

// Whether the registry takes two key names for the same key: it ignores the
// case of letters (the stand-in folds A-Z). Port names are NetBIOS names, so
// letters outside ASCII are not expected here.
BOOL IsSameKeyName(LPCSTR a, LPCSTR b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 'a' + 'A');
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 'a' + 'A');
    if (ca != cb) return FALSE;
    if (ca == '\0') return TRUE;
  }
}

// Builds "<printers path><name>" in a SCAN_BUFFER_SIZE buffer; FALSE when it
// would not fit with its NUL.
BOOL BuildPrinterPath(LPSTR pPath, LPCSTR pName) {
  size_t cchPrefix = std::strlen(PRINTERS_KEY_PATH);
  size_t cchName = std::strlen(pName);
  if (cchPrefix + cchName + 1 > SCAN_BUFFER_SIZE) return FALSE;
  std::memcpy(pPath, PRINTERS_KEY_PATH, cchPrefix);
  std::memcpy(pPath + cchPrefix, pName, cchName + 1);
  return TRUE;
}

// Printer N of port P now prints to port Q: root\Q takes P's popup flags and
// gets the key N, and root\P\N goes.
void MovePrinter(HKEY hRoot, HKEY hPort, LPCSTR pPrinterName, LPCSTR pNewPort) {
  KeyHolder newPort;
  if (OpenOrCreateKey(hRoot, pNewPort, newPort.Out()) != ERROR_SUCCESS) return;
  for (const char* pFlag : kFlagNames) {
    // A flag missing at P reads 0, as start-up reads it, rather than repeating
    // the byte last read for another flag or port.
    WriteFlagValue(newPort.Get(), pFlag, ReadFlagValue(hPort, pFlag));
  }
  KeyHolder newPrinter;
  // The old key goes only once the new one exists, so a failure never loses
  // the printer's only key.
  if (OpenOrCreateKey(newPort.Get(), pPrinterName, newPrinter.Out()) != ERROR_SUCCESS) return;
  RegDeleteKeyA(hPort, pPrinterName);
}

// Printer N of port P has no spooler key any more: every spooler printer M
// that prints to P takes its place, in the registry and in the printer lists
// of OpenList's ports named P.
void RenameSearch(HKEY hPort, ScanBuffers* pBuffers) {
  KeyHolder printers;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, PRINTERS_KEY_PATH, 0, KEY_ALL_ACCESS, printers.Out()) != ERROR_SUCCESS) {
    return;
  }
  for (DWORD dwIndex = 0;
       RegEnumKeyA(printers.Get(), dwIndex, pBuffers->pSpoolerName, SCAN_BUFFER_SIZE) == ERROR_SUCCESS; ++dwIndex) {
    KeyHolder spoolerPrinter;
    if (RegOpenKeyExA(printers.Get(), pBuffers->pSpoolerName, 0, KEY_ALL_ACCESS, spoolerPrinter.Out()) !=
        ERROR_SUCCESS) {
      continue;
    }
    if (!ReadPortValue(spoolerPrinter.Get(), pBuffers->pPortValue) ||
        CompareNames(pBuffers->pPortValue, pBuffers->pPortName) != 0) {
      continue;
    }
    RegDeleteKeyA(hPort, pBuffers->pPrinterName);
    KeyHolder successor;
    OpenOrCreateKey(hPort, pBuffers->pSpoolerName, successor.Out());
    // OpenList only grows, so it is walked without a lock; RenamePrinter takes
    // OpenLock for itself.
    for (ListNode* pCursor = FirstPort(OPEN_LIST); !IsEndOfList(pCursor); NextPort(&pCursor)) {
      PortRecord* pRecord = PortOf(pCursor);
      if (CompareNames(pRecord->pPortName, pBuffers->pPortName) == 0) {
        RenamePrinter(pRecord, pBuffers->pPrinterName, pBuffers->pSpoolerName);
      }
    }
  }
}

// Whether the port is one of this monitor's: in use or available. A name that
// is in neither (another monitor's port, a pool of ports, nothing) never gets
// a key, which start-up would take for one of ours.
BOOL IsKnownPort(LPCSTR pName) {
  return pName[0] != '\0' && (FindPort(pName, OPEN_LIST) != nullptr || FindPort(pName, AVAILABLE_LIST) != nullptr);
}

// How a "Port" value Q stands to port P: a pooled printer's value lists its
// ports separated by commas.
enum PortValueKind { VALUE_NAMES_P, VALUE_NAMES_ONE_OF_OURS, VALUE_NAMES_SOME_OF_OURS, VALUE_NAMES_NONE_OF_OURS };

PortValueKind ClassifyPortValue(LPCSTR pValue, LPCSTR pPort) {
  CHAR szItem[SCAN_BUFFER_SIZE];
  BOOL fPooled = std::strchr(pValue, ',') != nullptr;
  BOOL fOurs = FALSE;
  for (LPCSTR pItem = pValue;;) {
    LPCSTR pEnd = std::strchr(pItem, ',');
    size_t cch = pEnd != nullptr ? static_cast<size_t>(pEnd - pItem) : std::strlen(pItem);
    // The value ends inside a SCAN_BUFFER_SIZE buffer, so every item fits.
    std::memcpy(szItem, pItem, cch);
    szItem[cch] = '\0';
    if (CompareNames(szItem, pPort) == 0 || IsSameKeyName(szItem, pPort)) return VALUE_NAMES_P;
    if (IsKnownPort(szItem)) fOurs = TRUE;
    if (pEnd == nullptr) break;
    pItem = pEnd + 1;
  }
  if (!fOurs) return VALUE_NAMES_NONE_OF_OURS;
  return fPooled ? VALUE_NAMES_SOME_OF_OURS : VALUE_NAMES_ONE_OF_OURS;
}

// The printer lists follow the keys: an entry of a printer that left port P is
// marked, so that the status worker gives it P's status no more, and the
// printer joins the list of its new port Q when Q is in use (fJoin). Marks
// rather than removal, since printer lists are read without a lock.
void MarkPrinterPort(LPCSTR pPortName, LPCSTR pPrinterName, DWORD dwDetached, BOOL fJoin) {
  for (ListNode* pCursor = FirstPort(OPEN_LIST); !IsEndOfList(pCursor); NextPort(&pCursor)) {
    PortRecord* pRecord = PortOf(pCursor);
    if (CompareNames(pRecord->pPortName, pPortName) != 0) continue;
    if (!SetPrinterDetached(pRecord, pPrinterName, dwDetached) && fJoin) AddPrinter(pRecord, pPrinterName);
  }
}

// Examines printer key N of port P. FALSE when memory ran short.
BOOL ScanPrinter(HKEY hRoot, HKEY hPort, ScanBuffers* pBuffers) {
  LPSTR pPath = static_cast<LPSTR>(LocalAlloc(LPTR, SCAN_BUFFER_SIZE));
  if (pPath == nullptr) return FALSE;
  // A name too long for a path cannot be looked up: its key is left alone.
  if (BuildPrinterPath(pPath, pBuffers->pPrinterName)) {
    KeyHolder printer;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pPath, 0, KEY_ALL_ACCESS, printer.Out()) != ERROR_SUCCESS) {
      RenameSearch(hPort, pBuffers);
    } else if (ReadPortValue(printer.Get(), pBuffers->pPortValue)) {
      switch (ClassifyPortValue(pBuffers->pPortValue, pBuffers->pPortName)) {
        case VALUE_NAMES_P:
          // A "Port" value that differs from P only in letter case names P's
          // own key to the registry: the printer stays.
          MarkPrinterPort(pBuffers->pPortName, pBuffers->pPrinterName, 0, FALSE);
          break;
        case VALUE_NAMES_ONE_OF_OURS:
          MarkPrinterPort(pBuffers->pPortName, pBuffers->pPrinterName, 1, FALSE);
          MovePrinter(hRoot, hPort, pBuffers->pPrinterName, pBuffers->pPortValue);
          MarkPrinterPort(pBuffers->pPortValue, pBuffers->pPrinterName, 0, TRUE);
          break;
        case VALUE_NAMES_SOME_OF_OURS:
          // A pool with some of our ports but not P: the key stays, as the
          // printer still prints through this monitor; its job registers it
          // at whichever port of the pool it takes.
          MarkPrinterPort(pBuffers->pPortName, pBuffers->pPrinterName, 1, FALSE);
          break;
        case VALUE_NAMES_NONE_OF_OURS:
          // The printer no longer prints to any of our ports: its key goes,
          // so that the next start does not put it back on P.
          MarkPrinterPort(pBuffers->pPortName, pBuffers->pPrinterName, 1, FALSE);
          RegDeleteKeyA(hPort, pBuffers->pPrinterName);
          break;
      }
    }
  }
  LocalFree(pPath);
  return TRUE;
}

}  // namespace

void ScanPrinterRegistry(void) {
  if (RegistryRoot == nullptr) return;
  KeyHolder root;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RegistryRoot, 0, KEY_ALL_ACCESS, root.Out()) != ERROR_SUCCESS) return;

  ScanBuffers buffers = {};
  BOOL fOutOfMemory = !AllocateBuffers(&buffers);
  for (DWORD dwPort = 0;
       !fOutOfMemory && RegEnumKeyA(root.Get(), dwPort, buffers.pPortName, SCAN_BUFFER_SIZE) == ERROR_SUCCESS;
       ++dwPort) {
    KeyHolder port;
    if (RegOpenKeyExA(root.Get(), buffers.pPortName, 0, KEY_ALL_ACCESS, port.Out()) != ERROR_SUCCESS) continue;
    for (DWORD dwPrinter = 0;
         RegEnumKeyA(port.Get(), dwPrinter, buffers.pPrinterName, SCAN_BUFFER_SIZE) == ERROR_SUCCESS; ++dwPrinter) {
      if (!ScanPrinter(root.Get(), port.Get(), &buffers)) {
        fOutOfMemory = TRUE;
        break;
      }
    }
  }
  FreeBuffers(&buffers);
  if (fOutOfMemory) {
    // Every key and buffer is released before the box, which waits for the user.
    root.Close();
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
  }
}
