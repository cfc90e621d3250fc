// The module's message strings: loading with the fallback text, the caption
// of the module's message boxes, and the out-of-memory message.
#include <cstdio>

#include "diag/messages.h"
#include "monitor/module_state.h"

CHAR MessageTitle[MESSAGE_CCH] = {};

int LoadMessage(WORD id, LPSTR buffer) {
  if (buffer == nullptr) return 0;
  int length = LoadStringA(ModuleInstance, id, buffer, MESSAGE_CCH);
  if (length != 0) return length;
  length = std::snprintf(buffer, MESSAGE_CCH, "Cannot load resource string ID %d.", static_cast<int>(id));
  return length < 0 ? 0 : length;
}

void ShowOutOfMemory(void) {
  CHAR szText[MESSAGE_CCH];
  LoadMessage(IDS_OUT_OF_MEMORY, szText);
  MessageBoxA(nullptr, szText, MessageTitle, MB_ICONINFORMATION | MB_SETFOREGROUND);
}
