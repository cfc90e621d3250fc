// The adapter commands: enumerate, reset and adapter status.
#include "netbios/ncb.h"

UCHAR NetbiosEnum(PNCB pNcb, PUCHAR pBuffer, WORD wLength) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBENUM;
  pNcb->ncb_buffer = pBuffer;
  pNcb->ncb_length = wLength;
  return Netbios(pNcb);
}

UCHAR NetbiosReset(UCHAR bLana) {
  NCB ncb;
  NcbClear(&ncb);
  ncb.ncb_command = NCBRESET;
  ncb.ncb_lana_num = bLana;
  ncb.ncb_lsn = 0;             // allocate resources
  ncb.ncb_callname[0] = 18;    // sessions
  ncb.ncb_callname[2] = 6;     // names
  return Netbios(&ncb);
}

UCHAR NetbiosAdapterStatus(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, LPCSTR pCallName) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBASTAT;
  pNcb->ncb_lana_num = bLana;
  pNcb->ncb_buffer = pBuffer;
  pNcb->ncb_length = wLength;
  NcbSetName(pNcb->ncb_callname, pCallName);
  return Netbios(pNcb);
}
