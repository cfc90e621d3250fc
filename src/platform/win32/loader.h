// Loader stand-ins: load a module, find its exports, unload it, and the
// reasons its DllMain is called with.
#pragma once

#include "types.h"

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DLL_INIT_FAILED 1114L

typedef INT_PTR(WINAPI* FARPROC)(void);
typedef BOOL(WINAPI* PDLL_ENTRY)(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved);

// Loads the module (a shared object; backslashes in the path are read as '/')
// and calls its DllMain with DLL_PROCESS_ATTACH. Loading a module that is
// already loaded only counts one more reference. NULL with the last error set
// when it cannot be loaded or its DllMain refuses the attach.
HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
// The exported symbol of that name, or NULL with ERROR_PROC_NOT_FOUND.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// Drops one reference; the last one calls DllMain with DLL_PROCESS_DETACH and
// unmaps the module. A pinned module stays mapped.
BOOL WINAPI FreeLibrary(HMODULE hLibModule);

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// The loaded module that contains the address lpModuleName (FROM_ADDRESS) or
// whose file has that name. PIN keeps it mapped until the process ends, even
// when it asks during its own detach; without PIN or UNCHANGED_REFCOUNT it
// counts one more reference. FALSE with ERROR_MOD_NOT_FOUND when no loaded
// module matches.
BOOL WINAPI GetModuleHandleExA(DWORD dwFlags, LPCSTR lpModuleName, HMODULE* phModule);
