// The spooler's port operations of the monitor table: enumeration, open and
// close, the print job session, and the operations the monitor declines.
#pragma once

#include "platform.h"
#include "ports/port_record.h"

// Slot 0. Lists the listed available ports, then every open port, as
// PORT_INFO_1 or PORT_INFO_2 in the caller's buffer (structures from its start,
// strings from its end). FALSE with ERROR_INSUFFICIENT_BUFFER when cbBuf is 0
// or too small (*pcbNeeded tells the size); FALSE and nothing written when a
// server name is given.
BOOL WINAPI EnumPorts(LPSTR pName, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned);

// Slot 1. Takes a known port into use and stores its handle (the port's
// record). FALSE for a name that no list holds; sets no last error.
BOOL WINAPI OpenPort(LPSTR pName, LPHANDLE pHandle);

// Slot 3. Registers the printer on the port, marks it active, waits until the
// server reports the printer ready and opens the job's session.
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD JobId, DWORD Level, LPBYTE pDocInfo);

// Slot 4. Sends the job's bytes in packets, always holding back the newest.
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten);

// Slot 5. Declined: stores 0 in *pcbRead and returns FALSE.
BOOL WINAPI ReadPort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuffer, LPDWORD pcbRead);

// Slot 6. Sends the held byte in the end-of-job packet and hangs up.
BOOL WINAPI EndDocPort(HANDLE hPort);

// Slot 7. Returns TRUE; the port stays open for the life of the module.
BOOL WINAPI ClosePort(HANDLE hPort);

// Slots 10 and 12: one routine declines both DeletePort and SetPortTimeOuts
// (three arguments, FALSE, no last error). The table stores its address in
// both slots.
BOOL WINAPI DeletePort(LPSTR pName, HWND hWnd, LPSTR pPortName);

// Slot 11. Declined: writes nothing and returns FALSE.
BOOL WINAPI GetPrinterDataFromPort(HANDLE hPort, DWORD ControlID, LPSTR pValueName, LPSTR lpInBuffer,
                                   DWORD cbInBuffer, LPSTR lpOutBuffer, DWORD cbOutBuffer,
                                   LPDWORD lpcbReturned);

// Internal steps, visible for tests.
DWORD GetPortSize(PortRecord* pRecord, DWORD Level);
LPBYTE PackPortInfo(PortRecord* pRecord, DWORD Level, LPBYTE pSlot, LPBYTE pEnd);
LPBYTE PackPortStrings(LPSTR* ppSources, LPBYTE pSlot, const DWORD* pOffsets, LPBYTE pEnd);
BOOL RegisterPortPrinter(PortRecord* pRecord, LPSTR pPrinterName);
