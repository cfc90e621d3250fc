// The monitor's own key: opening or creating its keys, the popup flags as
// one-byte values, and the settings that start-up reads from it.
#pragma once

#include "platform.h"
#include "ports/port_list.h"

// Closes a registry key when it goes out of scope.
class KeyHolder {
 public:
  KeyHolder() = default;
  ~KeyHolder() { Close(); }
  KeyHolder(const KeyHolder&) = delete;
  KeyHolder& operator=(const KeyHolder&) = delete;

  HKEY Get() const { return hKey_; }
  PHKEY Out() {
    Close();
    return &hKey_;
  }
  void Close() {
    if (hKey_ != nullptr) RegCloseKey(hKey_);
    hKey_ = nullptr;
  }

 private:
  HKEY hKey_ = nullptr;
};

// Opens `pPath` below `hParent` with full access or, when that fails, creates
// it with the class "REG_SZ", non-volatile, full access, no security
// attributes. Returns the registry result; *phKey is null on failure.
LONG OpenOrCreateKey(HKEY hParent, LPCSTR pPath, PHKEY phKey);

// A popup flag: a one-byte read into a word whose higher bytes are zero, so the
// flag is the stored byte. A value that is missing (or is not one byte) reads 0.
DWORD ReadFlagValue(HKEY hKey, LPCSTR pValueName);
// Writes the low byte of `dwFlag` as a one-byte REG_BINARY value.
LONG WriteFlagValue(HKEY hKey, LPCSTR pValueName, DWORD dwFlag);
// The three flags of a port key, "Offline", "OutOfPaper", "NoResponse" in this
// order, into or out of a port record.
void ReadPortFlags(HKEY hPortKey, PortRecord* pRecord);
void WritePortFlags(HKEY hPortKey, const PortRecord* pRecord);

// Writes "Timer" (REG_DWORD, seconds).
LONG WriteTimerValue(HKEY hRoot, DWORD dwSeconds);
// Start-up's reading of the settings from the monitor's key `hRoot`: writes
// "Version" = "1.04", reads "Timer" (missing: 16 is written and used; above 999:
// the log line "dwKeyValue Timer overflow" under "InitMonitor", 16 written and
// used; otherwise used as it is, 0 included) and sets RefreshInterval and
// ConfiguredInterval to it in milliseconds. A null `hRoot` (the key could be
// neither opened nor created) reads nothing and uses 16 seconds.
void ReadMonitorSettings(HKEY hRoot);
