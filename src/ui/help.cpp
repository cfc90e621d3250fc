// ShowHelp: the help file's main window at the monitor's context.
#include <cstring>

#include "diag/messages.h"
#include "ui/port_dialogs.h"

#define HELP_WINDOW ">(main2)"
#define HELP_CONTEXT_ID 4

BOOL ShowHelp(HWND hWnd) {
  CHAR szHelp[MESSAGE_CCH];
  LoadMessage(IDS_HELP_FILE, szHelp);
  std::strncat(szHelp, HELP_WINDOW, sizeof szHelp - std::strlen(szHelp) - 1);
  WinHelpA(hWnd, szHelp, HELP_CONTEXT, HELP_CONTEXT_ID);
  return TRUE;
}
