// Start-up and shutdown of the module, run by its entry points.
#pragma once

#include "platform.h"

// Initialises the common controls and keeps the instance as ModuleInstance.
void InitModule(HINSTANCE hInstance);
// Start-up: adapters and names, lists, texts, settings, remembered ports,
// threads. TRUE when the module can run.
BOOL InitMonitor(LPCSTR pRegistryRoot);
// Unload: stops and waits for the threads, then frees what start-up made.
void ShutdownMonitor(void);

// How far start-up got, so that shutdown releases only what exists.
extern BOOL ListLocksCreated;
