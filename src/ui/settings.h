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

// The status worker's sleep between cycles, in milliseconds.
extern DWORD RefreshInterval;

void SetConfiguredInterval(DWORD milliseconds);
DWORD GetConfiguredInterval(void);
