// The table of port operations that InitializeMonitorEx hands to the spooler:
// the 13-slot ANSI MONITOR table, declared here (not the NT table of the
// spooler's headers, which has an AddPortEx slot and Unicode strings).
#pragma once

#include <cstddef>

#include "platform.h"

struct _COMMTIMEOUTS;

typedef struct _MONITOR {
  BOOL(WINAPI* pfnEnumPorts)(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                             LPDWORD pcReturned);
  BOOL(WINAPI* pfnOpenPort)(LPSTR pName, LPHANDLE pHandle);
  BOOL(WINAPI* pfnOpenPortEx)(LPSTR pPortName, LPSTR pPrinterName, LPHANDLE pHandle,
                              struct _MONITOR* pMonitor);
  BOOL(WINAPI* pfnStartDocPort)(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                                LPBYTE pDocInfo);
  BOOL(WINAPI* pfnWritePort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);
  BOOL(WINAPI* pfnReadPort)(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);
  BOOL(WINAPI* pfnEndDocPort)(HANDLE hPort);
  BOOL(WINAPI* pfnClosePort)(HANDLE hPort);
  BOOL(WINAPI* pfnAddPort)(LPSTR pName, HWND hWnd, LPSTR pMonitorName);
  BOOL(WINAPI* pfnConfigurePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
  BOOL(WINAPI* pfnDeletePort)(LPSTR pName, HWND hWnd, LPSTR pPortName);
  BOOL(WINAPI* pfnGetPrinterDataFromPort)(HANDLE hPort, DWORD ControlID, LPSTR pValueName,
                                          LPSTR lpInBuffer, DWORD cbInBuffer, LPSTR lpOutBuffer,
                                          DWORD cbOutBuffer, LPDWORD lpcbReturned);
  BOOL(WINAPI* pfnSetPortTimeOuts)(HANDLE hPort, struct _COMMTIMEOUTS* lpCTO, DWORD reserved);
} MONITOR, *LPMONITOR;

#define MONITOR_SLOT_COUNT 13
#define MONITOR_SLOT_OFFSET(slot) ((slot) * sizeof(void*))

// The spooler finds each operation by its slot: pin every one.
static_assert(sizeof(MONITOR) == MONITOR_SLOT_COUNT * sizeof(void*), "13 slots, nothing else");
static_assert(offsetof(MONITOR, pfnEnumPorts) == MONITOR_SLOT_OFFSET(0));
static_assert(offsetof(MONITOR, pfnOpenPort) == MONITOR_SLOT_OFFSET(1));
static_assert(offsetof(MONITOR, pfnOpenPortEx) == MONITOR_SLOT_OFFSET(2));
static_assert(offsetof(MONITOR, pfnStartDocPort) == MONITOR_SLOT_OFFSET(3));
static_assert(offsetof(MONITOR, pfnWritePort) == MONITOR_SLOT_OFFSET(4));
static_assert(offsetof(MONITOR, pfnReadPort) == MONITOR_SLOT_OFFSET(5));
static_assert(offsetof(MONITOR, pfnEndDocPort) == MONITOR_SLOT_OFFSET(6));
static_assert(offsetof(MONITOR, pfnClosePort) == MONITOR_SLOT_OFFSET(7));
static_assert(offsetof(MONITOR, pfnAddPort) == MONITOR_SLOT_OFFSET(8));
static_assert(offsetof(MONITOR, pfnConfigurePort) == MONITOR_SLOT_OFFSET(9));
static_assert(offsetof(MONITOR, pfnDeletePort) == MONITOR_SLOT_OFFSET(10));
static_assert(offsetof(MONITOR, pfnGetPrinterDataFromPort) == MONITOR_SLOT_OFFSET(11));
static_assert(offsetof(MONITOR, pfnSetPortTimeOuts) == MONITOR_SLOT_OFFSET(12));
#if defined(_WIN32) && !defined(_WIN64)
// The 32-bit spoolers hand over a table of 13 four-byte slots.
static_assert(sizeof(MONITOR) == 52 && offsetof(MONITOR, pfnSetPortTimeOuts) == 48, "MONITOR of 32-bit Windows");
#endif

// The exported entry points (by these names, unmangled).
typedef BOOL(WINAPI* PFN_INITIALIZE_MONITOR_EX)(LPSTR pRegistryRoot, LPMONITOR pMonitor);
#define INITIALIZE_MONITOR_EX_NAME "InitializeMonitorEx"

// Runs start-up with the monitor's registry root; on success fills all 13
// slots and returns TRUE. On failure logs "InitMonitor failed", returns FALSE
// and leaves the table as it was.
extern "C" MODULE_EXPORT BOOL WINAPI InitializeMonitorEx(LPSTR pRegistryRoot, LPMONITOR pMonitor);
// Process attach: keeps the instance and starts the log; process detach:
// ShutdownMonitor. Always TRUE.
extern "C" MODULE_EXPORT BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID lpReserved);
