// EnumPorts: lists the monitor's ports to the spooler as PORT_INFO_1 or
// PORT_INFO_2, sized and packed from one snapshot of the port names.
#include <cstddef>
#include <cstring>

#include "base/module_state.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "ports/port_lists.h"
#include "spool/port_operations.h"

namespace {

const DWORD kOffsetsEnd = (DWORD)-1;
const DWORD kLevel1Offsets[] = {offsetof(PORT_INFO_1, pName), kOffsetsEnd};
const DWORD kLevel2Offsets[] = {offsetof(PORT_INFO_2, pPortName), offsetof(PORT_INFO_2, pMonitorName),
                                offsetof(PORT_INFO_2, pDescription), kOffsetsEnd};

// The spooler reads the structures at the platform's offsets: the string
// pointers first, then the two words.
static_assert(sizeof(PORT_INFO_1) == sizeof(LPSTR));
static_assert(offsetof(PORT_INFO_2, fPortType) == 3 * sizeof(LPSTR));
static_assert(offsetof(PORT_INFO_2, Reserved) == 3 * sizeof(LPSTR) + sizeof(DWORD));
#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit module that the spoolers load: 4 and 20 bytes.
static_assert(sizeof(PORT_INFO_1) == 4, "PORT_INFO_1 of 32-bit Windows");
static_assert(sizeof(PORT_INFO_2) == 20, "PORT_INFO_2 of 32-bit Windows");
static_assert(offsetof(PORT_INFO_2, pMonitorName) == 4 && offsetof(PORT_INFO_2, pDescription) == 8 &&
                  offsetof(PORT_INFO_2, fPortType) == 12 && offsetof(PORT_INFO_2, Reserved) == 16,
              "PORT_INFO_2 offsets of 32-bit Windows");
#endif

// Length of a text held in a name block; never reads past the block.
SIZE_T NameLength(LPCSTR pText, SIZE_T cbBlock) { return pText ? strnlen(pText, cbBlock - 1) : 0; }

// A message box and a log line for an information level the monitor does not
// serve; every routine that meets one reports it the same way.
void ReportIllegalLevel(DWORD Level) {
  ShowMessage(IDS_ILLEGAL_VALUE, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
  WriteLogFormat("GetPortSize", "Illegal value: Level: %d", (int)Level);
}

// The names of one list as EnumPorts lists them, copied in one walk. The
// lists change beside the call (discovery, the status worker, OpenPort), so
// the sizing and the packing both read these copies and cannot disagree about
// the ports. Each list is copied under its own lock, so that its count and
// its copy see the same list; both copies are made under ReportLock, which
// every move from AvailableList to OpenList holds, so a port being opened
// comes back in exactly one of the two sections.
struct PortNameSnapshot {
  LPSTR pBlock;  // the name pointers, then the names, in one block
  DWORD dwCount;
};

// Copies the port names of list dwList (only records with dwListed set when
// listedOnly). FALSE when memory is short.
BOOL SnapshotList(PortNameSnapshot* pSnapshot, DWORD dwList, BOOL listedOnly) {
  pSnapshot->pBlock = nullptr;
  pSnapshot->dwCount = 0;
  ListLock lock(dwList == AVAILABLE_LIST ? &AvailableLock : &OpenLock);

  DWORD dwCount = 0;
  SIZE_T cbNames = 0;
  for (ListNode* pCursor = FirstPort(dwList); !IsEndOfList(pCursor); NextPort(&pCursor)) {
    PortRecord* pRecord = PortOf(pCursor);
    if (listedOnly && ReadShared(pRecord->dwListed) == 0) continue;
    ++dwCount;
    cbNames += NameLength(pRecord->pPortName, NAME_BLOCK_SIZE) + 1;
  }
  if (dwCount == 0) return TRUE;

  LPSTR pBlock = static_cast<LPSTR>(LocalAlloc(LPTR, dwCount * sizeof(LPSTR) + cbNames));
  if (!pBlock) return FALSE;
  LPSTR* ppNames = reinterpret_cast<LPSTR*>(pBlock);
  LPSTR pText = pBlock + dwCount * sizeof(LPSTR);
  // The lock keeps nodes from joining or leaving, but a port's dwListed may
  // still change between the walks: the copy never goes past what was
  // counted.
  SIZE_T cbLeft = cbNames;
  DWORD i = 0;
  for (ListNode* pCursor = FirstPort(dwList); !IsEndOfList(pCursor) && i < dwCount; NextPort(&pCursor)) {
    PortRecord* pRecord = PortOf(pCursor);
    if (listedOnly && ReadShared(pRecord->dwListed) == 0) continue;
    SIZE_T cch = NameLength(pRecord->pPortName, NAME_BLOCK_SIZE);
    if (cch + 1 > cbLeft) break;
    if (cch) memcpy(pText, pRecord->pPortName, cch);
    ppNames[i++] = pText;  // the block is zero-filled: the name ends there
    pText += cch + 1;
    cbLeft -= cch + 1;
  }
  pSnapshot->pBlock = pBlock;
  pSnapshot->dwCount = i;
  return TRUE;
}

// The record that the packers see for a snapshot entry: only its name is read.
PortRecord SnapshotRecord(const PortNameSnapshot& snapshot, DWORD i) {
  PortRecord record = {};
  record.pPortName = reinterpret_cast<LPSTR*>(snapshot.pBlock)[i];
  return record;
}

// Bytes a packed copy of a text takes; a missing text is packed as a null
// pointer and takes none.
DWORD PackedSize(LPCSTR pText) { return pText ? (DWORD)strlen(pText) + 1 : 0; }

}  // namespace

// Bytes one port needs at Level: its structure and its strings. 0, after the
// report, for a level other than 1 or 2.
DWORD GetPortSize(PortRecord* pRecord, DWORD Level) {
  switch (Level) {
    case 1:
      return (DWORD)sizeof(PORT_INFO_1) + PackedSize(pRecord->pPortName);
    case 2:
      return (DWORD)sizeof(PORT_INFO_2) + PackedSize(pRecord->pPortName) + PackedSize(MonitorNameText) +
             PackedSize(DescriptionText);
    default:
      ReportIllegalLevel(Level);
      return 0;
  }
}

// Fills the structure at pSlot for one port and packs its strings below pEnd;
// returns the new lowest string address (pEnd for a level it does not serve).
LPBYTE PackPortInfo(PortRecord* pRecord, DWORD Level, LPBYTE pSlot, LPBYTE pEnd) {
  switch (Level) {
    case 1: {
      LPSTR apSources[] = {pRecord->pPortName};
      return PackPortStrings(apSources, pSlot, kLevel1Offsets, pEnd);
    }
    case 2: {
      DWORD dwZero = 0;
      memcpy(pSlot + offsetof(PORT_INFO_2, fPortType), &dwZero, sizeof(dwZero));
      memcpy(pSlot + offsetof(PORT_INFO_2, Reserved), &dwZero, sizeof(dwZero));
      LPSTR apSources[] = {pRecord->pPortName, MonitorNameText, DescriptionText};
      return PackPortStrings(apSources, pSlot, kLevel2Offsets, pEnd);
    }
    default:
      ReportIllegalLevel(Level);
      return pEnd;
  }
}

// Copies each source string (with its zero) downwards from pEnd and stores its
// address at pSlot + offset; a missing source stores a null pointer. The
// offset table ends with an all-ones entry. Returns the new end.
LPBYTE PackPortStrings(LPSTR* ppSources, LPBYTE pSlot, const DWORD* pOffsets, LPBYTE pEnd) {
  for (DWORD i = 0; pOffsets[i] != kOffsetsEnd; ++i) {
    LPSTR pStored = nullptr;
    if (ppSources[i]) {
      SIZE_T cb = strlen(ppSources[i]) + 1;
      pEnd -= cb;
      memcpy(pEnd, ppSources[i], cb);
      pStored = reinterpret_cast<LPSTR>(pEnd);
    }
    // The caller's buffer need not be aligned for a pointer.
    memcpy(pSlot + pOffsets[i], &pStored, sizeof(pStored));
  }
  return pEnd;
}

// Returns FALSE without touching anything when a server name is given; FALSE
// with ERROR_INSUFFICIENT_BUFFER (122) and *pcbNeeded set when cbBuf is 0 or
// too small; FALSE with ERROR_NOT_ENOUGH_MEMORY when the snapshot of the names
// cannot be made; FALSE, no error set, for a level other than 1 or 2 with at
// least one port to pack. TRUE otherwise, with *pcReturned structures.
BOOL WINAPI EnumPorts(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned) {
  if (pName) return FALSE;

  // Listed available ports first, then every open port.
  PortNameSnapshot aSnapshots[2];
  BOOL bHaveNames;
  {
    ListLock reports(&ReportLock);
    bHaveNames = SnapshotList(&aSnapshots[0], AVAILABLE_LIST, TRUE);
    bHaveNames = bHaveNames && SnapshotList(&aSnapshots[1], OPEN_LIST, FALSE);
  }
  if (!bHaveNames) {
    if (aSnapshots[0].pBlock) LocalFree(aSnapshots[0].pBlock);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }

  // Sizing pass. A total past 32 bits fits no buffer: it saturates.
  ULONGLONG cbTotal = 0;
  for (const PortNameSnapshot& snapshot : aSnapshots) {
    for (DWORD i = 0; i < snapshot.dwCount; ++i) {
      PortRecord record = SnapshotRecord(snapshot, i);
      cbTotal += GetPortSize(&record, Level);
    }
  }
  DWORD cbNeeded = cbTotal > 0xFFFFFFFFULL ? 0xFFFFFFFF : (DWORD)cbTotal;
  *pcbNeeded = cbNeeded;

  BOOL bResult = TRUE;
  if (cbBuf == 0 || cbNeeded > cbBuf) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    bResult = FALSE;
  } else {
    // Packing pass over the same names in the same order.
    *pcReturned = 0;
    LPBYTE pSlot = pPorts;
    LPBYTE pEnd = pPorts + cbBuf;
    for (const PortNameSnapshot& snapshot : aSnapshots) {
      for (DWORD i = 0; bResult && i < snapshot.dwCount; ++i) {
        PortRecord record = SnapshotRecord(snapshot, i);
        pEnd = PackPortInfo(&record, Level, pSlot, pEnd);
        if (Level == 1) {
          pSlot += sizeof(PORT_INFO_1);
        } else if (Level == 2) {
          pSlot += sizeof(PORT_INFO_2);
        } else {
          ReportIllegalLevel(Level);
          bResult = FALSE;
          break;
        }
        ++*pcReturned;
      }
      if (!bResult) break;
    }
  }
  for (const PortNameSnapshot& snapshot : aSnapshots) {
    if (snapshot.pBlock) LocalFree(snapshot.pBlock);
  }
  return bResult;
}
