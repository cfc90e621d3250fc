// Clearing a control block and writing a NetBIOS name into it.
#include <string.h>

#include "netbios/ncb.h"

void NcbClear(PNCB pNcb) {
  memset(pNcb, 0, sizeof(NCB));
  memset(pNcb->ncb_callname, ' ', NCBNAMSZ);
  memset(pNcb->ncb_name, ' ', NCBNAMSZ);
}

void NcbSetName(PUCHAR pField, LPCSTR pName) {
  size_t cch = strnlen(pName, NCBNAMSZ);
  memcpy(pField, pName, cch);
}
