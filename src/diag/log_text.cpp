// Escaping of untrusted text (names from the network or the registry) before
// it reaches the log, where a control byte could rewrite a reader's terminal.
#include <cstdio>

#include "diag/log.h"

void EscapeLogText(LPCSTR pText, DWORD cchText, LPSTR pOut, DWORD cbOut) {
  if (pOut == nullptr || cbOut == 0) return;
  DWORD used = 0;
  for (DWORD i = 0; pText != nullptr && i < cchText && pText[i] != '\0'; ++i) {
    BYTE b = static_cast<BYTE>(pText[i]);
    CHAR szEscape[5];
    DWORD cch = 1;
    if (b == '\\') {
      szEscape[0] = szEscape[1] = '\\';
      cch = 2;
    } else if (b < 0x20 || b >= 0x7F) {
      std::snprintf(szEscape, sizeof szEscape, "\\x%02X", b);
      cch = 4;
    } else {
      szEscape[0] = static_cast<CHAR>(b);
    }
    // Only whole escapes go in, so a cut text is never misread.
    if (used + cch >= cbOut) break;
    for (DWORD j = 0; j < cch; ++j) pOut[used++] = szEscape[j];
  }
  pOut[used] = '\0';
}
