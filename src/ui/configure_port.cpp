// ConfigurePort: the Configure dialog for one port, then the new interval
// for the status worker.
#include "base/module_state.h"
#include "base/resource.h"
#include "base/settings.h"
#include "ui/port_dialogs.h"

BOOL WINAPI ConfigurePort(LPSTR pName, HWND hWnd, LPSTR pPortName) {
  (void)pName;
  BOOL bResult = RunConfigureDialog(hWnd, pPortName);
  // The worker takes the interval at its next sleep, so a change reaches it
  // only once the dialog has closed.
  WriteShared(RefreshInterval, GetConfiguredInterval());
  return bResult;
}

BOOL RunConfigureDialog(HWND hWnd, LPSTR pPortName) {
  return DialogBoxParamA(ModuleInstance, MAKEINTRESOURCEA(IDD_CONFIGURE), hWnd, ConfigureDlgProc,
                         reinterpret_cast<LPARAM>(pPortName)) == 1;
}
