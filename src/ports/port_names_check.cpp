// Port names from the network: which can be used, and the log of those
// dropped, one line per name.
#include <cstring>

#include "diag/log.h"
#include "ports/port_lists.h"

// Names already logged, under ReportLock. A box repeats its ports at every
// ping, so each name is told once; a flood of names fills the table, and then
// one last line says that further names go untold.
#define DROPPED_NAMES_KEPT 64
static CHAR DroppedNames[DROPPED_NAMES_KEPT][LOCAL_NAME_SIZE];
static DWORD DroppedNameCount = 0;
static BOOL DroppedNamesFull = FALSE;

BOOL IsUsablePortName(LPCSTR pName) {
  for (const BYTE* p = reinterpret_cast<const BYTE*>(pName); *p != 0; ++p) {
    if (*p == '\\' || *p < 0x20 || *p == 0x7F) return FALSE;
  }
  return TRUE;
}

void LogDroppedPortName(LPCSTR pName) {
  for (DWORD i = 0; i < DroppedNameCount; ++i) {
    if (std::strncmp(DroppedNames[i], pName, LOCAL_NAME_SIZE - 1) == 0) return;
  }
  if (DroppedNameCount == DROPPED_NAMES_KEPT) {
    if (!DroppedNamesFull) WriteLog("RefreshThread", "more unusable port names dropped: not logged");
    DroppedNamesFull = TRUE;
    return;
  }
  std::strncpy(DroppedNames[DroppedNameCount], pName, LOCAL_NAME_SIZE - 1);
  DroppedNames[DroppedNameCount][LOCAL_NAME_SIZE - 1] = '\0';
  ++DroppedNameCount;
  CHAR szName[4 * LOCAL_NAME_SIZE];
  EscapeLogText(pName, LOCAL_NAME_SIZE - 1, szName, sizeof szName);
  WriteLogFormat("RefreshThread", "port name %s dropped: backslash or control character", szName);
}

void ForgetDroppedPortNames(void) {
  DroppedNameCount = 0;
  DroppedNamesFull = FALSE;
}
