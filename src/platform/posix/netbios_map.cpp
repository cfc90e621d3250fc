// The system's NetBIOS adapter map in the registry, written for the
// service's adapters as the operating system does at start.
#include <cstring>
#include <string>
#include <vector>

#include "../host/netbios.h"
#include "../win32/kernel.h"
#include "../win32/registry.h"

namespace plat {

bool WriteNetbiosAdapterMap() {
  static const char kMapKey[] = "SOFTWARE\\Microsoft\\Rpc\\Netbios";
  static const char kPrefix[] = "ncacn_nb_nb";
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kMapKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS)
    return false;

  // Values of adapters that are gone go first, so the map names only live ones.
  std::vector<std::string> stale;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD cch = sizeof name;
    LONG r = RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS) continue;
    if (std::strncmp(name, kPrefix, sizeof kPrefix - 1) == 0) stale.emplace_back(name);
  }
  for (const auto& name : stale) RegDeleteValueA(key, name.c_str());

  bool ok = true;
  for (const auto& adapter : NetbiosAdapters()) {
    // A reader takes the first character of the data as the LANA digit, so
    // only adapters 0 to 9 can be named here.
    if (!adapter.inAdapterMap || adapter.lana > 9) continue;
    std::string name = kPrefix + std::to_string(adapter.lana);
    std::string data = std::to_string(adapter.lana);
    ok = RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                        static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS && ok;
  }
  RegCloseKey(key);
  return ok;
}

}  // namespace plat
