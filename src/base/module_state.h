// Module-wide state shared by the subsystems: the stop flag, the instance,
// the registry root, the shared port texts and the background threads.
#pragma once

#include "platform.h"

// Set to 1 once by ShutdownMonitor; every background loop ends when it sees it.
extern DWORD StopFlag;
// The module instance handle kept at process attach (dialogs, strings).
extern HINSTANCE ModuleInstance;
// Path of the monitor's own key under HKEY_LOCAL_MACHINE (260-byte block).
extern LPSTR RegistryRoot;
// Message strings 518 and 519 in 64-byte blocks, shared by every port record.
extern LPSTR DescriptionText;
extern LPSTR MonitorNameText;
// Entries 0..7: the RefreshThread of adapter record i; entry 8: StatusThread.
#define THREAD_HANDLE_COUNT 9
#define STATUS_THREAD_SLOT 8
extern HANDLE ThreadHandles[THREAD_HANDLE_COUNT];
// Background threads of the module (the status worker, the RefreshThreads,
// their ping threads) that have not yet ended. A thread is counted before it
// is created and takes itself off as its last act, so that the shutdown can
// see it end while the loader lock keeps it from finishing its exit.
extern LONG RunningThreadCount;

// CreateThread for a module thread, counted in RunningThreadCount; the routine
// must end with SignalThreadEnd. NULL, and not counted, when it cannot be made.
HANDLE StartModuleThread(LPTHREAD_START_ROUTINE pRoutine, LPVOID pParam);
// A module thread's last act: only its routine's return follows, into the
// system's thread start, which the rest of the unload far outlasts.
void SignalThreadEnd(void);

// Single bytes and 32-bit words that one thread writes and others poll without
// a lock (stop flag, port status, popup flags, intervals) go through these, so
// that every such access is one indivisible load or store.
template <typename T>
inline T ReadShared(const T& value) {
  return __atomic_load_n(&value, __ATOMIC_ACQUIRE);
}

template <typename T>
inline void WriteShared(T& value, T newValue) {
  __atomic_store_n(&value, newValue, __ATOMIC_RELEASE);
}

inline BOOL IsStopping(void) { return ReadShared(StopFlag) != 0; }
