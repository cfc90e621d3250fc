// RefreshThread: receives the servers' reports on an adapter and files them;
// starts the adapter's ping threads.
#include "base/module_state.h"
#include "diag/log.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"

DWORD WINAPI RefreshThread(LPVOID pParam) {
  LanaRecord* pLana = (LanaRecord*)pParam;
  WriteLogFormat("Refresh thread", "Lana: %02u", pLana->bLanaNum);

  HANDLE hThread = StartModuleThread(ListenPingThread, pLana);
  if (hThread == NULL)
    WriteLog("RefreshThread", "CreateThread failed for ListenPingThread");
  else
    CloseHandle(hThread);
  hThread = StartModuleThread(PingThread, pLana);
  if (hThread == NULL)
    WriteLog("RefreshThread", "CreateThread failed for PingThread");
  else
    CloseHandle(hThread);

  while (!IsStopping()) {
    UCHAR bRet = NetbiosDatagramReceive(pLana->bLanaNum, &pLana->ncbReport, pLana->abReport, REPORT_BUFFER_SIZE,
                                        pLana->bSrvGroupNum);
    // A receive ended by the shutdown's release of the names needs no pause:
    // the thread is then done before the shutdown's first look.
    if (bRet != NRC_GOODRET && !IsStopping()) Sleep(3000);
    if (bRet == NRC_GOODRET && pLana->ncbReport.ncb_retcode == NRC_GOODRET)
      FileServerReport(pLana, pLana->abReport, pLana->ncbReport.ncb_length);
  }
  SignalThreadEnd();
  return 0;
}
