// A registry key handle that closes itself, and small helpers over the Reg* calls.
#include "registry_key.h"

namespace spoolhost {

bool RegKey::Open(const std::string& path) {
  Close();
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key_) == ERROR_SUCCESS;
}

bool RegKey::Create(const std::string& path) {
  Close();
  char cls[] = "REG_SZ";
  DWORD disposition = 0;
  return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, cls, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                         nullptr, &key_, &disposition) == ERROR_SUCCESS;
}

void RegKey::Close() {
  if (key_ != nullptr) RegCloseKey(key_);
  key_ = nullptr;
}

std::optional<std::string> RegKey::String(const std::string& value) const {
  if (key_ == nullptr) return std::nullopt;
  char data[1024] = {};
  DWORD type = 0;
  DWORD size = sizeof data - 1;
  if (RegQueryValueExA(key_, value.c_str(), nullptr, &type, reinterpret_cast<LPBYTE>(data), &size) != ERROR_SUCCESS)
    return std::nullopt;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  return std::string(data);  // stops at the terminating zero
}

bool RegKey::SetString(const std::string& value, const std::string& data) {
  return key_ != nullptr && RegSetValueExA(key_, value.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                           static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
}

std::vector<std::string> RegKey::SubKeys() const {
  std::vector<std::string> names;
  if (key_ == nullptr) return names;
  for (DWORD i = 0;; ++i) {
    char name[260] = {};
    DWORD size = sizeof name;
    if (RegEnumKeyExA(key_, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.emplace_back(name, size);
  }
  return names;
}

std::string RegQuote(const std::string& text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '\\' || ch == '"') out.push_back('\\');
    out.push_back(ch);
  }
  return out + "\"";
}

}  // namespace spoolhost
