// The module's message strings: loading with a fallback text, the caption of
// every message box, and showing a message in a box.
#pragma once

#include "base/resource.h"
#include "platform.h"

#define MESSAGE_CCH 128

// Message string 515, the caption of the module's message boxes.
extern CHAR MessageTitle[MESSAGE_CCH];

// Loads string `id` into `buffer` (MESSAGE_CCH characters); a missing or empty
// string gives "Cannot load resource string ID <id>." instead. Returns the
// characters written.
int LoadMessage(WORD id, LPSTR buffer);
// Shows string `id` in a message box of style `uType`, owned by `hOwner` (null:
// no owner), with the caption MessageTitle; returns the button pressed once the
// user has closed it. Each caller names its own style, as the boxes differ.
int ShowMessage(WORD id, UINT uType, HWND hOwner);
// The same for a text the caller has made, e.g. a loaded format filled in.
int ShowMessageText(LPCSTR pText, UINT uType, HWND hOwner);
