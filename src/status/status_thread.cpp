// The status worker thread: each cycle files the reports into the port lists,
// runs the registry scan, mirrors every open port's server status into the
// status of its spooler printers and raises the popups the port asks for,
// which wait for the user without holding the worker.
#include "status/status_thread.h"

#include <cstdio>

#include "base/module_state.h"
#include "base/settings.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "status/registry_scan.h"
#include "status/status_popup.h"

// The longest the worker sleeps before it looks at StopFlag again: an unload
// gives the threads 5 seconds to see it, whatever the refresh interval.
#define STOP_LOOK_MS 1000

namespace {

// Holds a critical section for the life of a scope.
class LockGuard {
 public:
  explicit LockGuard(CRITICAL_SECTION* pLock) : pLock_(pLock) { EnterCriticalSection(pLock_); }
  ~LockGuard() { LeaveCriticalSection(pLock_); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;

 private:
  CRITICAL_SECTION* pLock_;
};

// Fresh reports of open ports update those records; the others go to
// AvailableList. ReportLock first, and the two list locks one after the other.
void FileReports(void) {
  LockGuard report(&ReportLock);
  {
    LockGuard open(&OpenLock);
    MergeReportsIntoOpen();
  }
  {
    LockGuard available(&AvailableLock);
    MoveReportsToAvailable();
  }
}

// Opens the printer, sets its status and closes it again; a printer that
// cannot be opened is left alone. The results of the set and the close are
// of no use to the worker.
BOOL SetSpoolerPrinterStatus(LPCSTR pPrinterName, DWORD dwStatus) {
  HANDLE hPrinter = nullptr;
  if (!OpenPrinterA(const_cast<LPSTR>(pPrinterName), &hPrinter, nullptr)) return FALSE;
  SetPrinterA(hPrinter, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(dwStatus)),
              PRINTER_CONTROL_SET_STATUS);
  ClosePrinter(hPrinter);
  return TRUE;
}

// The status step for one printer of the port: a stale port makes the printer
// not available and forgets its state; a fresh one is mirrored.
void MirrorPrinterStatus(PortRecord* pRecord, LPCSTR pPrinterName) {
  HANDLE hPrinter = nullptr;
  if (!OpenPrinterA(const_cast<LPSTR>(pPrinterName), &hPrinter, nullptr)) return;
  // Ages on the monotonic clock: a step of the date neither ages a port nor
  // makes it look fresh. A time of 0 is a port that never had a report.
  DWORD tLastReport = ReadShared(pRecord->tLastReport);
  LONG age = static_cast<LONG>(GetMonotonicSeconds() - tLastReport);
  DWORD dwStatus = 0;
  if (tLastReport == 0 || age > REPORT_MAX_AGE) {
    SetPrinterA(hPrinter, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(PRINTER_STATUS_NOT_AVAILABLE)),
                PRINTER_CONTROL_SET_STATUS);
    WriteShared(pRecord->Entry.bStatus, static_cast<BYTE>(STATUS_NONE));
  } else if (MapServerStatus(ReadShared(pRecord->Entry.bStatus), &dwStatus)) {
    SetPrinterA(hPrinter, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(dwStatus)),
                PRINTER_CONTROL_SET_STATUS);
  }
  ClosePrinter(hPrinter);
}

// Tells the user about the port's trouble when the printer has a job there.
// The box waits for the user on its own thread; while it is open, the same
// trouble of the same printer raises no second one.
void ShowStatusPopup(LPCSTR pPortName, const PrinterEntry* pEntry, LPCSTR pPrinterName) {
  ListNode* pNode = FindPort(pPortName, OPEN_LIST);
  if (pNode == nullptr) return;
  PortRecord* pRecord = PortOf(pNode);
  BYTE bStatus = ReadShared(pRecord->Entry.bStatus);
  CHAR szText[MESSAGE_CCH];
  if (!FormatStatusPopup(pRecord, bStatus, pPrinterName, szText)) return;
  RaiseStatusPopup(pEntry, bStatus, szText);
}

// A port that reads ready after the popup step clears the printer's trouble.
void ClearReadyPrinter(LPCSTR pPortName, LPCSTR pPrinterName) {
  ListNode* pNode = FindPort(pPortName, OPEN_LIST);
  if (pNode == nullptr) return;
  if (ReadShared(PortOf(pNode)->Entry.bStatus) == STATUS_READY) SetSpoolerPrinterStatus(pPrinterName, 0);
}

