// The three port lists, their locks, and the fold of fresh reports into the
// open and available ports.
//
// Locks. ReportLock guards ReportList, OpenLock OpenList, AvailableLock
// AvailableList; each change of a list holds its lock. ReportLock is taken
// first; OpenLock and AvailableLock are never held together.
//
// How walks stay safe while other threads change the lists:
// - Links are stored with release and loaded with acquire (list.cpp), so a
//   walk that runs without the lock finds every node whole, with the record
//   that was filled in before the node was linked.
// - ReportList: the fold frees its nodes (duplicates, reports merged into
//   OpenList), so every walk of it holds ReportLock (the fold, FindPort in
//   list 0, shutdown after the threads have ended).
// - AvailableList: opening a port unlinks a record from it and appends it to
//   OpenList; a reader standing on that node without the lock could walk on
//   into OpenList. So every walk of it holds AvailableLock (FindPort takes it
//   for itself; the port enumeration takes it around its walk). Such walks
//   are short and never wait for anything else.
// - OpenList: a record in it is never unlinked or freed while the module runs
//   (shutdown frees it after the threads have ended), and the list only grows
//   at its end (InsertPort leaves alone a node that is still in a list). So
//   walks of it take no lock: the status worker may wait in a message box
//   while it stands on a record, and a cursor held across a fold or an open
//   stays valid. A walk may or may not see a port appended meanwhile.
// - A record that has reached AvailableList or OpenList is never freed while
//   the module runs, so a port handle or a FindPort answer for lists 1 and 2
//   stays valid until shutdown. A ReportList node lives until the next fold.
// - Record fields that one thread writes while others read them without a
//   lock: bStatus and tLastReport (ReadShared/WriteShared); bLanaNum and
//   szLocalName, which the merge rewrites under OpenLock and a job reads with
//   CopySessionAddress under OpenLock.
// - Printer lists: printer_list.cpp.
// - Reports may name ports without end, so the ports they add are counted
//   under ReportLock: ReportList's elements and the report-made records of
//   AvailableList. Past MAX_REPORTED_PORTS new names are dropped; ports in
//   use, ports already known and ports from the registry never are.
// - Opening a port (MovePortToOpen) holds ReportLock across the move, so no
//   fold runs while the record is in neither list, where a fresh report of the
//   port would become a second record of that name in AvailableList; and the
//   port enumeration copies both lists under ReportLock, so that it sees each
//   port in one list only.
#include <cstring>
#include <map>

#include "base/module_state.h"
#include "diag/log.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"

CRITICAL_SECTION ReportLock;
CRITICAL_SECTION OpenLock;
CRITICAL_SECTION AvailableLock;

// List heads by list number: ReportList, OpenList, AvailableList.
static ListNode* ListHeads[3] = {nullptr, nullptr, nullptr};

void (*PortMoveWindowHook)(void) = nullptr;
// Elements of ReportList, and report-made records of AvailableList; both
// under ReportLock. Whether the cap has been logged.
static DWORD ReportCount = 0;
static DWORD ReportedAvailableCount = 0;
static BOOL CapLogged = FALSE;

namespace {

struct NameOrder {
  bool operator()(LPCSTR a, LPCSTR b) const { return CompareNames(a, b) < 0; }
};
using NameIndex = std::map<LPCSTR, ListNode*, NameOrder>;
// The two sorted lists by name: ReportList's under ReportLock, AvailableList's
// under AvailableLock. A burst of reports from a thousand boxes brings ten
// thousand names between two folds, and a flood of names once the cap is
// reached asks for every one of them whether it is known: a walk from the
// head each time would cost seconds of a core. Keys are the records' own
// name blocks. Each index changes with every node that joins or leaves its
// list: through InsertPort, the fold, MovePortToOpen and FreePortNode.
NameIndex ReportIndex;
NameIndex AvailableIndex;

ListNode* HeadOf(DWORD dwList) { return dwList < 3 ? ListHeads[dwList] : nullptr; }

LPCSTR PortNameOf(ListNode* pNode) { return PortOf(pNode)->pPortName; }

void LogPortCap(void) {
  if (CapLogged) return;
  CapLogged = TRUE;
  WriteLogFormat("ReportList", "more than %d ports reported: new names dropped", MAX_REPORTED_PORTS);
}

// A report for a name already listed refreshes only the status and time of
// the record that stays.
void RefreshKeptRecord(ListNode* pKept, ListNode* pFresh) {
  PortRecord* pKeptRecord = static_cast<PortRecord*>(pKept->pData);
  const PortRecord* pFreshRecord = static_cast<const PortRecord*>(pFresh->pData);
  WriteShared(pKeptRecord->Entry.bStatus, ReadShared(pFreshRecord->Entry.bStatus));
  WriteShared(pKeptRecord->tLastReport, ReadShared(pFreshRecord->tLastReport));
}

// InsertSorted through the list's index (the caller holds the list's lock).
DWORD InsertIndexed(ListNode* pNode, ListNode* pHead, NameIndex* pIndex) {
  LPCSTR pName = PortNameOf(pNode);
  auto it = pIndex->lower_bound(pName);
  if (it != pIndex->end() && CompareNames(pName, it->first) == 0) {
    RefreshKeptRecord(it->second, pNode);
    return 0;
  }
  ListInsertBefore(pNode, it != pIndex->end() ? it->second : pHead);
  pIndex->emplace_hint(it, pName, pNode);
  return 1;
}

ListNode* FindIndexed(const NameIndex& index, LPCSTR pName) {
  auto it = index.find(pName);
  return it != index.end() ? it->second : nullptr;
}

// A node that leaves its list leaves the index with it.
void ForgetIndexed(NameIndex* pIndex, ListNode* pNode) {
  LPCSTR pName = PortNameOf(pNode);
  if (pName == nullptr) return;
  auto it = pIndex->find(pName);
  if (it != pIndex->end() && it->second == pNode) pIndex->erase(it);
}

// First element of the list whose port name equals the name; the caller
// makes the walk safe (see above).
ListNode* FindInList(ListNode* pHead, LPCSTR pName) {
  for (ListNode* pNode = ListFirst(pHead); pNode != nullptr; pNode = ListNext(pNode)) {
    if (CompareNames(PortNameOf(pNode), pName) == 0) return pNode;
  }
  return nullptr;
}

}  // namespace

