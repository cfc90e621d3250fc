// The loader stand-in: LoadLibraryA, GetProcAddress and FreeLibrary over
// dlopen, calling the module's DllMain at attach and detach.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../host/loader.h"
#include "../host/resources.h"
#include "../host/system.h"
#include "../win32/kernel.h"
#include "instance.h"

namespace plat {
namespace {

constexpr std::chrono::milliseconds kDefaultGrace{2000};

struct LoadedModule {
  HINSTANCE instance = nullptr;
  int references = 0;
  bool pinned = false;  // by GetModuleHandleExA: never unmapped
};

struct KeptModule {
  HINSTANCE instance = nullptr;
  bool pinnedItself = false;
};

struct LoaderState {
  // Serialises load and unload as a whole (DllMain included), as the
  // Windows loader lock does.
  std::recursive_mutex loaderLock;
  // Guards the tables below; never held while a DllMain runs.
  std::mutex mutex;
  std::map<void*, LoadedModule> modules;  // by dlopen handle
  std::vector<KeptModule> kept;
  std::chrono::milliseconds grace{kDefaultGrace};
};

// Never destroyed: modules left mapped keep their instances to the very end.
LoaderState& State() {
  static LoaderState& state = *new LoaderState();
  return state;
}

LoadedModule* FindByInstanceLocked(LoaderState& s, HMODULE module) {
  for (auto& [handle, loaded] : s.modules) {
    if (loaded.instance == module) return &loaded;
  }
  return nullptr;
}

PDLL_ENTRY EntryOf(void* handle) {
  return reinterpret_cast<PDLL_ENTRY>(dlsym(handle, "DllMain"));
}

link_map* LinkMapOf(void* handle) {
  link_map* map = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0) return nullptr;
  return map;
}

// The module whose code or data holds `address`, or whose file has `name`.
LoadedModule* FindByAddressLocked(LoaderState& s, const void* address) {
  Dl_info info{};
  link_map* owner = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0 || owner == nullptr) {
    return nullptr;
  }
  for (auto& [handle, loaded] : s.modules) {
    if (LinkMapOf(handle) == owner) return &loaded;
  }
  return nullptr;
}

std::string LowerFileName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  return name;
}

LoadedModule* FindByNameLocked(LoaderState& s, const std::string& name) {
  const std::string wanted = LowerFileName(PosixPath(name));
  for (auto& [handle, loaded] : s.modules) {
    if (LowerFileName(loaded.instance->path) == wanted) return &loaded;
  }
  return nullptr;
}

// Threads started with CreateThread whose start routine is the module's code.
int ModuleThreadCount(void* handle) {
  link_map* module = LinkMapOf(handle);
  if (module == nullptr) return 0;
  int count = 0;
  for (const void* start : LiveThreadStarts()) {
    Dl_info info{};
    link_map* owner = nullptr;
    if (dladdr1(start, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) != 0 &&
        owner == module) {
      ++count;
    }
  }
  return count;
}

