// The About dialog (114) and its hidden internal-version message.
#include <cstdio>

#include "base/module_state.h"
#include "base/settings.h"
#include "diag/messages.h"
#include "ui/port_dialogs.h"

// Two lines: the maker with the internal version, then the author credit.
#define INTERNAL_VERSION_FORMAT \
  "Varnhold TAVRO team, port monitor internal version %s\nWritten by the Varnhold TAVRO developers"

BOOL RunAboutDialog(HWND hWnd) {
  return DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(IDD_ABOUT), hWnd, AboutDlgProc, 0) == 1;
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  (void)lParam;
  if (uMsg == WM_INITDIALOG) return TRUE;
  if (uMsg != WM_COMMAND) return FALSE;
  switch (LOWORD(wParam)) {
    case IDOK:
    // The close box and Escape close the About dialog as OK does: there is
    // nothing in it to cancel, and a dialog that ignores its close box only
    // confuses.
    case IDCANCEL:
      EndDialog(hDlg, 1);
      return TRUE;
    case IDC_INTERNAL: {
      CHAR szText[MESSAGE_CCH];
      CHAR szCaption[MESSAGE_CCH];
      std::snprintf(szText, sizeof szText, INTERNAL_VERSION_FORMAT, MONITOR_VERSION);
      LoadMessage(IDS_TITLE, szCaption);
      MessageBoxA(hDlg, szText, szCaption, MB_OK | MB_SETFOREGROUND);
      return TRUE;
    }
    default:
      return FALSE;
  }
}
