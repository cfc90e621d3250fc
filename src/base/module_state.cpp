// Definitions of the module-wide state; see module_state.h.
#include "base/module_state.h"

DWORD StopFlag = 0;
HINSTANCE ModuleInstance = nullptr;
LPSTR RegistryRoot = nullptr;
LPSTR DescriptionText = nullptr;
LPSTR MonitorNameText = nullptr;
HANDLE ThreadHandles[THREAD_HANDLE_COUNT] = {};
LONG RunningThreadCount = 0;

HANDLE StartModuleThread(LPTHREAD_START_ROUTINE pRoutine, LPVOID pParam) {
  __atomic_fetch_add(&RunningThreadCount, 1, __ATOMIC_ACQ_REL);
  DWORD dwThreadId = 0;
  HANDLE hThread = CreateThread(nullptr, 0, pRoutine, pParam, 0, &dwThreadId);
  if (hThread == nullptr) __atomic_fetch_sub(&RunningThreadCount, 1, __ATOMIC_ACQ_REL);
  return hThread;
}

void SignalThreadEnd(void) { __atomic_fetch_sub(&RunningThreadCount, 1, __ATOMIC_ACQ_REL); }
