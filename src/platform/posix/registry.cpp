// The ANSI registry calls over the current hive, and the key handles they
// give out.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../host/registry.h"
#include "../win32/registry.h"
#include "registry_hive.h"

namespace plat::reg {

namespace {

struct KeyHandle {
  std::shared_ptr<Hive> hive;
  KeyId key = 0;
  REGSAM access = 0;
};

// The current hive and the table of open key handles. Handle values are
// counters, never addresses, so a stale or forged HKEY is only ever looked up.
class Registry {
 public:
  static Registry& Get() {
    // Never destroyed: module threads may still call in while the process ends.
    static Registry* registry = new Registry;
    return *registry;
  }

  std::shared_ptr<Hive> Current() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!hive_) hive_ = Hive::OpenMemory();
    return hive_;
  }

  // Installs `hive` (null: none) and closes the one it replaces.
  void Replace(std::shared_ptr<Hive> hive) {
    std::shared_ptr<Hive> old;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      old = std::exchange(hive_, std::move(hive));
    }
    if (old) old->Close();
  }

  std::shared_ptr<Hive> Peek() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hive_;
  }

  HKEY Add(KeyHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uintptr_t value = next_;
    next_ += 4;
    handles_.emplace(value, std::move(handle));
    return reinterpret_cast<HKEY>(value);
  }

  // Finds the key behind `hKey`; HKEY_LOCAL_MACHINE is the current hive's root.
  LONG Resolve(HKEY hKey, KeyHandle* out) {
    if (hKey == HKEY_LOCAL_MACHINE) {
      *out = KeyHandle{Current(), kMachineKey, KEY_ALL_ACCESS};
      return ERROR_SUCCESS;
    }
    if (IsPredefined(hKey)) return ERROR_FILE_NOT_FOUND;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == handles_.end()) return ERROR_INVALID_HANDLE;
    *out = it->second;
    return ERROR_SUCCESS;
  }

  bool Remove(HKEY hKey) {
    KeyHandle removed;
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(hKey));
    if (it == handles_.end()) return false;
    removed = std::move(it->second);
    handles_.erase(it);
    return true;
  }

  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return handles_.size();
  }

  static bool IsPredefined(HKEY hKey) {
    auto value = reinterpret_cast<std::uintptr_t>(hKey);
    return value >= reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) &&
           value <= reinterpret_cast<std::uintptr_t>(HKEY_CLASSES_ROOT) + 6;
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<Hive> hive_;
  std::unordered_map<std::uintptr_t, KeyHandle> handles_;
  std::uintptr_t next_ = 0x10000;
};

// Splits a subkey path into its names. One trailing backslash is allowed (the
// spooler's printers path ends with one); a leading one or an empty name is a
// bad path, and a name longer than the registry allows is refused.
LONG SplitPath(LPCSTR subKey, std::vector<std::string_view>* names) {
  names->clear();
  if (subKey == nullptr || *subKey == '\0') return ERROR_SUCCESS;
  std::string_view path(subKey);
  if (path.front() == '\\') return ERROR_BAD_PATHNAME;
  if (path.back() == '\\') path.remove_suffix(1);
  while (true) {
    std::size_t cut = path.find('\\');
    std::string_view name = path.substr(0, cut);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (name.size() > kMaxKeyName) return ERROR_INVALID_PARAMETER;
    names->push_back(name);
    if (cut == std::string_view::npos) return ERROR_SUCCESS;
    path.remove_prefix(cut + 1);
  }
}

// Walks `names` down from `key`; the result is the key found, or 0.
KeyId Walk(Hive& hive, KeyId key, const std::vector<std::string_view>& names) {
  for (std::string_view name : names) {
    std::optional<KeyId> child = hive.FindChild(key, name);
    if (!child) return 0;
    key = *child;
  }
  return key;
}

// Runs a Reg* call body; nothing thrown crosses into the caller.
template <typename F>
LONG Guarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
}

void CopyName(const std::string& name, LPSTR buffer) {
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
}

// Resolves a handle that must carry `needed` access for the call at hand.
LONG ResolveWithAccess(HKEY hKey, REGSAM needed, KeyHandle* out) {
  LONG rc = Registry::Get().Resolve(hKey, out);
  if (rc != ERROR_SUCCESS) return rc;
  return (out->access & needed) == 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// Reads one item of an open key (a subkey or a value) in a read transaction:
// the handle must grant `needed` and its key must still exist; `missing` when
// `find` comes back empty.
template <typename Item, typename Find>
LONG FindInKey(HKEY hKey, REGSAM needed, LONG missing, Find find, std::optional<Item>* item) {
  KeyHandle handle;
  LONG rc = ResolveWithAccess(hKey, needed, &handle);
  if (rc != ERROR_SUCCESS) return rc;
  return handle.hive->Transact(false, [&]() -> LONG {
    if (!handle.hive->KeyExists(handle.key)) return ERROR_KEY_DELETED;
    *item = find(*handle.hive, handle.key);
    return *item ? ERROR_SUCCESS : missing;
  });
}

}  // namespace

