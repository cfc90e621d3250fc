// Turning a received ServerReport into port records in ReportList.
#include <string.h>

#include "base/module_state.h"
#include "diag/messages.h"
#include "ports/discovery.h"
#include "ports/port_lists.h"

DWORD CutPortName(const BYTE* pNameField, LPSTR pName) {
  // The field is the server port's NetBIOS name: at most 16 characters, even
  // when no padding follows, so the port name stays a name the job can call.
  DWORD cch = 0;
  while (cch < NETBIOS_NAME_SIZE && pNameField[cch] != 0 && pNameField[cch] != ' ') {
    pName[cch] = (CHAR)pNameField[cch];
    ++cch;
  }
  pName[cch] = 0;
  return cch;
}

DWORD FileServerReport(const LanaRecord* pLana, const BYTE* pReport, DWORD cbReport) {
  // Only what was received, and never more than the receive buffer, is read.
  if (cbReport > REPORT_BUFFER_SIZE) cbReport = REPORT_BUFFER_SIZE;
  // A report too short to hold its header carries nothing to store: dropped.
  if (cbReport < REPORT_HEADER_SIZE) return 0;
  BYTE bType = pReport[REPORT_TYPE_OFFSET];
  if (bType != REPORT_TYPE_1 && bType != REPORT_TYPE_2) return 0;
  BYTE bCount = pReport[REPORT_COUNT_OFFSET];
  // A count past the data is cut to the whole entries that did arrive; each
  // entry stands on its own, so those are still good.
  DWORD dwWhole = (cbReport - REPORT_HEADER_SIZE) / sizeof(PortEntry);
  if (bCount > dwWhole) bCount = (BYTE)dwWhole;

  DWORD dwFiled = 0;
  for (BYTE i = 0; i < bCount; ++i) {
    const BYTE* pEntry = pReport + REPORT_HEADER_SIZE + (DWORD)i * sizeof(PortEntry);
    ListNode* pNode = NewPortNode();
    if (pNode == NULL) continue;
    PortRecord* pRecord = PortOf(pNode);
    memcpy(pRecord->abReportHeader, pReport, REPORT_HEADER_SIZE);
    memcpy(&pRecord->Entry, pEntry, sizeof(PortEntry));

    pRecord->pPortName = (LPSTR)LocalAlloc(LPTR, NAME_BLOCK_SIZE);
    pRecord->pCName = (LPSTR)LocalAlloc(LPTR, NAME_BLOCK_SIZE);
    if (pRecord->pPortName == NULL || pRecord->pCName == NULL) {
      FreePortNode(pNode);
      ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
      break;
    }
    if (pRecord->Entry.abName[0] == ' ' || pRecord->Entry.bStatus == STATUS_NOT_A_PORT) {
      FreePortNode(pNode);
      continue;
    }
    // A name field that starts with NUL names no port either.
    if (CutPortName(pRecord->Entry.abName, pRecord->pCName) == 0) {
      FreePortNode(pNode);
      continue;
    }
    if (!IsUsablePortName(pRecord->pCName)) {
      EnterCriticalSection(&ReportLock);
      LogDroppedPortName(pRecord->pCName);
      LeaveCriticalSection(&ReportLock);
      FreePortNode(pNode);
      continue;
    }
    strcpy(pRecord->pPortName, pRecord->pCName);

    pRecord->pMonitorName = MonitorNameText;
    pRecord->pDescription = DescriptionText;
    pRecord->dwFromRegistry = 0;
    pRecord->bLanaNum = pLana->bLanaNum;
    pRecord->dwOffline = 0;
    pRecord->dwOutOfPaper = 0;
    pRecord->dwNoResponse = 0;
    pRecord->dwListed = 1;
    memcpy(pRecord->szLocalName, pLana->szLocalName, LOCAL_NAME_SIZE);
    pRecord->szLocalName[LOCAL_NAME_SIZE - 1] = 0;
    pRecord->tLastReport = GetMonotonicSeconds();

    EnterCriticalSection(&ReportLock);
    BOOL fRoom = HasRoomForReport(pRecord->pPortName);
    if (fRoom) InsertPort(pNode, REPORT_LIST);
    LeaveCriticalSection(&ReportLock);
    if (!fRoom) {
      FreePortNode(pNode);
      continue;
    }
    ++dwFiled;
  }
  return dwFiled;
}
