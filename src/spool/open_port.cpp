// OpenPort and ClosePort, and the operations the monitor declines: ReadPort,
// DeletePort (also serving as SetPortTimeOuts) and GetPrinterDataFromPort.
#include <cstdio>
#include <cstring>

#include "base/module_state.h"
#include "diag/messages.h"
#include "ports/port_lists.h"
#include "spool/port_operations.h"

namespace {

// Finds port pName in OpenList, or moves it there from AvailableList. Runs
// under ReportLock (always taken first), so no fold and no other OpenPort
// moves a port while this one looks: between its unlink from AvailableList
// and its append to OpenList a port is in neither list, and a second OpenPort
// of the same name must not miss it there. Null for an unknown name, and,
// with *pbNoMemory set, for a port that stays available for want of memory.
PortRecord* TakePortIntoUse(LPCSTR pName, BOOL* pbNoMemory) {
  *pbNoMemory = FALSE;
  ListLock reports(&ReportLock);
  ListNode* pNode = FindPort(pName, OPEN_LIST);
  if (!pNode) {
    pNode = FindPort(pName, AVAILABLE_LIST);
    if (!pNode) return nullptr;
    // Nobody else moves it while we hold ReportLock: a failed move is a
    // short heap.
    if (!MovePortToOpen(pNode)) {
      *pbNoMemory = TRUE;
      return nullptr;
    }
  }
  return PortOf(pNode);
}

// Writes one of the port's one-byte popup switches.
void WritePortSwitch(HKEY hKey, LPCSTR pValueName, const DWORD& dwSwitch) {
  BYTE bValue = (BYTE)ReadShared(dwSwitch);
  RegSetValueExA(hKey, pValueName, 0, REG_BINARY, &bValue, 1);
}

}  // namespace

// Stores the port's handle and returns TRUE; the port key and its three
// switches are written as far as the registry allows. FALSE, no handle and no
// last error, for a name that neither list holds. FALSE with
// ERROR_NOT_ENOUGH_MEMORY, no handle, and the port still available when its
// printer list cannot be had. FALSE after the out-of-memory message, with the
// handle stored and the port open, when the key path cannot be had.
BOOL WINAPI OpenPort(LPSTR pName, LPHANDLE pHandle) {
  if (!pName || !pHandle) return FALSE;

  BOOL bNoMemory = FALSE;
  PortRecord* pRecord = TakePortIntoUse(pName, &bNoMemory);
  if (!pRecord) {
    if (bNoMemory) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  *pHandle = pRecord;

  // The path block is sized to fit the root and the name, however long; it
  // is never smaller than the usual 260 bytes.
  LPCSTR pRoot = RegistryRoot ? RegistryRoot : "";
  SIZE_T cbPath = strlen(pRoot) + 1 + strlen(pName) + 1;
  if (cbPath < MAX_PATH) cbPath = MAX_PATH;
  LPSTR pPath = static_cast<LPSTR>(LocalAlloc(LPTR, cbPath));
  if (!pPath) {
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
    return FALSE;
  }
  snprintf(pPath, cbPath, "%s\\%s", pRoot, pName);

  HKEY hKey = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pPath, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) {
    DWORD dwDisposition = 0;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, pPath, 0, const_cast<LPSTR>("REG_SZ"), REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition) != ERROR_SUCCESS) {
      hKey = nullptr;
    }
  }
  // Without a key there is nothing to write; the port is open all the same.
  if (hKey) {
    WritePortSwitch(hKey, "Offline", pRecord->dwOffline);
    WritePortSwitch(hKey, "OutOfPaper", pRecord->dwOutOfPaper);
    WritePortSwitch(hKey, "NoResponse", pRecord->dwNoResponse);
    RegCloseKey(hKey);
  }
  LocalFree(pPath);
  return TRUE;
}

// TRUE for any handle; the port stays in OpenList with its printers and key.
BOOL WINAPI ClosePort(HANDLE) { return TRUE; }

// Declined: stores 0 in *pcbRead (when given) and returns FALSE, no last error.
BOOL WINAPI ReadPort(HANDLE, LPBYTE, DWORD, LPDWORD pcbRead) {
  if (pcbRead) *pcbRead = 0;
  return FALSE;
}

// Declined, for DeletePort and SetPortTimeOuts alike: the port stays.
BOOL WINAPI DeletePort(LPSTR, HWND, LPSTR) { return FALSE; }

// Declined: nothing is written.
BOOL WINAPI GetPrinterDataFromPort(HANDLE, DWORD, LPSTR, LPSTR, DWORD, LPSTR, DWORD, LPDWORD) {
  return FALSE;
}
