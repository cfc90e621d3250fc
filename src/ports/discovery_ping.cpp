// PingThread and ListenPingThread: one ping per period on an adapter, shared
// with every other monitor that pings there.
#include "base/module_state.h"
#include "diag/log.h"
#include "netbios/ncb.h"
#include "ports/discovery.h"

void SeedPingRandom(DWORD* pState, DWORD dwSeed) { *pState = dwSeed; }

DWORD DrawPingRandom(DWORD* pState) {
  *pState = *pState * 214013u + 2531011u;
  return (*pState >> 16) & 0x7FFF;
}

DWORD PingJitter(DWORD dwDraw) {
  // The single-precision constant 10/32767, widened: a draw of 32767 gives 9.
  const float fScale = 0.00030518509f;
  return (DWORD)((double)dwDraw * (double)fScale);
}

DWORD WINAPI ListenPingThread(LPVOID pParam) {
  LanaRecord* pLana = (LanaRecord*)pParam;
  while (!IsStopping()) {
    NCB ncb;
    BYTE bMessage = 0;
    UCHAR bRet = NetbiosDatagramReceive(pLana->bLanaNum, &ncb, &bMessage, 1, pLana->bQdlGroupNum);
    if (bRet == NRC_GOODRET && bMessage == PING_MESSAGE) WriteShared(pLana->tLastPing, GetMonotonicSeconds());
    Sleep(1000);
  }
  SignalThreadEnd();
  return 0;
}

DWORD WINAPI PingThread(LPVOID pParam) {
  LanaRecord* pLana = (LanaRecord*)pParam;
  WriteLogFormat("PingThread", "Lana: %02u", pLana->bLanaNum);
  WriteShared(pLana->tLastPing, (DWORD)0);

  // Each thread keeps its own generator, so adapters do not share one state.
  DWORD dwRandom;
  SeedPingRandom(&dwRandom, GetClockSeconds());
  DWORD dwJitter = PingJitter(DrawPingRandom(&dwRandom));

  while (!IsStopping()) {
    // The schedule runs on the monotonic clock, so that a step of the date
    // neither holds pings back nor sends them in a burst. 0: none yet.
    DWORD tLastPing = ReadShared(pLana->tLastPing);
    double dElapsed = (double)GetMonotonicSeconds() - (double)tLastPing;
    if (tLastPing == 0 || dElapsed > (double)(PING_PERIOD + dwJitter)) {
      dwJitter = PingJitter(DrawPingRandom(&dwRandom));
      NCB ncb;
      BYTE bPing = PING_MESSAGE;
      UCHAR bRet = NetbiosDatagramSend(pLana->bLanaNum, &ncb, &bPing, 1, QDL_GROUP_NAME, pLana->bSrvGroupNum);
      if (bRet != NRC_GOODRET)
        WriteLogFormat("PingThread", "PING unsuccessful: %02X", bRet);
      else
        WriteShared(pLana->tLastPing, GetMonotonicSeconds());
    }
    Sleep(1000);
  }
  SignalThreadEnd();
  return 0;
}
