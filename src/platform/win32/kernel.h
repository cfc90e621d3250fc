// Kernel stand-ins: local heap, critical sections, threads, time, files,
// the Windows directory and the per-thread last error.
#pragma once

#include <cstdio>

#include "types.h"

// Local heap
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL WINAPI LocalFree(HLOCAL hMem);

// Critical sections (recursive, as on Windows). The storage holds a mutex
// built in place by InitializeCriticalSection.
typedef struct _CRITICAL_SECTION {
  alignas(16) unsigned char Opaque[64];
  LONG Initialized;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Threads
#define STILL_ACTIVE 259
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED 0xFFFFFFFF

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
[[noreturn]] void WINAPI ExitThread(DWORD dwExitCode);
BOOL WINAPI CloseHandle(HANDLE hObject);
// Waits on a thread handle; the timeout counts module time.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// Time. Sleep and the seconds clock run on the platform clock (real, scaled or
// manual), so tests never wait real seconds for module time.
void WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(void);
ULONGLONG WINAPI GetTickCount64(void);
// Seconds since 1 January 1970, 00:00 UTC, on the platform's calendar: the
// module's stand-in for the C runtime's time(). It steps when the date is set.
DWORD GetClockSeconds(void);
// Seconds of the platform's monotonic clock, for ages and schedules: never
// steps, and never 0, so that a time of 0 can stand for "never".
DWORD GetMonotonicSeconds(void);

typedef struct _SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

// Local date and time of the platform clock.
void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);

// Files and directories. Paths may use backslashes; they are mapped to '/'.
UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
// fopen() for a Win32-style path.
FILE* FileOpenA(const char* path, const char* mode);

// Last error, per thread.
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD dwErrCode);
