// Discovery of the print servers on each adapter: the ping and refresh
// threads, and the filing of server reports as port records.
#pragma once

#include "netbios/lana.h"
#include "platform.h"

// ServerReport layout: a 79-byte header (type at 1, entry count at 78), then
// 37-byte PortEntry items.
#define REPORT_TYPE_OFFSET 1
#define REPORT_COUNT_OFFSET 78
#define REPORT_TYPE_1 0x01
#define REPORT_TYPE_2 0x80
#define PING_MESSAGE 0x02
// Seconds without a ping on an adapter before ours goes out (plus jitter).
#define PING_PERIOD 60

// Thread entry points; the argument is the adapter's LanaRecord.
DWORD WINAPI RefreshThread(LPVOID pParam);
DWORD WINAPI ListenPingThread(LPVOID pParam);
DWORD WINAPI PingThread(LPVOID pParam);

// Files every port entry of one received report (cbReport bytes at pReport)
// as a new PortRecord in ReportList, under ReportLock. Returns the number of
// records handed to the list (a namesake already there is refreshed instead).
DWORD FileServerReport(const LanaRecord* pLana, const BYTE* pReport, DWORD cbReport);
// The port name of an entry's 16-byte name field, cut at the first blank or
// NUL, into pName (at least 17 bytes). Returns its length.
DWORD CutPortName(const BYTE* pNameField, LPSTR pName);

// The ping schedule's pseudo-random draws (0 to 32767), one state per thread.
void SeedPingRandom(DWORD* pState, DWORD dwSeed);
DWORD DrawPingRandom(DWORD* pState);
// Extra seconds (0 to 9) of one ping period for a draw.
DWORD PingJitter(DWORD dwDraw);
