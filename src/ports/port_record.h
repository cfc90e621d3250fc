// The record of one print-server port and the port entry of a server report
// that it keeps.
#pragma once

#include "platform.h"
#include "ports/list.h"
#include "ports/names.h"

#define REPORT_HEADER_SIZE 79
#define NETBIOS_NAME_SIZE 16
#define LOCAL_NAME_SIZE 17

// One port entry of a server report, stored as received.
typedef struct _PortEntry {
  BYTE bStatus;
  BYTE abReserved1[4];
  BYTE abName[NETBIOS_NAME_SIZE];
  BYTE abReserved2[16];
} PortEntry;
static_assert(sizeof(PortEntry) == 37, "PortEntry is 37 bytes on the wire");

// ServerStatus values.
#define STATUS_NONE 0x00
#define STATUS_READY 0x10
#define STATUS_READY2 0x11
#define STATUS_OFFLINE 0x12
#define STATUS_PAPER_OUT 0x13
#define STATUS_NOT_A_PORT 0x14

// One print-server port; its address is the spooler's port handle. Fields
// that one thread writes while others read them without a lock (bStatus,
// tLastReport, dwListed, the popup flags) go through ReadShared/WriteShared;
// bLanaNum and szLocalName are read with CopySessionAddress.
typedef struct _PortRecord {
  LPSTR pPortName;
  LPSTR pCName;
  LPSTR pMonitorName;
  LPSTR pDescription;
  DWORD dwFromRegistry;
  BYTE abReportHeader[REPORT_HEADER_SIZE];
  PortEntry Entry;  // Entry.bStatus is the port's ServerStatus
  DWORD tLastReport;  // GetMonotonicSeconds of the last report; 0: none yet
  DWORD dwListed;
  BYTE bLanaNum;
  DWORD dwOffline;
  DWORD dwOutOfPaper;
  DWORD dwNoResponse;
  ListNode* pPrinters;
  CHAR szLocalName[LOCAL_NAME_SIZE];
  BYTE bLsn;
  DWORD dwByteHeld;
  BYTE bHeldByte;
  DWORD dwJobActive;
  // The adapter the running job's session was called on: the status worker
  // may move bLanaNum to another adapter mid-job, the session stays.
  BYTE bSessionLana;
} PortRecord;
