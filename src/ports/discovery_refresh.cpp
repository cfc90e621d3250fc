// RefreshThread: receives the servers' reports on an adapter and files them;
// starts the adapter's ping threads.
#include "base/module_state.h"
#include "diag/log.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"

DWORD WINAPI RefreshThread(LPVOID pParam) {
  LanaRecord* pLana = (LanaRecord*)pParam;
  WriteLogFormat("Refresh thread", "Lana: %02u", pLana->bLanaNum);

  HANDLE hThread = CreateThread(NULL, 0, ListenPingThread, pLana, 0, NULL);
  if (hThread == NULL)
    WriteLog("RefreshThread", "CreateThread failed for ListenPingThread");
  else
    CloseHandle(hThread);
  hThread = CreateThread(NULL, 0, PingThread, pLana, 0, NULL);
  if (hThread == NULL)
    WriteLog("RefreshThread", "CreateThread failed for PingThread");
  else
    CloseHandle(hThread);

  while (!IsStopping()) {
    UCHAR bRet = NetbiosDatagramReceive(pLana->bLanaNum, &pLana->ncbReport, pLana->abReport, REPORT_BUFFER_SIZE,
                                        pLana->bSrvGroupNum);
    if (bRet != NRC_GOODRET) Sleep(3000);
    if (bRet == NRC_GOODRET && pLana->ncbReport.ncb_retcode == NRC_GOODRET)
      FileServerReport(pLana, pLana->abReport, pLana->ncbReport.ncb_length);
  }
  return 0;
}
