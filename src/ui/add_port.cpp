// AddPort: ports are found on the network, so adding one only says so.
#include "diag/messages.h"
#include "ui/port_dialogs.h"

BOOL WINAPI AddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName) {
  (void)pName;
  (void)hWnd;
  (void)pMonitorName;
  ShowMessage(IDS_ADD_PORT, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
  return TRUE;
}
