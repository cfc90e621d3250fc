// The monitor's own key: open-or-create, popup flags, and the settings read at start.
#include "ui/settings_registry.h"

#include "diag/log.h"
#include "monitor/module_state.h"
#include "ui/settings.h"

#define MS_PER_SECOND 1000

LONG OpenOrCreateKey(HKEY hParent, LPCSTR pPath, PHKEY phKey) {
  LONG lResult = RegOpenKeyExA(hParent, pPath, 0, KEY_ALL_ACCESS, phKey);
  if (lResult == ERROR_SUCCESS) return lResult;
  DWORD dwDisposition = 0;
  return RegCreateKeyExA(hParent, pPath, 0, const_cast<LPSTR>(REG_KEY_CLASS), REG_OPTION_NON_VOLATILE,
                         KEY_ALL_ACCESS, nullptr, phKey, &dwDisposition);
}

DWORD ReadFlagValue(HKEY hKey, LPCSTR pValueName) {
  // A missing flag reads 0 (popup off): the writers always store all three
  // flags together, so this only meets a hand-edited or damaged key, and a
  // popup the user never asked for is the worse surprise.
  DWORD dwFlag = 0;
  DWORD cbFlag = 1;
  if (RegQueryValueExA(hKey, pValueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(&dwFlag), &cbFlag) !=
      ERROR_SUCCESS) {
    return 0;
  }
  return dwFlag;
}

LONG WriteFlagValue(HKEY hKey, LPCSTR pValueName, DWORD dwFlag) {
  BYTE bFlag = static_cast<BYTE>(dwFlag & 0xFF);
  return RegSetValueExA(hKey, pValueName, 0, REG_BINARY, &bFlag, 1);
}

void ReadPortFlags(HKEY hPortKey, PortRecord* pRecord) {
  WriteShared(pRecord->dwOffline, ReadFlagValue(hPortKey, REG_VALUE_OFFLINE));
  WriteShared(pRecord->dwOutOfPaper, ReadFlagValue(hPortKey, REG_VALUE_OUT_OF_PAPER));
  WriteShared(pRecord->dwNoResponse, ReadFlagValue(hPortKey, REG_VALUE_NO_RESPONSE));
}

void WritePortFlags(HKEY hPortKey, const PortRecord* pRecord) {
  WriteFlagValue(hPortKey, REG_VALUE_OFFLINE, ReadShared(pRecord->dwOffline));
  WriteFlagValue(hPortKey, REG_VALUE_OUT_OF_PAPER, ReadShared(pRecord->dwOutOfPaper));
  WriteFlagValue(hPortKey, REG_VALUE_NO_RESPONSE, ReadShared(pRecord->dwNoResponse));
}

LONG WriteTimerValue(HKEY hRoot, DWORD dwSeconds) {
  return RegSetValueExA(hRoot, REG_VALUE_TIMER, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwSeconds),
                        sizeof dwSeconds);
}

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
