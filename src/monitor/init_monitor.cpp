// Start-up of the module: finds the NetBEUI adapters and registers the
// module's names on them, makes the port lists and shared texts, reads the
// settings and the remembered ports, and starts the background threads.
#include <cstdio>
#include <cstring>

#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "monitor/lifecycle.h"
#include "netbios/lana.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"
#include "ports/port_flags.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "status/status_thread.h"

#define LANA_ENUM_BUFFER_SIZE 256
#define ADAPTER_MAP_KEY "SOFTWARE\\Microsoft\\Rpc\\Netbios"
#define ADAPTER_VALUE_PREFIX "ncacn_nb_nb"
#define ADAPTER_VALUE_PREFIX_LENGTH 11
#define ADAPTER_NAME_SIZE 32
#define ADAPTER_DATA_SIZE 8
#define SHARED_TEXT_SIZE 64
#define STARTUP_SLEEP_MS 3000

BOOL ListLocksCreated = FALSE;

namespace {

const char kLabel[] = "InitMonitor";

void FreeBlock(LPVOID& pBlock) {
  if (pBlock != nullptr) LocalFree(pBlock);
  pBlock = nullptr;
}

void FreeText(LPSTR& pText) {
  if (pText != nullptr) LocalFree(pText);
  pText = nullptr;
}

// The LANA number of an adapter value: its data as a whole decimal number
// from 0 to 254 (255 is no adapter's number), read up to its NUL. FALSE for
// anything else. The data has at most ADAPTER_DATA_SIZE bytes, so the value
// cannot overflow.
BOOL ParseLanaNumber(const BYTE* pData, DWORD cbData, BYTE* pbLanaNum) {
  DWORD dwValue = 0;
  DWORD cDigits = 0;
  for (DWORD i = 0; i < cbData && i < ADAPTER_DATA_SIZE && pData[i] != '\0'; ++i) {
    if (pData[i] < '0' || pData[i] > '9') return FALSE;
    dwValue = dwValue * 10 + (pData[i] - '0');
    ++cDigits;
  }
  if (cDigits == 0 || dwValue > 254) return FALSE;
  *pbLanaNum = static_cast<BYTE>(dwValue);
  return TRUE;
}

// One adapter value of the map: its LANA number, the reset of the first
// adapter, its names, and its record while there is room.
void AddAdapter(LanaRecord* pWork, BYTE bLanaNum, BOOL fFirst) {
  // A fresh working record per adapter: a failed name step leaves zeros,
  // never the previous adapter's names.
  std::memset(pWork, 0, sizeof *pWork);
  pWork->bLanaNum = bLanaNum;
  WriteLogFormat(kLabel, "nw.bLanaNum: %02X", pWork->bLanaNum);
  if (fFirst) {
    UCHAR ret = NetbiosReset(pWork->bLanaNum);
    if (ret != 0) WriteLogFormat(kLabel, "Reset ret: %02X", ret);
  }
  RegisterAdapterNames(pWork);
  if (LanaCount < MAX_LANA_RECORDS) {
    LanaRecords[LanaCount] = *pWork;
    LanaCount = LanaCount + 1;
  }
}

enum FindResult { FIND_OK, FIND_NO_MEMORY, FIND_NO_NETBEUI, FIND_BAD_MAP };

// The adapters of the system's NetBIOS map: their names, records and the reset.
FindResult FindAdapters(void) {
  LPVOID pEnum = LocalAlloc(LPTR, LANA_ENUM_BUFFER_SIZE);
  if (pEnum == nullptr) return FIND_NO_MEMORY;
  // Only the adapter count is used; the enumeration's code is not.
  NCB ncbEnum;
  NetbiosEnum(&ncbEnum, static_cast<PUCHAR>(pEnum), LANA_ENUM_BUFFER_SIZE);
  KeyHolder map;
  if (static_cast<PUCHAR>(pEnum)[0] == 0 ||
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, ADAPTER_MAP_KEY, 0, KEY_ALL_ACCESS, map.Out()) != ERROR_SUCCESS) {
    FreeBlock(pEnum);
    return FIND_NO_NETBEUI;
  }
  LanaRecord work = {};
  BOOL fFirst = TRUE;
  for (DWORD dwIndex = 0;; ++dwIndex) {
    LPVOID pName = LocalAlloc(LPTR, ADAPTER_NAME_SIZE);
    LPVOID pData = LocalAlloc(LPTR, ADAPTER_DATA_SIZE);
    if (pName == nullptr || pData == nullptr) {
      FreeBlock(pName);
      FreeBlock(pData);
      FreeBlock(pEnum);
      return FIND_NO_MEMORY;
    }
    DWORD cchName = ADAPTER_NAME_SIZE;
    DWORD cbData = ADAPTER_DATA_SIZE;
    DWORD dwType = 0;
    LONG result = RegEnumValueA(map.Get(), dwIndex, static_cast<LPSTR>(pName), &cchName, nullptr, &dwType,
                                static_cast<LPBYTE>(pData), &cbData);
    if (result != ERROR_SUCCESS && result != ERROR_NO_MORE_ITEMS) {
      FreeBlock(pName);
      FreeBlock(pData);
      FreeBlock(pEnum);
      WriteLog(kLabel, "RegEnumValue to find Lana failed");
      return FIND_BAD_MAP;
    }
    if (result == ERROR_SUCCESS &&
        std::strncmp(static_cast<LPCSTR>(pName), ADAPTER_VALUE_PREFIX, ADAPTER_VALUE_PREFIX_LENGTH) == 0) {
      BYTE bLanaNum = 0;
      if (ParseLanaNumber(static_cast<const BYTE*>(pData), cbData, &bLanaNum)) {
        AddAdapter(&work, bLanaNum, fFirst);
        fFirst = FALSE;
      } else {
        CHAR szName[4 * ADAPTER_NAME_SIZE];
        EscapeLogText(static_cast<LPCSTR>(pName), ADAPTER_NAME_SIZE, szName, sizeof szName);
        WriteLogFormat(kLabel, "%s: no LANA number from 0 to 254, skipped", szName);
      }
    }
    FreeBlock(pName);
    FreeBlock(pData);
    if (result == ERROR_NO_MORE_ITEMS) break;
  }
  FreeBlock(pEnum);
  return FIND_OK;
}

