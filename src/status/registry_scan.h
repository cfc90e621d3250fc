// The registry scan that keeps the monitor's port and printer keys in step
// with the spooler's printers.
#pragma once

#include "platform.h"

// Moves printer keys to the port that the spooler's "Port" value names, and
// follows printers that were renamed (keys and OpenList's printer lists). Run
// by the status worker once per cycle; takes no list lock of its own.
void ScanPrinterRegistry(void);
