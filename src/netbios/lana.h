// Adapter records: one per NetBEUI adapter in use, with the module's names on
// it and the working storage of its discovery threads.
#pragma once

#include "platform.h"

#define MAX_LANA_RECORDS 8
#define REPORT_BUFFER_SIZE 512
#define LOCAL_NAME_CCH 17

// The print servers' group (pings go to it) and the monitors' group (reports
// come to it), 16 characters each.
#define SRV_GROUP_NAME "ORVE_SRV        "
#define QDL_GROUP_NAME "ORVE_QDL        "

typedef struct _LanaRecord {
  BYTE bLanaNum;
  BYTE bSrvGroupNum;
  BYTE bLocalNameNum;
  NCB ncbReport;
  BYTE abReport[REPORT_BUFFER_SIZE];
  CHAR szLocalName[LOCAL_NAME_CCH];
  BYTE bQdlGroupNum;
  DWORD tLastPing;  // GetMonotonicSeconds, 0: none; two writers: ReadShared/WriteShared
} LanaRecord;

extern LanaRecord LanaRecords[MAX_LANA_RECORDS];
extern DWORD LanaCount;

// "OV_" and the adapter's hardware address, last byte first, in upper-case
// hex (15 characters) into pName (at least 16 bytes). Returns the adapter
// status command's code; pName is untouched unless it is 0.
UCHAR MyNetbiosName(UCHAR bLana, LPSTR pName);
// Registers "ORVE_SRV        ", "ORVE_QDL        " (groups) and the unique
// name on pLana->bLanaNum, filling the record; logs each failure.
void RegisterAdapterNames(LanaRecord* pLana);
// Deletes the three names; codes ignored. Ends the receives pending on them.
void ReleaseAdapterNames(LanaRecord* pLana);
