// The print job session: StartDocPort waits for the printer and calls the
// server port, WritePort sends the job in packets holding back the newest
// byte, EndDocPort sends that byte in the end-of-job packet and hangs up.
#include <cstdio>
#include <cstring>

#include "base/module_state.h"
#include "diag/log.h"
#include "diag/messages.h"
#include "netbios/ncb.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "spool/port_operations.h"

namespace {

// JobPacket: kind, a reserved zero byte, the payload length (16 bits, little
// endian), then the payload.
const BYTE kPacketData = 0x00;
const BYTE kPacketEndOfJob = 0x01;
const DWORD kPacketHeaderSize = 4;
const DWORD kMaxPayload = 3068;
const DWORD kEndOfJobPacketSize = kPacketHeaderSize + 1;
const DWORD kStatusPollMs = 3000;

void FillPacketHeader(LPBYTE pPacket, BYTE bKind, WORD wLength) {
  pPacket[0] = bKind;
  pPacket[1] = 0;
  pPacket[2] = (BYTE)(wLength & 0xFF);
  pPacket[3] = (BYTE)(wLength >> 8);
}

// The names a job's call uses. The status worker rewrites the adapter and
// the local name of an open port from each fresh report, so they are copied
// together under the list's lock; the called name is the port's NetBIOS name,
// at most 16 characters.
struct CallNames {
  BYTE bLanaNum;
  CHAR szLocalName[LOCAL_NAME_SIZE];
  CHAR szCName[NETBIOS_NAME_SIZE + 1];
};

void CopyCallNames(PortRecord* pPort, CallNames* pNames) {
  CopySessionAddress(pPort, &pNames->bLanaNum, pNames->szLocalName);
  SIZE_T cch = pPort->pCName ? strnlen(pPort->pCName, NETBIOS_NAME_SIZE) : 0;
  if (cch) memcpy(pNames->szCName, pPort->pCName, cch);
  pNames->szCName[cch] = '\0';
}

void LogCallFailure(UCHAR ret, const CallNames& names) {
  WriteLogFormat("StartDocPort", "NetbiosCall ret: %02X", ret);
  WriteLogFormat("StartDocPort", "Lana: %02X", names.bLanaNum);
  WriteLogFormat("StartDocPort", "Local Name: %s", names.szLocalName);
  WriteLogFormat("StartDocPort", "pCName: %s", names.szCName);
}

BOOL IsWaitStatus(BYTE bStatus) {
  return bStatus == STATUS_NONE || bStatus == STATUS_OFFLINE || bStatus == STATUS_PAPER_OUT;
}

// Polls the port's status every 3 seconds while it reports no printer, off
// line or out of paper. FALSE when the module is stopping: unloading frees
// the record, so the wait must end before that and not look at it again.
BOOL WaitForPrinter(PortRecord* pPort) {
  for (;;) {
    if (IsStopping()) return FALSE;
    if (!IsWaitStatus(ReadShared(pPort->Entry.bStatus))) return TRUE;
    Sleep(kStatusPollMs);
  }
}

// Sends one packet of wLength payload bytes: the held byte first if one is
// held, then wLength - 1 or wLength new bytes from pData. The caller's bytes
// are copied once, into the packet's own block.
UCHAR SendDataPacket(PortRecord* pPort, BOOL bHeld, LPBYTE pData, WORD wLength, BOOL* pbNoMemory) {
  LPBYTE pPacket = static_cast<LPBYTE>(LocalAlloc(LPTR, kPacketHeaderSize + wLength));
  if (!pPacket) {
    *pbNoMemory = TRUE;
    return 0;
  }
  FillPacketHeader(pPacket, kPacketData, wLength);
  LPBYTE pPayload = pPacket + kPacketHeaderSize;
  if (bHeld) *pPayload++ = pPort->bHeldByte;
  memcpy(pPayload, pData, wLength - (bHeld ? 1 : 0));
  NCB ncb;
  UCHAR ret = NetbiosSend(pPort->bSessionLana, &ncb, pPacket, (WORD)(kPacketHeaderSize + wLength), pPort->bLsn);
  LocalFree(pPacket);
  return ret;
}

// Calls the server port and keeps the session's adapter and number. A full
// session table or a name not yet listening is called again every 3 seconds
// for as long as it lasts, each time with the adapter and local name that the
// latest reports gave the port. FALSE (logged) for any other failure or when
// the module is stopping.
BOOL CallServerPort(PortRecord* pPort, LPCSTR pPrinterName) {
  CallNames names;
  CopyCallNames(pPort, &names);
  NCB ncb;
  UCHAR ret = NetbiosCall(names.bLanaNum, &ncb, names.szLocalName, names.szCName);
  if (ret == NRC_REMTFUL || ret == NRC_NOCALL) {
    LogCallFailure(ret, names);
    while (ret == NRC_REMTFUL || ret == NRC_NOCALL) {
      Sleep(kStatusPollMs);
      if (IsStopping()) {
        WriteLogFormat("StartDocPort", "return FALSE %s", pPrinterName);
        return FALSE;
      }
      CopyCallNames(pPort, &names);
      ret = NetbiosCall(names.bLanaNum, &ncb, names.szLocalName, names.szCName);
    }
  }
  if (ret == NRC_GOODRET) {
    pPort->bSessionLana = names.bLanaNum;
    pPort->bLsn = ncb.ncb_lsn;
    return TRUE;
  }
  LogCallFailure(ret, names);
  WriteLog("StartDocPort", "return FALSE");
  return FALSE;
}

}  // namespace