void CreateListLocks(void) {
  InitializeCriticalSection(&ReportLock);
  InitializeCriticalSection(&AvailableLock);
  InitializeCriticalSection(&OpenLock);
}

void DeleteListLocks(void) {
  DeleteCriticalSection(&ReportLock);
  DeleteCriticalSection(&AvailableLock);
  DeleteCriticalSection(&OpenLock);
}

BOOL InitLists(void) {
  for (ListNode*& pHead : ListHeads) {
    if (pHead == nullptr && !ListCreate(&pHead)) return FALSE;
  }
  return TRUE;
}

void FreeLists(void) {
  ReportIndex.clear();
  AvailableIndex.clear();
  for (ListNode*& pHead : ListHeads) ListDestroy(&pHead);
  FreeRetiredNames();
  ReportCount = 0;
  ReportedAvailableCount = 0;
  CapLogged = FALSE;
  ForgetDroppedPortNames();
}

ListNode* NewPortNode(void) {
  ListNode* pNode = nullptr;
  if (!ListNewNode(&pNode, sizeof(PortRecord))) return nullptr;
  return pNode;
}

void FreePortNode(ListNode* pNode) {
  if (pNode == nullptr) return;
  // Only nodes in a list can be in an index.
  if (ReadShared(pNode->pPrevious) != nullptr) {
    ForgetIndexed(&ReportIndex, pNode);
    ForgetIndexed(&AvailableIndex, pNode);
  }
  PortRecord* pRecord = PortOf(pNode);
  if (pRecord->pPortName != nullptr) LocalFree(pRecord->pPortName);
  if (pRecord->pCName != nullptr) LocalFree(pRecord->pCName);
  ListFreeNode(&pNode);
}

ListNode* FindPort(LPCSTR pName, DWORD dwList) {
  if (pName == nullptr) return nullptr;
  ListNode* pHead = HeadOf(dwList);
  if (pHead == nullptr) return nullptr;
  if (dwList == AVAILABLE_LIST) {
    ListLock lock(&AvailableLock);
    return FindIndexed(AvailableIndex, pName);
  }
  if (dwList == REPORT_LIST) return FindIndexed(ReportIndex, pName);
  return FindInList(pHead, pName);
}

PortRecord* PortOf(ListNode* pNode) {
  return pNode == nullptr ? nullptr : static_cast<PortRecord*>(pNode->pData);
}

void UnlinkPort(ListNode* pNode) { ListUnlink(pNode); }

void CopyPortRecord(ListNode* pNode, const PortRecord* pSource) {
  PortRecord* pRecord = PortOf(pNode);
  if (pRecord == nullptr || pSource == nullptr || pRecord == pSource) return;
  *pRecord = *pSource;
}

void InsertPort(ListNode* pNode, DWORD dwList) {
  ListNode* pHead = HeadOf(dwList);
  if (pNode == nullptr || pHead == nullptr) return;
  if (ReadShared(pNode->pPrevious) != nullptr) return;
  if (dwList == REPORT_LIST) {
    if (InsertIndexed(pNode, pHead, &ReportIndex))
      ++ReportCount;
    else
      FreePortNode(pNode);
    return;
  }
  ListInsertBefore(pNode, pHead);
  if (dwList == AVAILABLE_LIST) AvailableIndex.emplace(PortNameOf(pNode), pNode);
}

ListNode* FirstPort(DWORD dwList) { return ListFirst(HeadOf(dwList)); }

void NextPort(ListNode** ppCursor) {
  if (ppCursor == nullptr) return;
  *ppCursor = ListNext(*ppCursor);
}

BOOL IsEndOfList(ListNode* pCursor) { return pCursor == nullptr; }

