// Host controls of the loader stand-in.
#pragma once

#include <chrono>
#include <string>

#include "../win32/loader.h"

namespace plat {

// After DLL_PROCESS_DETACH, how long (real time) FreeLibrary waits for threads
// that run the module's code to end before it decides whether to unmap it.
void SetUnloadGrace(std::chrono::milliseconds grace);

// Whether the shared object at this path is mapped in the process now.
bool IsModuleMapped(const std::string& path);
// Modules that FreeLibrary left mapped: pinned by themselves, or their
// threads still ran after the detach.
int PinnedModuleCount();
// Whether the module loaded from this path pinned itself (GetModuleHandleExA).
bool IsModulePinned(const std::string& path);
// Tests: unmaps the modules left mapped (pinned ones too) whose threads have
// ended since, and restores the default grace, so that the next load starts
// afresh.
void ReleasePinnedModules();

// GetProcAddress typed as the caller's function type.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
  FARPROC proc = GetProcAddress(module, name);
  return reinterpret_cast<Function>(reinterpret_cast<void*>(proc));
}

}  // namespace plat