// Makes the printer's key under the port's key, then adds the printer to the
// port's printer list: a printer is only ever in the list with its key, so
// that the next start knows it too. FALSE when the key cannot be made
// (logged; the printer stays out of the list and its next job tries again)
// or, after the out-of-memory message, when memory is short.
BOOL RegisterPortPrinter(PortRecord* pPort, LPSTR pPrinterName) {
  // Sized to fit root, port and printer, however long; never below the usual
  // 260 bytes.
  LPCSTR pRoot = RegistryRoot ? RegistryRoot : "";
  LPCSTR pPortName = pPort->pPortName ? pPort->pPortName : "";
  SIZE_T cbPath = strlen(pRoot) + 1 + strnlen(pPortName, NAME_BLOCK_SIZE) + 1 + strlen(pPrinterName) + 1;
  if (cbPath < MAX_PATH) cbPath = MAX_PATH;
  LPSTR pPath = static_cast<LPSTR>(LocalAlloc(LPTR, cbPath));
  if (!pPath) {
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
    return FALSE;
  }
  snprintf(pPath, cbPath, "%s\\%.*s\\%s", pRoot, (int)strnlen(pPortName, NAME_BLOCK_SIZE), pPortName,
           pPrinterName);
  HKEY hKey = nullptr;
  DWORD dwDisposition = 0;
  LONG lResult = RegCreateKeyExA(HKEY_LOCAL_MACHINE, pPath, 0, const_cast<LPSTR>("REG_SZ"),
                                 REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition);
  LocalFree(pPath);
  if (lResult != ERROR_SUCCESS) {
    WriteLogFormat("StartDocPort", "RegCreateKeyEx ret: %ld %.64s", (long)lResult, pPrinterName);
    return FALSE;
  }
  RegCloseKey(hKey);
  if (!AddPrinter(pPort, pPrinterName)) {
    ShowMessage(IDS_OUT_OF_MEMORY, MB_ICONINFORMATION | MB_SETFOREGROUND, nullptr);
    return FALSE;
  }
  return TRUE;
}

// Returns TRUE with the job's session open. FALSE when the printer's name
// does not fit a name block, when the server reports a state other than
// ready once the printer is back, when the call fails other than by a full
// session table or a name not yet listening (both retried every 3 seconds),
// or when the module is stopping; the spooler ends no job whose start failed,
// so every FALSE clears the printer's active mark first. Sets no last error.
BOOL WINAPI StartDocPort(HANDLE hPort, LPSTR pPrinterName, DWORD, DWORD, LPBYTE) {
  PortRecord* pPort = static_cast<PortRecord*>(hPort);
  if (!pPort || !pPrinterName) return FALSE;

  // A longer name would be kept cut: it would never match its job again, and
  // each job would add the printer once more.
  if (strnlen(pPrinterName, NAME_BLOCK_SIZE) >= NAME_BLOCK_SIZE) {
    WriteLogFormat("StartDocPort", "Printer name longer than %d bytes: %.64s", NAME_BLOCK_SIZE - 1, pPrinterName);
    WriteLog("StartDocPort", "return FALSE");
    return FALSE;
  }

  // A printer the port does not know yet is registered, and its job then
  // prints like any other.
  if (!HasPrinter(pPort, pPrinterName)) RegisterPortPrinter(pPort, pPrinterName);
  if (!SetPrinterActive(pPort, pPrinterName)) {
    WriteLogFormat("StartDocPort", "SetPrinterActive failed: %s", pPrinterName);
    RegisterPortPrinter(pPort, pPrinterName);
    SetPrinterActive(pPort, pPrinterName);
  }
  pPort->dwJobActive = 1;
  pPort->dwByteHeld = 0;
  pPort->bLsn = 0;  // no session yet: EndDocPort hangs up only a session it has

  BOOL bCalled = FALSE;
  if (!WaitForPrinter(pPort)) {
    WriteLogFormat("StartDocPort", "return FALSE %s", pPrinterName);
  } else if (BYTE bStatus = ReadShared(pPort->Entry.bStatus); bStatus != STATUS_READY && bStatus != STATUS_READY2) {
    WriteLogFormat("StartDocPort", "%s Vava status: %02X", pPrinterName, bStatus);
    WriteLogFormat("StartDocPort", "return FALSE %s", pPrinterName);
  } else {
    bCalled = CallServerPort(pPort, pPrinterName);
  }
  if (!bCalled) {
    if (!ResetPrinterActive(pPort)) WriteLog("StartDocPort", "ResetPrinterActive failed");
    pPort->dwJobActive = 0;
  }
  return bCalled;
}

