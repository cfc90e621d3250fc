// The module's message strings: loading with the fallback text, the caption
// of the module's message boxes, and showing a message in a box.
#include <cstdio>

#include "base/module_state.h"
#include "diag/messages.h"

CHAR MessageTitle[MESSAGE_CCH] = {};

int LoadMessage(WORD id, LPSTR buffer) {
  if (buffer == nullptr) return 0;
  int length = LoadStringA(ModuleInstance, id, buffer, MESSAGE_CCH);
  if (length != 0) return length;
  length = std::snprintf(buffer, MESSAGE_CCH, "Cannot load resource string ID %d.", static_cast<int>(id));
  return length < 0 ? 0 : length;
}

int ShowMessage(WORD id, UINT uType, HWND hOwner) {
  CHAR szText[MESSAGE_CCH];
  LoadMessage(id, szText);
  return ShowMessageText(szText, uType, hOwner);
}

int ShowMessageText(LPCSTR pText, UINT uType, HWND hOwner) { return MessageBoxA(hOwner, pText, MessageTitle, uType); }
