// The datagram commands: send to a name, receive for a name number.
#include "netbios/ncb.h"

UCHAR NetbiosDatagramSend(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, LPCSTR pCallName,
                          UCHAR bNameNumber) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBDGSEND;
  pNcb->ncb_lana_num = bLana;
  pNcb->ncb_buffer = pBuffer;
  pNcb->ncb_length = wLength;
  NcbSetName(pNcb->ncb_callname, pCallName);
  pNcb->ncb_num = bNameNumber;
  return Netbios(pNcb);
}

UCHAR NetbiosDatagramReceive(UCHAR bLana, PNCB pNcb, PUCHAR pBuffer, WORD wLength, UCHAR bNameNumber) {
  NcbClear(pNcb);
  pNcb->ncb_command = NCBDGRECV;
  pNcb->ncb_lana_num = bLana;
  pNcb->ncb_buffer = pBuffer;
  pNcb->ncb_length = wLength;
  pNcb->ncb_num = bNameNumber;
  return Netbios(pNcb);
}
