// The status worker: files the server reports, keeps the registry in step and
// mirrors each open port's server status into its spooler printers.
#pragma once

#include "platform.h"
#include "ports/port_record.h"

// A port whose last report is older than this many seconds does not respond.
#define REPORT_MAX_AGE 66

// The thread routine, started once by InitMonitor; ends through ExitThread(0)
// when it finds StopFlag set (at start, and after each sleep).
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
