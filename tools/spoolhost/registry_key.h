// A registry key handle that closes itself, and small helpers over the Reg* calls.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace spoolhost {

class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Opens or creates `path` under HKEY_LOCAL_MACHINE; false when it cannot.
  bool Open(const std::string& path);
  bool Create(const std::string& path);
  void Close();
  HKEY Get() const { return key_; }

  std::optional<std::string> String(const std::string& value) const;
  bool SetString(const std::string& value, const std::string& data);
  // Names of the subkeys, in the order of enumeration.
  std::vector<std::string> SubKeys() const;

 private:
  HKEY key_ = nullptr;
};

// Quotes text for a REGEDIT4 string ("..." with \ and " escaped).
std::string RegQuote(const std::string& text);

}  // namespace spoolhost
