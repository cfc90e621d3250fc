// Port and printer names: their comparison, double-byte aware, and the
// 260-byte blocks that hold them.
#include <cstring>

#include "base/module_state.h"
#include "ports/names.h"

// The code page whose lead bytes the comparison honours; 0 is single-byte.
static UINT NameCodePage = 0;

BOOL SetNameCodePage(UINT codePage) {
  switch (codePage) {
    case 0:
    case 1252:
      WriteShared(NameCodePage, 0u);
      return TRUE;
    case 932:
      WriteShared(NameCodePage, 932u);
      return TRUE;
    default:
      return FALSE;
  }
}

// Shift-JIS (code page 932) lead bytes.
static bool IsLeadByte(UINT codePage, BYTE b) {
  return codePage == 932 && ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC));
}

// The character at *pIndex of a name as one unit (a lead byte and its trail
// byte as one 16-bit value), 0 at the end; advances *pIndex past it. A lead
// byte whose trail is the NUL, or lies beyond what a name block holds, ends
// the text, as the stored copy of such a name ends there.
static UINT NextNameUnit(const BYTE* pName, size_t* pIndex, UINT codePage) {
  const size_t limit = NAME_BLOCK_SIZE - 1;
  size_t i = *pIndex;
  if (pName == nullptr || i >= limit || pName[i] == 0) return 0;
  BYTE b = pName[i];
  if (!IsLeadByte(codePage, b)) {
    *pIndex = i + 1;
    return b;
  }
  if (i + 1 >= limit || pName[i + 1] == 0) return 0;
  *pIndex = i + 2;
  return (static_cast<UINT>(b) << 8) | pName[i + 1];
}

int CompareNames(LPCSTR a, LPCSTR b) {
  const UINT codePage = ReadShared(NameCodePage);
  const BYTE* pa = reinterpret_cast<const BYTE*>(a);
  const BYTE* pb = reinterpret_cast<const BYTE*>(b);
  size_t ia = 0;
  size_t ib = 0;
  for (;;) {
    UINT ua = NextNameUnit(pa, &ia, codePage);
    UINT ub = NextNameUnit(pb, &ib, codePage);
    if (ua != ub) return ua < ub ? -1 : 1;
    if (ua == 0) return 0;
  }
}

void CopyName(LPSTR pBlock, LPCSTR pName) {
  if (pBlock == nullptr) return;
  size_t length = 0;
  if (pName != nullptr) {
    while (length < NAME_BLOCK_SIZE - 1 && pName[length] != '\0') ++length;
    memcpy(pBlock, pName, length);
  }
  pBlock[length] = '\0';
}

LPSTR NewNameBlock(LPCSTR pName) {
  LPSTR pBlock = static_cast<LPSTR>(LocalAlloc(LPTR, NAME_BLOCK_SIZE));
  if (pBlock != nullptr) CopyName(pBlock, pName);
  return pBlock;
}
