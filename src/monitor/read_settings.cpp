// Start-up's reading of the settings from the monitor's key.
#include "base/module_state.h"
#include "base/registry_keys.h"
#include "base/settings.h"
#include "diag/log.h"
#include "monitor/lifecycle.h"

#define MS_PER_SECOND 1000

void ReadMonitorSettings(HKEY hRoot) {
  // Without the monitor's key there is nothing to read; the default interval
  // keeps the status worker from spinning on an interval of 0.
  DWORD dwSeconds = DEFAULT_TIMER;
  if (hRoot != nullptr) {
    RegSetValueExA(hRoot, REG_VALUE_VERSION, 0, REG_SZ, reinterpret_cast<const BYTE*>(MONITOR_VERSION),
                   sizeof MONITOR_VERSION);
    // Four bytes whatever the type; a shorter value fills the low bytes.
    DWORD dwTimer = 0;
    DWORD cbTimer = sizeof dwTimer;
    if (RegQueryValueExA(hRoot, REG_VALUE_TIMER, nullptr, nullptr, reinterpret_cast<LPBYTE>(&dwTimer), &cbTimer) !=
        ERROR_SUCCESS) {
      WriteTimerValue(hRoot, DEFAULT_TIMER);
    } else if (dwTimer > MAX_TIMER) {
      WriteLog("InitMonitor", "dwKeyValue Timer overflow");
      WriteTimerValue(hRoot, DEFAULT_TIMER);
    } else {
      dwSeconds = dwTimer;
    }
  }
  WriteShared(RefreshInterval, dwSeconds * MS_PER_SECOND);
  SetConfiguredInterval(dwSeconds * MS_PER_SECOND);
}
