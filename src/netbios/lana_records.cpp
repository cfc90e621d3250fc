// The adapter records, the module's unique name on an adapter, and the
// registration and release of the module's three names.
#include <stdio.h>
#include <string.h>

#include "diag/log.h"
#include "netbios/lana.h"
#include "netbios/ncb.h"

LanaRecord LanaRecords[MAX_LANA_RECORDS];
DWORD LanaCount = 0;

// Room for the ADAPTER_STATUS and 255 NAME_BUFFERs.
#define ADAPTER_STATUS_BUFFER 4650

UCHAR MyNetbiosName(UCHAR bLana, LPSTR pName) {
  NCB ncb;
  BYTE abBuffer[ADAPTER_STATUS_BUFFER];
  UCHAR bRet = NetbiosAdapterStatus(bLana, &ncb, abBuffer, ADAPTER_STATUS_BUFFER, "*");
  if (bRet == NRC_GOODRET) {
    const ADAPTER_STATUS* pStatus = (const ADAPTER_STATUS*)abBuffer;
    CHAR szName[LOCAL_NAME_CCH];
    int cch = snprintf(szName, sizeof szName, "OV_");
    for (int i = 5; i >= 0; --i) cch += snprintf(szName + cch, sizeof szName - cch, "%02X", pStatus->adapter_address[i]);
    memcpy(pName, szName, (size_t)cch + 1);
  }
  return bRet;
}

void RegisterAdapterNames(LanaRecord* pLana) {
  UCHAR bRet = NetbiosAddName(pLana->bLanaNum, SRV_GROUP_NAME, TRUE, &pLana->bSrvGroupNum);
  if (bRet != NRC_GOODRET) WriteLogFormat("InitMonitor", "AddName Group ret: %02X", bRet);

  bRet = NetbiosAddName(pLana->bLanaNum, QDL_GROUP_NAME, TRUE, &pLana->bQdlGroupNum);
  if (bRet != NRC_GOODRET) WriteLogFormat("InitMonitor", "AddName QDLGroup ret: %02X", bRet);

  bRet = MyNetbiosName(pLana->bLanaNum, pLana->szLocalName);
  if (bRet != NRC_GOODRET) WriteLogFormat("InitMonitor", "MyNetbiosName ret: %02X", bRet);

  // Added with whatever the record holds when the step above failed: zero in
  // a record never named, which the adapter refuses and the log shows.
  bRet = NetbiosAddName(pLana->bLanaNum, pLana->szLocalName, FALSE, &pLana->bLocalNameNum);
  if (bRet != NRC_GOODRET) {
    WriteLogFormat("InitMonitor", "AddName Local Name: %s", pLana->szLocalName);
    WriteLogFormat("InitMonitor", "AddName Unique ret: %02X", bRet);
  }
}

void ReleaseAdapterNames(LanaRecord* pLana) {
  (void)NetbiosDeleteName(pLana->bLanaNum, SRV_GROUP_NAME);
  (void)NetbiosDeleteName(pLana->bLanaNum, QDL_GROUP_NAME);
  (void)NetbiosDeleteName(pLana->bLanaNum, pLana->szLocalName);
}