// Copies a text into a block of cbBlock bytes, cut to fit and always ended.
void CopyText(LPSTR pBlock, size_t cbBlock, LPCSTR pText) {
  size_t cch = std::strlen(pText);
  if (cch >= cbBlock) cch = cbBlock - 1;
  std::memcpy(pBlock, pText, cch);
  pBlock[cch] = '\0';
}

// A 64-byte block holding a message string, cut to fit.
LPSTR NewSharedText(WORD id) {
  auto pText = static_cast<LPSTR>(LocalAlloc(LPTR, SHARED_TEXT_SIZE));
  if (pText == nullptr) return nullptr;
  CHAR szMessage[MESSAGE_CCH];
  LoadMessage(id, szMessage);
  CopyText(pText, SHARED_TEXT_SIZE, szMessage);
  return pText;
}

// The shared port texts and the registry root.
BOOL MakeSharedTexts(LPCSTR pRegistryRoot) {
  DescriptionText = NewSharedText(IDS_PORT_DESCRIPTION);
  MonitorNameText = NewSharedText(IDS_MONITOR_NAME);
  RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
  if (DescriptionText == nullptr || MonitorNameText == nullptr || RegistryRoot == nullptr) {
    FreeText(DescriptionText);
    FreeText(MonitorNameText);
    FreeText(RegistryRoot);
    return FALSE;
  }
  CopyText(RegistryRoot, MAX_PATH, pRegistryRoot);
  return TRUE;
}

enum LoadResult { LOAD_OK, LOAD_NO_MEMORY };

