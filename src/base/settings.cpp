// The refresh interval in memory: RefreshInterval and ConfiguredInterval.
#include "base/settings.h"

#include "base/module_state.h"

DWORD RefreshInterval = 0;

namespace {

// Only SetConfiguredInterval and GetConfiguredInterval touch it.
DWORD ConfiguredInterval = 0;

}  // namespace

void SetConfiguredInterval(DWORD milliseconds) { WriteShared(ConfiguredInterval, milliseconds); }

DWORD GetConfiguredInterval(void) { return ReadShared(ConfiguredInterval); }
