// The module's message strings: loading with a fallback text, the caption of
// every message box, and the out-of-memory message.
#pragma once

#include "platform.h"
#include "ui/resource.h"

#define MESSAGE_CCH 128

// Message string 515, the caption of the module's message boxes.
extern CHAR MessageTitle[MESSAGE_CCH];

// Loads string `id` into `buffer` (MESSAGE_CCH characters); a missing or empty
// string gives "Cannot load resource string ID <id>." instead. Returns the
// characters written.
int LoadMessage(WORD id, LPSTR buffer);
// Shows string 2 in an information box (no owner, caption MessageTitle) and
// returns when the user has closed it.
void ShowOutOfMemory(void);