// The printers remembered under a port key. A printer the spooler
// no longer has loses its key; the others join the port's printer list.
LoadResult LoadPortPrinters(HKEY hPort, PortRecord* pRecord, LPSTR pPrinterName, BOOL* pfHasPrinter) {
  DWORD dwIndex = 0;
  for (;;) {
    DWORD cchName = MAX_PATH;
    if (RegEnumKeyExA(hPort, dwIndex, pPrinterName, &cchName, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return LOAD_OK;
    }
    auto pPath = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
    if (pPath == nullptr) return LOAD_NO_MEMORY;
    int cchPath = snprintf(pPath, MAX_PATH, "%s%s", PRINTERS_KEY_PATH, pPrinterName);
    if (cchPath < 0 || cchPath >= MAX_PATH) {
      // Its path does not fit: neither deleted nor listed.
      LocalFree(pPath);
      ++dwIndex;
      continue;
    }
    KeyHolder printer;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pPath, 0, KEY_ALL_ACCESS, printer.Out()) != ERROR_SUCCESS) {
      LocalFree(pPath);
      // The next key moves into this index: look at it without moving on,
      // so that every key is examined once. A key that will not go away is
      // passed over.
      if (RegDeleteKeyA(hPort, pPrinterName) != ERROR_SUCCESS) ++dwIndex;
      continue;
    }
    LocalFree(pPath);
    *pfHasPrinter = TRUE;
    if (!AddPrinter(pRecord, pPrinterName)) return LOAD_NO_MEMORY;
    ++dwIndex;
  }
}

// One remembered port key: a record from the registry, filed in OpenList
// when it has printers, else in ReportList. No lock: no other thread exists.
LoadResult LoadPort(HKEY hRoot, LPCSTR pPortName, LPSTR pPrinterName) {
  ListNode* pNode = NewPortNode();
  if (pNode == nullptr) return LOAD_OK;
  PortRecord* pRecord = PortOf(pNode);
  pRecord->pPortName = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
  pRecord->pCName = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
  if (pRecord->pPortName == nullptr || pRecord->pCName == nullptr) {
    FreePortNode(pNode);
    return LOAD_NO_MEMORY;
  }
  CopyText(pRecord->pPortName, MAX_PATH, pPortName);
  CopyText(pRecord->pCName, MAX_PATH, pPortName);
  pRecord->pMonitorName = MonitorNameText;
  pRecord->pDescription = DescriptionText;
  pRecord->dwFromRegistry = 1;
  pRecord->dwListed = 1;
  pRecord->Entry.bStatus = STATUS_NONE;
  pRecord->tLastReport = 0;
  std::memcpy(pRecord->szLocalName, LanaRecords[0].szLocalName, sizeof pRecord->szLocalName);
  pRecord->szLocalName[sizeof pRecord->szLocalName - 1] = '\0';

  // Each flag is read into a word of its own: a missing value reads 0.
  KeyHolder port;
  if (RegOpenKeyExA(hRoot, pPortName, 0, KEY_ALL_ACCESS, port.Out()) == ERROR_SUCCESS) {
    ReadPortFlags(port.Get(), pRecord);
  }

  BOOL fHasPrinter = FALSE;
  if (!CreatePrinterList(pRecord) ||
      (port.Get() != nullptr && LoadPortPrinters(port.Get(), pRecord, pPrinterName, &fHasPrinter) != LOAD_OK)) {
    FreePrinterList(pRecord);
    FreePortNode(pNode);
    return LOAD_NO_MEMORY;
  }
  port.Close();
  if (fHasPrinter) {
    InsertPort(pNode, OPEN_LIST);
  } else {
    DestroyPrinterList(pRecord);
    InsertPort(pNode, REPORT_LIST);
  }
  return LOAD_OK;
}

