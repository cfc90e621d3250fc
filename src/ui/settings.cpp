// The refresh interval in memory: RefreshInterval and ConfiguredInterval.
#include "ui/settings.h"

#include "monitor/module_state.h"

DWORD RefreshInterval = 0;

namespace {

// Only SetConfiguredInterval and GetConfiguredInterval touch it.
DWORD ConfiguredInterval = 0;

}  // namespace

void SetConfiguredInterval(DWORD milliseconds) { WriteShared(ConfiguredInterval, milliseconds); }

DWORD GetConfiguredInterval(void) { return ReadShared(ConfiguredInterval); }
