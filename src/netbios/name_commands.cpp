// The name commands: add a unique or group name, delete a name.
#include "netbios/ncb.h"

UCHAR NetbiosDeleteName(UCHAR bLana, LPCSTR pName) {
  NCB ncb;
  NcbClear(&ncb);
  ncb.ncb_command = NCBDELNAME;
  ncb.ncb_lana_num = bLana;
  NcbSetName(ncb.ncb_name, pName);
  return Netbios(&ncb);
}

UCHAR NetbiosAddName(UCHAR bLana, LPCSTR pName, DWORD dwIsGroup, PUCHAR pNameNumber) {
  // A name still held from an earlier run is replaced.
  (void)NetbiosDeleteName(bLana, pName);

  NCB ncb;
  NcbClear(&ncb);
  ncb.ncb_command = dwIsGroup ? NCBADDGRNAME : NCBADDNAME;
  ncb.ncb_lana_num = bLana;
  NcbSetName(ncb.ncb_name, pName);
  UCHAR bRet = Netbios(&ncb);
  if (bRet == NRC_GOODRET) *pNameNumber = ncb.ncb_num;
  return bRet;
}