// Sends all given bytes but the newest, which it holds for the next packet.
// TRUE with *pcbWritten = cbBuf (the held byte counts as written); a call of
// any size is taken in full. FALSE when a packet cannot be had (message 516)
// or a send fails, with *pcbWritten the payload this call sent before.
BOOL WINAPI WritePort(HANDLE hPort, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
  DWORD dwIgnored = 0;
  if (!pcbWritten) pcbWritten = &dwIgnored;
  PortRecord* pPort = static_cast<PortRecord*>(hPort);
  if (!pPort || (cbBuf && !pBuffer)) {
    *pcbWritten = 0;
    return FALSE;
  }

  DWORD cbSent = 0;
  DWORD r = cbBuf;
  LPBYTE pData = pBuffer;
  while (r > 0) {
    BOOL bHeld = pPort->dwByteHeld != 0;
    // Full packets while more than one packet's worth waits; then the rest
    // but its last byte; a lone new byte with none held is only held.
    DWORD cbNew;
    if (r >= kMaxPayload + (bHeld ? 0 : 2)) {
      cbNew = kMaxPayload;
    } else if (r == 1 && !bHeld) {
      pPort->bHeldByte = pData[0];
      pPort->dwByteHeld = 1;
      break;
    } else {
      cbNew = r;
    }
    // The payload is the held byte and all taken new bytes but the last,
    // which becomes the held byte.
    WORD wLength = (WORD)((bHeld ? 1 : 0) + cbNew - 1);
    BOOL bNoMemory = FALSE;
    UCHAR ret = SendDataPacket(pPort, bHeld, pData, wLength, &bNoMemory);
    if (bNoMemory) {
      ShowMessage(IDS_NOT_ENOUGH_MEMORY, MB_OK | MB_SETFOREGROUND, nullptr);
      *pcbWritten = cbSent;
      WriteLog("WritePort", "LocalAlloc failed");
      return FALSE;
    }
    pPort->bHeldByte = pData[cbNew - 1];
    pPort->dwByteHeld = 1;
    pData += cbNew;
    r -= cbNew;
    if (ret != NRC_GOODRET) {
      WriteLogFormat("WritePort", "NetbiosSend ret: %02X", ret);
      *pcbWritten = cbSent;
      return FALSE;
    }
    cbSent += wLength;
  }
  *pcbWritten = cbBuf;
  return TRUE;
}

// Sends the held byte in the end-of-job packet, hangs up the job's session
// and clears the printer's active mark. FALSE when that send fails (logged):
// the job is incomplete at the box, though its session is hung up all the
// same. FALSE after message 516 when the packet cannot be had: the session
// then stays open and the byte held, so that the job can still be ended.
BOOL WINAPI EndDocPort(HANDLE hPort) {
  PortRecord* pPort = static_cast<PortRecord*>(hPort);
  if (!pPort) return FALSE;

  BOOL bResult = TRUE;
  if (pPort->dwByteHeld) {
    LPBYTE pPacket = static_cast<LPBYTE>(LocalAlloc(LPTR, kEndOfJobPacketSize));
    if (!pPacket) {
      ShowMessage(IDS_NOT_ENOUGH_MEMORY, MB_OK | MB_SETFOREGROUND, nullptr);
      if (!ResetPrinterActive(pPort)) WriteLog("EndDocPort", "ResetPrinterActive failed");
      pPort->dwJobActive = 0;
      WriteLog("EndDocPort", "LocalAlloc failed");
      return FALSE;
    }
    FillPacketHeader(pPacket, kPacketEndOfJob, 1);
    pPacket[kPacketHeaderSize] = pPort->bHeldByte;
    NCB ncb;
    UCHAR ret = NetbiosSend(pPort->bSessionLana, &ncb, pPacket, (WORD)kEndOfJobPacketSize, pPort->bLsn);
    if (ret != NRC_GOODRET) {
      WriteLogFormat("EndDocPort", "NetbiosSend ret: %02X", ret);
      bResult = FALSE;
    }
    LocalFree(pPacket);
  }
  // A job whose start failed opened no session, and there is none to end:
  // hanging up the previous job's session number could end someone else's.
  if (pPort->bLsn != 0) {
    NCB ncb;
    NetbiosHangUp(pPort->bSessionLana, &ncb, pPort->bLsn);
    pPort->bLsn = 0;
  }
  pPort->dwByteHeld = 0;
  if (!ResetPrinterActive(pPort)) WriteLog("EndDocPort", "ResetPrinterActive failed");
  pPort->dwJobActive = 0;
  return bResult;
}
