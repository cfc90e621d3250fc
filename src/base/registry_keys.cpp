// The monitor's registry keys: open-or-create, popup flags, the "Timer" value.
#include "base/registry_keys.h"

#include "base/settings.h"

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

LONG WriteTimerValue(HKEY hRoot, DWORD dwSeconds) {
  return RegSetValueExA(hRoot, REG_VALUE_TIMER, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwSeconds),
                        sizeof dwSeconds);
}
