// Definitions of the module-wide state; see module_state.h.
#include "base/module_state.h"

DWORD StopFlag = 0;
HINSTANCE ModuleInstance = nullptr;
LPSTR RegistryRoot = nullptr;
LPSTR DescriptionText = nullptr;
LPSTR MonitorNameText = nullptr;
HANDLE ThreadHandles[THREAD_HANDLE_COUNT] = {};