// Every port key under the monitor's key.
LoadResult LoadRememberedPorts(HKEY hRoot) {
  LPVOID pPortName = LocalAlloc(LPTR, MAX_PATH);
  LPVOID pPrinterName = LocalAlloc(LPTR, MAX_PATH);
  LoadResult result = LOAD_OK;
  if (pPortName == nullptr || pPrinterName == nullptr) {
    result = LOAD_NO_MEMORY;
  } else if (hRoot != nullptr) {
    for (DWORD dwIndex = 0; result == LOAD_OK; ++dwIndex) {
      DWORD cchName = MAX_PATH;
      if (RegEnumKeyExA(hRoot, dwIndex, static_cast<LPSTR>(pPortName), &cchName, nullptr, nullptr, nullptr,
                        nullptr) != ERROR_SUCCESS) {
        break;
      }
      result = LoadPort(hRoot, static_cast<LPCSTR>(pPortName), static_cast<LPSTR>(pPrinterName));
    }
  }
  FreeBlock(pPortName);
  FreeBlock(pPrinterName);
  return result;
}

// The status worker first, then one RefreshThread per
// adapter record. A thread that cannot be made is logged; start-up goes on.
void StartThreads(void) {
  ThreadHandles[STATUS_THREAD_SLOT] = StartModuleThread(StatusThread, nullptr);
  if (ThreadHandles[STATUS_THREAD_SLOT] == nullptr) {
    WriteLogFormat("Initialize Monitor", "CreateThread failed: %d", STATUS_THREAD_SLOT);
  }
  for (DWORD i = 0; i < LanaCount; ++i) {
    ThreadHandles[i] = StartModuleThread(RefreshThread, &LanaRecords[i]);
    if (ThreadHandles[i] == nullptr) WriteLogFormat("Initialize Monitor", "CreateThread failed: %d", 0);
  }
}

}  // namespace

BOOL InitMonitor(LPCSTR pRegistryRoot) {
  // An empty root would make the hive's root the monitor's key, and a cut one
  // another key: start-up deletes keys under it, so neither is worked on.
  if (pRegistryRoot == nullptr || pRegistryRoot[0] == '\0' || strnlen(pRegistryRoot, MAX_PATH) == MAX_PATH) {
    WriteLog(kLabel, "registry root empty or longer than 259 characters");
    return FALSE;
  }
  CreateListLocks();
  ListLocksCreated = TRUE;
  LoadMessage(IDS_TITLE, MessageTitle);

  switch (FindAdapters()) {
    case FIND_NO_MEMORY:
      ShowMessage(IDS_NOT_ENOUGH_MEMORY, MB_OK | MB_SETFOREGROUND, nullptr);
      return FALSE;
    case FIND_NO_NETBEUI:
      ShowMessage(IDS_ENABLE_NETBEUI, MB_OK | MB_SETFOREGROUND, nullptr);
      return FALSE;
    case FIND_BAD_MAP:
      ShowMessage(IDS_REGISTRY_INFO, MB_OK | MB_SETFOREGROUND, nullptr);
      return FALSE;
    case FIND_OK:
      break;
  }
  if (!InitLists()) {
    WriteLog(kLabel, "InitLists failed");
    return FALSE;
  }
  if (!MakeSharedTexts(pRegistryRoot)) {
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
    return FALSE;
  }

  // Without the key no setting is read: ReadMonitorSettings then uses the
  // default interval rather than leaving a worker that never sleeps.
  KeyHolder root;
  OpenOrCreateKey(HKEY_LOCAL_MACHINE, RegistryRoot, root.Out());
  ReadMonitorSettings(root.Get());
  if (LoadRememberedPorts(root.Get()) != LOAD_OK) {
    root.Close();
    // The records already filed point at the two texts; the lists are not
    // used after a failed start, and shutdown frees only the records' names.
    FreeText(DescriptionText);
    FreeText(MonitorNameText);
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
    return FALSE;
  }
  root.Close();

  StartThreads();
  Sleep(STARTUP_SLEEP_MS);
  return TRUE;
}