// OpenList only grows at its end and its records stay until shutdown, so the
// walk takes no lock.
void MirrorOpenPorts(void) {
  for (ListNode* pPort = FirstPort(OPEN_LIST); !IsEndOfList(pPort); NextPort(&pPort)) {
    PortRecord* pRecord = PortOf(pPort);
    for (ListNode* pNode = FirstPrinter(pRecord); pNode != nullptr; pNode = ListNext(pNode)) {
      PrinterEntry* pEntry = PrinterOf(pNode);
      // A printer that has moved to another port gets that port's status only.
      if (ReadShared(pEntry->dwDetached) != 0) continue;
      LPCSTR pPrinterName = PrinterNameOf(pEntry);
      MirrorPrinterStatus(pRecord, pPrinterName);
      if (ReadShared(pEntry->dwActive) != 0) ShowStatusPopup(pRecord->pPortName, pEntry, pPrinterName);
      ClearReadyPrinter(pRecord->pPortName, pPrinterName);
    }
  }
}

// Sleeps one refresh interval in slices, ending early once StopFlag is set;
// the slices run to one deadline, so the cycle keeps its interval.
void SleepRefreshInterval(DWORD dwInterval) {
  DWORD dwStart = GetTickCount();
  while (!IsStopping()) {
    DWORD dwElapsed = GetTickCount() - dwStart;
    if (dwElapsed >= dwInterval) return;
    DWORD dwLeft = dwInterval - dwElapsed;
    Sleep(dwLeft < STOP_LOOK_MS ? dwLeft : STOP_LOOK_MS);
  }
}

}  // namespace

BOOL MapServerStatus(BYTE bStatus, DWORD* pdwPrinterStatus) {
  switch (bStatus) {
    case STATUS_READY:
      *pdwPrinterStatus = 0;
      return TRUE;
    case STATUS_PAPER_OUT:
      *pdwPrinterStatus = PRINTER_STATUS_PAPER_OUT;
      return TRUE;
    case STATUS_OFFLINE:
      *pdwPrinterStatus = PRINTER_STATUS_OFFLINE;
      return TRUE;
    default:
      return FALSE;
  }
}

// A printer name too long for the box is cut with the rest of the text:
// snprintf never writes past the buffer and always ends it.
BOOL FormatStatusPopup(const PortRecord* pRecord, BYTE bStatus, LPCSTR pPrinterName, LPSTR pText) {
  CHAR szFormat[MESSAGE_CCH];
  CHAR szCondition[MESSAGE_CCH];
  switch (bStatus) {
    case STATUS_PAPER_OUT:
      if (ReadShared(pRecord->dwOutOfPaper) == 0) return FALSE;
      LoadMessage(IDS_PRINTER_IS, szFormat);
      LoadMessage(IDS_OUT_OF_PAPER, szCondition);
      snprintf(pText, MESSAGE_CCH, szFormat, pPrinterName, szCondition);
      return TRUE;
    case STATUS_OFFLINE:
      if (ReadShared(pRecord->dwOffline) == 0) return FALSE;
      LoadMessage(IDS_PRINTER_IS, szFormat);
      LoadMessage(IDS_OFF_LINE, szCondition);
      snprintf(pText, MESSAGE_CCH, szFormat, pPrinterName, szCondition);
      return TRUE;
    case STATUS_NONE:
      if (ReadShared(pRecord->dwNoResponse) == 0) return FALSE;
      LoadMessage(IDS_NO_RESPONSE, szFormat);
      snprintf(pText, MESSAGE_CCH, szFormat, pPrinterName);
      return TRUE;
    default:
      return FALSE;
  }
}

void RunStatusCycle(void) {
  FileReports();
  ScanPrinterRegistry();
  MirrorOpenPorts();
}

DWORD WINAPI StatusThread(LPVOID) {
  BOOL fShortLogged = FALSE;
  while (!IsStopping()) {
    RunStatusCycle();
    // A "Timer" of 0 is kept as stored, but a worker that never slept would
    // take a core and scan the registry without pause.
    DWORD dwInterval = ReadShared(RefreshInterval);
    if (dwInterval < MIN_REFRESH_MS) {
      if (!fShortLogged) WriteLogFormat("StatusThread", "RefreshInterval %u ms: 1000 ms used", static_cast<unsigned>(dwInterval));
      fShortLogged = TRUE;
      dwInterval = MIN_REFRESH_MS;
    }
    SleepRefreshInterval(dwInterval);
  }
  SignalThreadEnd();
  return 0;
}
