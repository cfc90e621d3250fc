// The spooler's AddPort and ConfigurePort, the Configure and About dialogs
// they run, and the help the dialogs open.
#pragma once

#include "platform.h"

// Slot 8. Tells the user that ports are found on the network, with no owner
// window whatever the spooler passes; adds nothing. Returns TRUE; sets no
// last error.
BOOL WINAPI AddPort(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
// Slot 9. Runs the Configure dialog for pPortName, owned by hWnd, then hands
// the configured interval to the status worker (RefreshInterval), however the
// dialog ended. Returns the dialog's result: TRUE whenever it could be shown.
// Sets no last error.
BOOL WINAPI ConfigurePort(LPSTR pName, HWND hWnd, LPSTR pPortName);

// Configure dialogs open in the process (0 or 1), and the port the open one
// edits (the caller's text, not owned).
extern DWORD ConfigureCount;
extern LPSTR ConfigurePortName;

// Runs dialog 210 modally with pPortName as its creation parameter; TRUE when
// it ends with code 1, which every way of ending it uses.
BOOL RunConfigureDialog(HWND hWnd, LPSTR pPortName);
INT_PTR CALLBACK ConfigureDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
// The dialog's two working steps; both return TRUE.
BOOL ConfigureInitDialog(HWND hDlg, LPSTR pPortName);
BOOL ConfigureOk(HWND hDlg, LPSTR pPortName);

// Runs dialog 114 modally; TRUE when it ends with code 1.
BOOL RunAboutDialog(HWND hWnd);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
// Opens the help file's main window at context 4; returns TRUE.
BOOL ShowHelp(HWND hWnd);
