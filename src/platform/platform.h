// The one header the module includes for everything it needs from the system.
// On Windows it is the real SDK; elsewhere it declares our stand-ins, which keep
// the Win32 names, types, constants and contracts.
#pragma once

#ifdef _WIN32
// The module uses std::min/std::max where it needs them, never the macros.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <nb30.h>
#include <commctrl.h>
#include <winspool.h>
#include <stdio.h>
#include <time.h>
// winspool.h maps these to their ...A/W forms; the module defines its own
// port operations under the plain names.
#undef EnumPorts
#undef AddPort
#undef ConfigurePort
#undef DeletePort
#define MODULE_EXPORT
// Module time is the C runtime's clock on Windows.
static inline DWORD GetClockSeconds(void) { return (DWORD)time(NULL); }
// Ages and schedules run on the tick count, which a change of the date leaves
// alone; counted from 1, so that a time of 0 can stand for "never".
static inline DWORD GetMonotonicSeconds(void) { return (DWORD)(GetTickCount64() / 1000) + 1; }
static inline FILE* FileOpenA(const char* path, const char* mode) { return fopen(path, mode); }
#else
#include "win32/types.h"
#include "win32/kernel.h"
#include "win32/loader.h"
#include "win32/registry.h"
#include "win32/netbios.h"
#include "win32/spooler.h"
#include "win32/window.h"
#endif
