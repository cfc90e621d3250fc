// The status worker: files the server reports, keeps the registry in step and
// mirrors each open port's server status into its spooler printers.
#pragma once

#include "platform.h"
#include "ports/discovery.h"
#include "ports/port_record.h"

// A port whose last report is older than this many seconds does not respond.
// Twice the shortest ping period: a box that answers every ping reports at
// least every 70 s (60 s, at most 9 s of jitter, the ping thread's 1-second
// look), which leaves 50 s for late datagrams and busy threads; a box that
// falls silent goes stale two periods of 60 s after its last answer at most,
// and shows within the refresh interval that follows.
#define REPORT_MAX_AGE (2 * PING_PERIOD)
// The worker never cycles faster than this, whatever "Timer" says.
#define MIN_REFRESH_MS 1000

// The thread routine, started once by InitMonitor; returns 0 when it finds
// StopFlag set (at start, and within a second during each sleep).
DWORD WINAPI StatusThread(LPVOID lpParameter);

// One cycle of the worker without the sleep: file the reports, scan the
// registry, then mirror the status and raise the popups for every printer of
// every open port.
void RunStatusCycle(void);

// The spooler printer status for a fresh port's ServerStatus: TRUE with the
// status for ready (0), out of paper and off line; FALSE (leave the printer
// alone) for any other value.
BOOL MapServerStatus(BYTE bStatus, DWORD* pdwPrinterStatus);

// The popup text for a printer of a port in state bStatus, when the port's
// flags ask for one: TRUE with the text in pText (MESSAGE_CCH bytes), cut to
// fit; FALSE when no popup is due.
BOOL FormatStatusPopup(const PortRecord* pRecord, BYTE bStatus, LPCSTR pPrinterName, LPSTR pText);