// Waits (real time, up to the grace) until no thread runs the module's code.
bool WaitForModuleThreads(void* handle, std::chrono::milliseconds grace) {
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (ModuleThreadCount(handle) > 0) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace

void SetUnloadGrace(std::chrono::milliseconds grace) {
  LoaderState& s = State();
  std::lock_guard lock(s.mutex);
  s.grace = grace;
}

bool IsModuleMapped(const std::string& path) {
  void* handle = dlopen(PosixPath(path).c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
}

int PinnedModuleCount() {
  LoaderState& s = State();
  std::lock_guard lock(s.mutex);
  return static_cast<int>(s.kept.size());
}

bool IsModulePinned(const std::string& path) {
  LoaderState& s = State();
  std::lock_guard lock(s.mutex);
  const std::string wanted = PosixPath(path);
  for (const auto& [handle, loaded] : s.modules) {
    if (loaded.pinned && loaded.instance->path == wanted) return true;
  }
  return std::any_of(s.kept.begin(), s.kept.end(), [&](const KeptModule& kept) {
    return kept.pinnedItself && kept.instance->path == wanted;
  });
}

void ReleasePinnedModules() {
  LoaderState& s = State();
  std::lock_guard loaderLock(s.loaderLock);
  std::lock_guard lock(s.mutex);
  s.grace = kDefaultGrace;
  // A module that pinned itself goes too: no later test may load it again
  // with the globals of an earlier one.
  std::erase_if(s.kept, [](const KeptModule& kept) {
    if (ModuleThreadCount(kept.instance->dlHandle) > 0) return false;
    dlclose(kept.instance->dlHandle);
    delete kept.instance;
    return true;
  });
}

}  // namespace plat

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  plat::LoaderState& s = plat::State();
  std::lock_guard loaderLock(s.loaderLock);
  std::string path = plat::PosixPath(lpLibFileName);
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  HINSTANCE instance = nullptr;
  {
    std::lock_guard lock(s.mutex);
    auto it = s.modules.find(handle);
    if (it != s.modules.end()) {
      // Already loaded: one more reference, and dlopen's own count stays at one.
      ++it->second.references;
      dlclose(handle);
      return it->second.instance;
    }
    instance = new HINSTANCE__();
    instance->resources =
        static_cast<const plat::ResourceTable*>(dlsym(handle, plat::kResourceTableSymbol));
    instance->dlHandle = handle;
    instance->path = path;
    s.modules[handle] = plat::LoadedModule{instance, 1};
  }
  PDLL_ENTRY entry = plat::EntryOf(handle);
  if (entry != nullptr && !entry(instance, DLL_PROCESS_ATTACH, nullptr)) {
    // As on Windows: a refused attach is followed by the detach, and the
    // module is unloaded again.
    entry(instance, DLL_PROCESS_DETACH, nullptr);
    {
      std::lock_guard lock(s.mutex);
      s.modules.erase(handle);
    }
    dlclose(handle);
    delete instance;
    SetLastError(ERROR_DLL_INIT_FAILED);
    return nullptr;
  }
  return instance;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  plat::LoaderState& s = plat::State();
  void* handle = nullptr;
  {
    std::lock_guard lock(s.mutex);
    plat::LoadedModule* loaded = plat::FindByInstanceLocked(s, hModule);
    if (loaded != nullptr) handle = loaded->instance->dlHandle;
  }
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void* symbol = lpProcName == nullptr ? nullptr : dlsym(handle, lpProcName);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
  plat::LoaderState& s = plat::State();
  std::lock_guard loaderLock(s.loaderLock);
  void* handle = nullptr;
  std::chrono::milliseconds grace{};
  {
    std::lock_guard lock(s.mutex);
    plat::LoadedModule* loaded = plat::FindByInstanceLocked(s, hLibModule);
    if (loaded == nullptr) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (loaded->pinned || --loaded->references > 0) return TRUE;
    handle = hLibModule->dlHandle;
    grace = s.grace;
  }
  // The module stays listed during its detach, so that it can still pin itself.
  PDLL_ENTRY entry = plat::EntryOf(handle);
  if (entry != nullptr) entry(hLibModule, DLL_PROCESS_DETACH, nullptr);
  bool pinned = false;
  {
    std::lock_guard lock(s.mutex);
    pinned = s.modules[handle].pinned;
    s.modules.erase(handle);
    if (pinned) s.kept.push_back({hLibModule, true});
  }
  if (pinned) return TRUE;
  // A thread still running the module's code after the detach would jump into
  // unmapped memory: such a module stays mapped (and its instance alive) for
  // the rest of the process instead. Windows would unmap it; the stand-in
  // keeps it so that a module that forgot to pin itself fails a test rather
  // than crashing the process.
  if (!plat::WaitForModuleThreads(handle, grace)) {
    std::lock_guard lock(s.mutex);
    s.kept.push_back({hLibModule, false});
    return TRUE;
  }
  dlclose(handle);
  delete hLibModule;
  return TRUE;
}

BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule) {
  if (phModule == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *phModule = nullptr;
  if (lpModuleName == nullptr) {
    // The process's own executable is no module of the loader's.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  plat::LoaderState& s = plat::State();
  std::lock_guard loaderLock(s.loaderLock);
  std::lock_guard lock(s.mutex);
  plat::LoadedModule* loaded = (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) != 0
                                   ? plat::FindByAddressLocked(s, lpModuleName)
                                   : plat::FindByNameLocked(s, lpModuleName);
  if (loaded == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_PIN) != 0) {
    loaded->pinned = true;
  } else if ((dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) == 0) {
    ++loaded->references;
  }
  *phModule = loaded->instance;
  return TRUE;
}
