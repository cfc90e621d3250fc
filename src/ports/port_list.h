// Port records, printer entries and the three port lists, on a small doubly
// linked list library with a sentinel head.
#pragma once

#include "platform.h"

#define NODE_HEAD 0
#define NODE_ELEMENT 1

// Header of every node, head or element; an element's data block follows it
// in the same allocation.
typedef struct _ListNode {
  BYTE bKind;
  struct _ListNode* pPrevious;
  struct _ListNode* pNext;
  LPVOID pData;
} ListNode;

#define NAME_BLOCK_SIZE 260
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

// One print-server port; its address is the spooler's port handle.
typedef struct _PortRecord {
  LPSTR pPortName;
  LPSTR pCName;
  LPSTR pMonitorName;
  LPSTR pDescription;
  DWORD dwFromRegistry;
  BYTE abReportHeader[REPORT_HEADER_SIZE];
  PortEntry Entry;  // Entry.bStatus is the port's ServerStatus
  DWORD tLastReport;
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
} PortRecord;

// A spooler printer in a port's printer list.
typedef struct _PrinterEntry {
  LPSTR pName;
  DWORD dwActive;
  DWORD dwReserved;
} PrinterEntry;

// List numbers.
#define REPORT_LIST 0
#define OPEN_LIST 1
#define AVAILABLE_LIST 2

extern CRITICAL_SECTION ReportLock;
extern CRITICAL_SECTION OpenLock;
extern CRITICAL_SECTION AvailableLock;

// List library.
BOOL ListCreate(ListNode** ppHead);
BOOL ListNewNode(ListNode** ppNode, WORD cbData);
void ListUnlink(ListNode* pNode);
ListNode* ListInsertBefore(ListNode* pNode, ListNode* pBefore);
ListNode* ListNext(ListNode* pNode);
BOOL ListIsEmpty(ListNode* pHead);
ListNode* ListFirst(ListNode* pHead);
ListNode* ListLast(ListNode* pHead);
void ListFreeNode(ListNode** ppNode);
void ListClear(ListNode* pHead);
void ListDestroy(ListNode** ppHead);

// Name comparison of port and printer names: case-sensitive, unsigned, a
// double-byte character of the ANSI code page counting as one unit.
int CompareNames(LPCSTR a, LPCSTR b);
// Selects the code page whose lead bytes CompareNames honours (0 or 1252:
// single-byte; 932: Shift-JIS). Returns FALSE for a code page it does not know.
BOOL SetNameCodePage(UINT codePage);

// Port lists.
BOOL InitLists(void);
void FreeLists(void);
ListNode* NewPortNode(void);
void FreePortNode(ListNode* pNode);
ListNode* FindPort(LPCSTR pName, DWORD dwList);
PortRecord* PortOf(ListNode* pNode);
void UnlinkPort(ListNode* pNode);
void CopyPortRecord(ListNode* pNode, const PortRecord* pSource);
void InsertPort(ListNode* pNode, DWORD dwList);
ListNode* FirstPort(DWORD dwList);
void NextPort(ListNode** ppCursor);
BOOL IsEndOfList(ListNode* pCursor);
DWORD InsertSorted(ListNode* pNode, ListNode* pHead);
void MergeReportsIntoOpen(void);
void MoveReportsToAvailable(void);

// Printer list of a port.
BOOL CreatePrinterList(PortRecord* pRecord);
BOOL AddPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
void DestroyPrinterList(PortRecord* pRecord);
BOOL SetPrinterActive(PortRecord* pRecord, LPCSTR pPrinterName);
BOOL ResetPrinterActive(PortRecord* pRecord);
BOOL HasPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
BOOL RenamePrinter(PortRecord* pRecord, LPCSTR pOldName, LPCSTR pNewName);
ListNode* FirstPrinter(PortRecord* pRecord);
