// The spooler printers of a port: the printer list each port record holds.
#pragma once

#include "platform.h"
#include "ports/list.h"
#include "ports/port_record.h"

// A spooler printer in a port's printer list.
typedef struct _PrinterEntry {
  LPSTR pName;
  DWORD dwActive;
  DWORD dwReserved;
  // 1 while the spooler says the printer prints to another port: the entry
  // stays (readers walk printer lists without a lock) but gets no status. A
  // job of the printer at this port, or the spooler naming this port again,
  // sets it back to 0.
  DWORD dwDetached;
} PrinterEntry;

// Printer list of a port. AddPrinter and RenamePrinter take OpenLock for
// themselves (never call them holding AvailableLock); the lookups and the
// active marks need no lock. A name block, once in an entry, never changes: a
// rename puts a new block in and keeps the old one until FreeLists, so a
// reader may use the name it read for as long as the module runs. A record
// without a printer list (pPrinters null) has no printers: the operations
// answer FALSE or null.
BOOL CreatePrinterList(PortRecord* pRecord);
BOOL AddPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
void DestroyPrinterList(PortRecord* pRecord);
// Frees the name of every entry, then DestroyPrinterList (shutdown).
void FreePrinterList(PortRecord* pRecord);
// Marks the printer's job at the port; the printer prints here, so a mark of
// having moved away is cleared.
BOOL SetPrinterActive(PortRecord* pRecord, LPCSTR pPrinterName);
// Sets or clears the mark of a printer that prints to another port; FALSE
// when the port has no entry of that name.
BOOL SetPrinterDetached(PortRecord* pRecord, LPCSTR pPrinterName, DWORD dwDetached);
BOOL ResetPrinterActive(PortRecord* pRecord);
BOOL HasPrinter(PortRecord* pRecord, LPCSTR pPrinterName);
BOOL RenamePrinter(PortRecord* pRecord, LPCSTR pOldName, LPCSTR pNewName);
ListNode* FirstPrinter(PortRecord* pRecord);
PrinterEntry* PrinterOf(ListNode* pNode);
// The entry's current name; see above for how long it stays readable.
LPCSTR PrinterNameOf(const PrinterEntry* pEntry);
// Frees the name blocks that renames replaced; FreeLists calls it.
void FreeRetiredNames(void);
