// The refresh interval shared by all ports, and the settings' registry names.
#pragma once

#include "platform.h"

#define MIN_TIMER 16
#define MAX_TIMER 999
#define DEFAULT_TIMER 16

#define REG_VALUE_VERSION "Version"
#define REG_VALUE_TIMER "Timer"
#define REG_VALUE_OFFLINE "Offline"
#define REG_VALUE_OUT_OF_PAPER "OutOfPaper"
#define REG_VALUE_NO_RESPONSE "NoResponse"
#define REG_KEY_CLASS "REG_SZ"
#define MONITOR_VERSION "1.04"
#define PRINTERS_KEY_PATH "System\\CurrentControlSet\\control\\Print\\Printers\\"

// The status worker's sleep between cycles, in milliseconds. Set at start and
// copied from ConfiguredInterval by ConfigurePort; written and read through
// WriteShared/ReadShared, as threads poll it without a lock. 0 until start-up.
extern DWORD RefreshInterval;

// The interval as last set at start or by the Configure dialog, in
// milliseconds; 0 until start-up sets it.
void SetConfiguredInterval(DWORD milliseconds);
DWORD GetConfiguredInterval(void);
