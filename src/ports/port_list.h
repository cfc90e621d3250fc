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
  // The adapter the running job's session was called on: the status worker
  // may move bLanaNum to another adapter mid-job, the session stays.
  BYTE bSessionLana;
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

// One lock per list; ReportLock is taken first, and OpenLock and AvailableLock
// are never held together. How readers stay safe while the lists change is
// told in port_lists.cpp, where the locks live.
extern CRITICAL_SECTION ReportLock;
extern CRITICAL_SECTION OpenLock;
extern CRITICAL_SECTION AvailableLock;

// Creates the three locks (ReportLock, AvailableLock, OpenLock) and deletes
// them again (ReportLock, AvailableLock, OpenLock), in start-up's and
// shutdown's order.
void CreateListLocks(void);
void DeleteListLocks(void);

// Holds a list lock (any critical section) for the life of a scope.
class ListLock {
 public:
  explicit ListLock(CRITICAL_SECTION* pLock) : pLock_(pLock) { EnterCriticalSection(pLock_); }
  ~ListLock() { LeaveCriticalSection(pLock_); }
  ListLock(const ListLock&) = delete;
  ListLock& operator=(const ListLock&) = delete;

 private:
  CRITICAL_SECTION* pLock_;
};

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
// double-byte character of the ANSI code page counting as one unit, a lead
// byte followed by the NUL counting as the end. A name is at most
// NAME_BLOCK_SIZE - 1 bytes (what its block holds); the comparison looks no
// further, so a longer name matches its stored copy. A null name is empty.
// Returns <0, 0 or >0.
int CompareNames(LPCSTR a, LPCSTR b);
// Selects the code page whose lead bytes CompareNames honours (0 or 1252:
// single-byte; 932: Shift-JIS). Returns FALSE for a code page it does not know.
BOOL SetNameCodePage(UINT codePage);
// Copies a name into a NAME_BLOCK_SIZE block, cut to what the block holds and
// always NUL-terminated; a null name gives an empty text.
void CopyName(LPSTR pBlock, LPCSTR pName);
// A new zero-filled NAME_BLOCK_SIZE block holding a copy of the name (cut as
// CopyName does), or null when memory is short. Freed with LocalFree.
LPSTR NewNameBlock(LPCSTR pName);

// Port lists. The caller holds the lock of the list that an operation changes;
// the exceptions, which lock for themselves, say so. List numbers other than
// 0, 1 and 2 find nothing and change nothing.
BOOL InitLists(void);
void FreeLists(void);
ListNode* NewPortNode(void);
void FreePortNode(ListNode* pNode);
// List 0: the caller holds ReportLock. List 1: no lock needed. List 2: takes
// AvailableLock for the walk (never call it holding OpenLock).
ListNode* FindPort(LPCSTR pName, DWORD dwList);
PortRecord* PortOf(ListNode* pNode);
void UnlinkPort(ListNode* pNode);
// A whole-record copy: only for a record that no other thread reaches yet
// (single fields of a listed record go through WriteShared instead).
void CopyPortRecord(ListNode* pNode, const PortRecord* pSource);
// A node that is still in a list is left where it is: a record only leaves a
// list through UnlinkPort under that list's lock, and OpenList only grows.
void InsertPort(ListNode* pNode, DWORD dwList);
// Walks of list 0 hold ReportLock, walks of list 2 hold AvailableLock; walks
// of list 1 need no lock.
ListNode* FirstPort(DWORD dwList);
void NextPort(ListNode** ppCursor);
BOOL IsEndOfList(ListNode* pCursor);
DWORD InsertSorted(ListNode* pNode, ListNode* pHead);
void MergeReportsIntoOpen(void);
void MoveReportsToAvailable(void);
// Takes a port from AvailableList into use: under ReportLock, unlinks it under
// AvailableLock, gives it a new printer list and appends it to OpenList under
// OpenLock. Returns TRUE when this call moved it; FALSE when the node was no
// longer in AvailableList (another thread opened it: the move is complete by
// then). The port is moved even when its printer list cannot be had
// (pPrinters stays null).
BOOL MovePortToOpen(ListNode* pNode);
// Copies the adapter number and the module's own name (LOCAL_NAME_SIZE bytes)
// that a job's call goes out with, under OpenLock, since the status worker's
// merge rewrites them (never call it holding AvailableLock).
void CopySessionAddress(const PortRecord* pRecord, BYTE* pbLanaNum, LPSTR pszLocalName);

// Printer list of a port. AddPrinter and RenamePrinter take OpenLock for
// themselves (never call them holding AvailableLock); the lookups and the
// active marks need no lock. A name block, once in an entry, never changes: a
// rename puts a new block in and keeps the old one until FreeLists, so a
// reader may use the name it read for as long as the module runs. A record
// without a printer list (pPrinters null) has no printers: the operations
// answer FALSE or null.
BOOL CreatePrinterList(PortRecord* pRecord);
BOOL AddPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
void DestroyPrinterList(PortRecord* pRecord);
// Frees the name of every entry, then DestroyPrinterList (shutdown).
void FreePrinterList(PortRecord* pRecord);
BOOL SetPrinterActive(PortRecord* pRecord, LPCSTR pPrinterName);
BOOL ResetPrinterActive(PortRecord* pRecord);
BOOL HasPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
BOOL RenamePrinter(PortRecord* pRecord, LPCSTR pOldName, LPCSTR pNewName);
ListNode* FirstPrinter(PortRecord* pRecord);
PrinterEntry* PrinterOf(ListNode* pNode);
// The entry's current name; see above for how long it stays readable.
LPCSTR PrinterNameOf(const PrinterEntry* pEntry);
// Frees the name blocks that renames replaced; FreeLists calls it.
void FreeRetiredNames(void);
