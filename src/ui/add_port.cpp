// AddPort: ports are found on the network, so adding one only says so.
#include "diag/messages.h"
#include "ui/port_dialogs.h"

BOOL WINAPI AddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName) {
  (void)pName;
  (void)hWnd;
  (void)pMonitorName;
  CHAR szText[MESSAGE_CCH];
  LoadMessage(IDS_ADD_PORT, szText);
  MessageBoxA(nullptr, szText, MessageTitle, MB_ICONINFORMATION | MB_SETFOREGROUND);
  return TRUE;
}