DWORD InsertSorted(ListNode* pNode, ListNode* pHead) {
  if (pNode == nullptr || pHead == nullptr) return 0;
  LPCSTR pName = PortNameOf(pNode);
  ListNode* pLast = ListLast(pHead);
  if (pLast == nullptr || CompareNames(pName, PortNameOf(pLast)) > 0) {
    ListInsertBefore(pNode, pHead);
    return 1;
  }
  // The last name is not smaller, so this walk stops on an element.
  ListNode* pCurrent = ListFirst(pHead);
  int order;
  while ((order = CompareNames(pName, PortNameOf(pCurrent))) > 0) pCurrent = ListNext(pCurrent);
  if (order == 0) {
    RefreshKeptRecord(pCurrent, pNode);
    return 0;
  }
  ListInsertBefore(pNode, pCurrent);
  return 1;
}

void MergeReportsIntoOpen(void) {
  ListNode* pNext = nullptr;
  for (ListNode* pReport = FirstPort(REPORT_LIST); pReport != nullptr; pReport = pNext) {
    pNext = ListNext(pReport);
    ListNode* pOpen = FindPort(PortNameOf(pReport), OPEN_LIST);
    if (pOpen == nullptr) continue;
    PortRecord* pTarget = PortOf(pOpen);
    const PortRecord* pSource = PortOf(pReport);
    WriteShared(pTarget->Entry.bStatus, pSource->Entry.bStatus);
    WriteShared(pTarget->tLastReport, pSource->tLastReport);
    WriteShared(pTarget->bLanaNum, pSource->bLanaNum);
    memcpy(pTarget->szLocalName, pSource->szLocalName, LOCAL_NAME_SIZE);
    pTarget->szLocalName[LOCAL_NAME_SIZE - 1] = '\0';
    FreePortNode(pReport);
    if (ReportCount > 0) --ReportCount;
  }
}

void MoveReportsToAvailable(void) {
  ListNode* pReports = HeadOf(REPORT_LIST);
  ListNode* pAvailable = HeadOf(AVAILABLE_LIST);
  if (pReports == nullptr || pAvailable == nullptr) return;
  ReportIndex.clear();
  while (!ListIsEmpty(pReports)) {
    ListNode* pFirst = ListFirst(pReports);
    BOOL fReported = PortOf(pFirst)->dwFromRegistry == 0;
    if (fReported && ReportedAvailableCount >= MAX_REPORTED_PORTS &&
        FindIndexed(AvailableIndex, PortNameOf(pFirst)) == nullptr) {
      LogPortCap();
      FreePortNode(pFirst);
    } else if (InsertIndexed(pFirst, pAvailable, &AvailableIndex)) {
      if (fReported) ++ReportedAvailableCount;
    } else {
      FreePortNode(pFirst);
    }
  }
  ReportCount = 0;
}

BOOL HasRoomForReport(LPCSTR pName) {
  if (ReportCount < MAX_REPORTED_PORTS || FindIndexed(ReportIndex, pName) != nullptr ||
      FindPort(pName, OPEN_LIST) != nullptr || FindPort(pName, AVAILABLE_LIST) != nullptr) {
    return TRUE;
  }
  LogPortCap();
  return FALSE;
}

BOOL MovePortToOpen(ListNode* pNode) {
  if (pNode == nullptr || HeadOf(AVAILABLE_LIST) == nullptr || HeadOf(OPEN_LIST) == nullptr) return FALSE;
  ListLock reports(&ReportLock);
  // The printer list is made first: a port either moves whole or stays where
  // it was.
  ListNode* pPrinters = nullptr;
  if (!ListCreate(&pPrinters)) return FALSE;
  bool taken = false;
  {
    ListLock available(&AvailableLock);
    // Only a node that is still in AvailableList is ours to move: one that
    // another open moved already is in OpenList, under another lock.
    if (FindIndexed(AvailableIndex, PortNameOf(pNode)) == pNode) {
      AvailableIndex.erase(PortNameOf(pNode));
      UnlinkPort(pNode);
      taken = true;
    }
  }
  if (!taken) {
    ListDestroy(&pPrinters);
    return FALSE;
  }
  if (PortMoveWindowHook != nullptr) PortMoveWindowHook();
  if (PortOf(pNode)->dwFromRegistry == 0 && ReportedAvailableCount > 0) --ReportedAvailableCount;
  WriteShared(PortOf(pNode)->pPrinters, pPrinters);
  ListLock open(&OpenLock);
  InsertPort(pNode, OPEN_LIST);
  return TRUE;
}

void CopySessionAddress(const PortRecord* pRecord, BYTE* pbLanaNum, LPSTR pszLocalName) {
  if (pRecord == nullptr) return;
  ListLock open(&OpenLock);
  if (pbLanaNum != nullptr) *pbLanaNum = pRecord->bLanaNum;
  if (pszLocalName != nullptr) {
    memcpy(pszLocalName, pRecord->szLocalName, LOCAL_NAME_SIZE);
    pszLocalName[LOCAL_NAME_SIZE - 1] = '\0';
  }
}
