// The session commands of a job: call, send, hang up.
#include "netbios/ncb.h"

UCHAR NetbiosCall(UCHAR bLana, PNCB pNcb, LPCSTR pLocalName, LPCSTR pRemoteName) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBCALL;
  pNcb->ncb_lana_num = bLana;
  NcbSetName(pNcb->ncb_name, pLocalName);
  NcbSetName(pNcb->ncb_callname, pRemoteName);
  pNcb->ncb_rto = 0;
  pNcb->ncb_sto = 0;
  return Netbios(pNcb);
}

UCHAR NetbiosHangUp(UCHAR bLana, PNCB pNcb, UCHAR bLsn) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBHANGUP;
  pNcb->ncb_lana_num = bLana;
  pNcb->ncb_lsn = bLsn;
  return Netbios(pNcb);
}

UCHAR NetbiosSend(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, UCHAR bLsn) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBSEND;
  pNcb->ncb_lana_num = bLana;
  pNcb->ncb_buffer = pBuffer;
  pNcb->ncb_length = wLength;
  pNcb->ncb_lsn = bLsn;
  return Netbios(pNcb);
}