std::shared_ptr<Hive> CurrentHive() { return Registry::Get().Current(); }

}  // namespace plat::reg

using plat::reg::FindInKey;
using plat::reg::Guarded;
using plat::reg::Hive;
using plat::reg::KeyHandle;
using plat::reg::KeyId;
using plat::reg::Registry;

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
  (void)ulOptions;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&]() -> LONG {
    KeyHandle parent;
    LONG rc = Registry::Get().Resolve(hKey, &parent);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string_view> names;
    rc = plat::reg::SplitPath(lpSubKey, &names);
    if (rc != ERROR_SUCCESS) return rc;
    KeyId found = 0;
    rc = parent.hive->Transact(false, [&]() -> LONG {
      if (!parent.hive->KeyExists(parent.key)) return ERROR_KEY_DELETED;
      found = plat::reg::Walk(*parent.hive, parent.key, names);
      return found != 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
    if (rc != ERROR_SUCCESS) return rc;
    *phkResult = Registry::Get().Add(KeyHandle{parent.hive, found, samDesired});
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                            REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                            LPDWORD lpdwDisposition) {
  // Volatile keys are kept like any other: the hive has no notion of a boot.
  (void)Reserved;
  (void)dwOptions;
  (void)lpSecurityAttributes;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  return Guarded([&]() -> LONG {
    KeyHandle parent;
    LONG rc = Registry::Get().Resolve(hKey, &parent);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string_view> names;
    rc = plat::reg::SplitPath(lpSubKey, &names);
    if (rc != ERROR_SUCCESS) return rc;
    std::string_view className = lpClass ? std::string_view(lpClass) : std::string_view();
    KeyId key = 0;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    rc = parent.hive->Transact(true, [&]() -> LONG {
      Hive& hive = *parent.hive;
      if (!hive.KeyExists(parent.key)) return ERROR_KEY_DELETED;
      key = parent.key;
      disposition = REG_OPENED_EXISTING_KEY;
      for (std::size_t i = 0; i < names.size(); ++i) {
        std::optional<KeyId> child = hive.FindChild(key, names[i]);
        if (child) {
          key = *child;
          continue;
        }
        bool last = i + 1 == names.size();
        KeyId created = hive.CreateChild(key, names[i], last ? className : std::string_view());
        hive.TouchKey(key);
        key = created;
        if (last) disposition = REG_CREATED_NEW_KEY;
      }
      return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return rc;
    *phkResult = Registry::Get().Add(KeyHandle{parent.hive, key, samDesired});
    if (lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
  if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::optional<plat::reg::KeyInfo> info;
    LONG rc = FindInKey(
        hKey, KEY_ENUMERATE_SUB_KEYS, ERROR_NO_MORE_ITEMS,
        [&](Hive& hive, KeyId key) { return hive.ChildAt(key, dwIndex); }, &info);
    if (rc != ERROR_SUCCESS) return rc;
    // The sizes count characters without the terminating zero, which must fit
    // too; a buffer too small gets nothing and its size is left as it was.
    bool wantClass = lpClass != nullptr && lpcchClass != nullptr;
    if (info->name.size() >= *lpcchName || (wantClass && info->className.size() >= *lpcchClass)) {
      return ERROR_MORE_DATA;
    }
    plat::reg::CopyName(info->name, lpName);
    *lpcchName = static_cast<DWORD>(info->name.size());
    if (wantClass) {
      plat::reg::CopyName(info->className, lpClass);
      *lpcchClass = static_cast<DWORD>(info->className.size());
    }
    if (lpftLastWriteTime != nullptr) {
      lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(info->writeTime);
      lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(info->writeTime >> 32);
    }
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegEnumKeyA(HKEY hKey, DWORD dwIndex, LPSTR lpName, DWORD cchName) {
  // cchName counts the terminating zero, as on Windows.
  DWORD size = cchName;
  return RegEnumKeyExA(hKey, dwIndex, lpName, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                          LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::optional<plat::reg::ValueInfo> value;
    LONG rc = FindInKey(
        hKey, KEY_QUERY_VALUE, ERROR_NO_MORE_ITEMS,
        [&](Hive& hive, KeyId key) { return hive.ValueAt(key, dwIndex); }, &value);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD size = static_cast<DWORD>(value->data.size());
    // As on Windows: when the name or the data does not fit, the type and the
    // needed data size are reported, the name size is left alone, and neither
    // buffer is written.
    if (lpType != nullptr) *lpType = value->type;
    if (value->name.size() >= *lpcchValueName || (lpData != nullptr && size > *lpcbData)) {
      if (lpcbData != nullptr) *lpcbData = size;
      return ERROR_MORE_DATA;
    }
    plat::reg::CopyName(value->name, lpValueName);
    *lpcchValueName = static_cast<DWORD>(value->name.size());
    if (lpData != nullptr && size != 0) std::memcpy(lpData, value->data.data(), size);
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::string_view name = lpValueName ? std::string_view(lpValueName) : std::string_view();
    std::optional<plat::reg::ValueInfo> value;
    LONG rc = FindInKey(
        hKey, KEY_QUERY_VALUE, ERROR_FILE_NOT_FOUND,
        [&](Hive& hive, KeyId key) { return hive.GetValue(key, name); }, &value);
    if (rc != ERROR_SUCCESS) return rc;
    DWORD size = static_cast<DWORD>(value->data.size());
    if (lpType != nullptr) *lpType = value->type;
    if (lpData != nullptr) {
      if (size > *lpcbData) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
      }
      if (size != 0) std::memcpy(lpData, value->data.data(), size);
    }
    if (lpcbData != nullptr) *lpcbData = size;
    return ERROR_SUCCESS;
  });
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
  (void)Reserved;
  return Guarded([&]() -> LONG {
    KeyHandle handle;
    LONG rc = ResolveWithAccess(hKey, KEY_SET_VALUE, &handle);
    if (rc != ERROR_SUCCESS) return rc;
    std::string_view name = lpValueName ? std::string_view(lpValueName) : std::string_view();
    if (name.size() > plat::reg::kMaxValueName || cbData > plat::reg::kMaxValueData) return ERROR_INVALID_PARAMETER;
    if (lpData == nullptr && cbData != 0) return ERROR_NOACCESS;
    return handle.hive->Transact(true, [&]() -> LONG {
      if (!handle.hive->KeyExists(handle.key)) return ERROR_KEY_DELETED;
      handle.hive->SetValue(handle.key, name, dwType, lpData, cbData);
      return ERROR_SUCCESS;
    });
  });
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
  return Guarded([&]() -> LONG {
    KeyHandle handle;
    LONG rc = ResolveWithAccess(hKey, KEY_SET_VALUE, &handle);
    if (rc != ERROR_SUCCESS) return rc;
    std::string_view name = lpValueName ? std::string_view(lpValueName) : std::string_view();
    return handle.hive->Transact(true, [&]() -> LONG {
      if (!handle.hive->KeyExists(handle.key)) return ERROR_KEY_DELETED;
      return handle.hive->DeleteValue(handle.key, name) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
  });
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
  if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    KeyHandle parent;
    LONG rc = Registry::Get().Resolve(hKey, &parent);
    if (rc != ERROR_SUCCESS) return rc;
    std::vector<std::string_view> names;
    rc = plat::reg::SplitPath(lpSubKey, &names);
    if (rc != ERROR_SUCCESS) return rc;
    return parent.hive->Transact(true, [&]() -> LONG {
      Hive& hive = *parent.hive;
      if (!hive.KeyExists(parent.key)) return ERROR_KEY_DELETED;
      KeyId target = plat::reg::Walk(hive, parent.key, names);
      if (target == 0) return ERROR_FILE_NOT_FOUND;
      // As on Windows NT: the root cannot go, and a key with subkeys stays.
      if (target == plat::reg::kMachineKey || hive.HasChildren(target)) return ERROR_ACCESS_DENIED;
      hive.DeleteKey(target);
      return ERROR_SUCCESS;
    });
  });
}

LONG WINAPI RegCloseKey(HKEY hKey) {
  if (Registry::IsPredefined(hKey)) return ERROR_SUCCESS;
  return Registry::Get().Remove(hKey) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace plat {

RegistryStatus OpenRegistryFile(const std::string& path) {
  std::string error;
  std::shared_ptr<reg::Hive> hive = reg::Hive::OpenFile(path, &error);
  if (!hive) return RegistryStatus{false, error};
  reg::Registry::Get().Replace(std::move(hive));
  return RegistryStatus{};
}

void OpenRegistryInMemory() { reg::Registry::Get().Replace(reg::Hive::OpenMemory()); }

void CloseRegistry() { reg::Registry::Get().Replace(nullptr); }

std::string RegistryFilePath() {
  std::shared_ptr<reg::Hive> hive = reg::Registry::Get().Peek();
  return hive ? hive->path() : std::string();
}

std::size_t OpenKeyHandleCount() { return reg::Registry::Get().Count(); }

}  // namespace plat
