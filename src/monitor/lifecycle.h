// Start-up and shutdown of the module, run by its entry points.
#pragma once

#include "platform.h"

// Initialises the common controls and keeps the instance as ModuleInstance.
void InitModule(HINSTANCE hInstance);
// Start-up: adapters and names, lists, texts, settings, remembered ports,
// threads. TRUE when the module can run.
BOOL InitMonitor(LPCSTR pRegistryRoot);
// Start-up's reading of the settings from the monitor's key `hRoot`: writes
// "Version" = "1.04", reads "Timer" (missing: 16 is written and used; above 999:
// the log line "dwKeyValue Timer overflow" under "InitMonitor", 16 written and
// used; otherwise used as it is, 0 included) and sets RefreshInterval and
// ConfiguredInterval to it in milliseconds. A null `hRoot` (the key could be
// neither opened nor created) reads nothing and uses 16 seconds.
void ReadMonitorSettings(HKEY hRoot);
// Unload: stops and waits for the threads, then frees what start-up made.
void ShutdownMonitor(void);

// How far start-up got, so that shutdown releases only what exists.
extern BOOL ListLocksCreated;
