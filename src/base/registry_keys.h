// The monitor's registry keys: a self-closing key, opening or creating a key,
// the popup flags as one-byte values and the "Timer" value.
#pragma once

#include "platform.h"

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
// Writes "Timer" (REG_DWORD, seconds).
LONG WriteTimerValue(HKEY hRoot, DWORD dwSeconds);
