// The three port lists (reports, open ports, available ports), their locks,
// and moving records between them.
#pragma once

#include "platform.h"
#include "ports/list.h"
#include "ports/port_record.h"

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
// Report-made records past MAX_REPORTED_PORTS in AvailableList are dropped
// when their name is new there (one log line for the run).
void MoveReportsToAvailable(void);
// How many new port names reports may bring: so many may wait in ReportList,
// and so many report-made records may stand in AvailableList. Room for a
// thousand boxes of 11 ports, with a margin, at a few KB a record.
#define MAX_REPORTED_PORTS 16384
// Whether a report of the named port may be filed (the caller holds
// ReportLock): while ReportList has room, or when the name is known already
// (waiting, in use or available). FALSE is logged once for the run.
BOOL HasRoomForReport(LPCSTR pName);
// Whether a reported port name can be used: no backslash (it would nest
// registry keys) and no control byte (it would reach terminals and logs).
BOOL IsUsablePortName(LPCSTR pName);
// Logs a dropped port name, escaped, once per name (the caller holds
// ReportLock); the memory of names is bounded, and past it one line says so.
void LogDroppedPortName(LPCSTR pName);
// Forgets the logged names (FreeLists).
void ForgetDroppedPortNames(void);
// Takes a port from AvailableList into use: under ReportLock, unlinks it under
// AvailableLock, gives it a new printer list and appends it to OpenList under
// OpenLock. Returns TRUE when this call moved it; FALSE when the node was no
// longer in AvailableList (another thread opened it: the move is complete by
// then), or when no printer list could be had: the port then stays in
// AvailableList as it was.
BOOL MovePortToOpen(ListNode* pNode);
// Tests only: called while MovePortToOpen holds a port in neither list, so
// that a test can widen that moment. Null unless a test sets it.
extern void (*PortMoveWindowHook)(void);
// Copies the adapter number and the module's own name (LOCAL_NAME_SIZE bytes)
// that a job's call goes out with, under OpenLock, since the status worker's
// merge rewrites them (never call it holding AvailableLock).
void CopySessionAddress(const PortRecord* pRecord, BYTE* pbLanaNum, LPSTR pszLocalName);
