// Status popups shown without holding the status worker.
#pragma once

#include "platform.h"

// Shows the text in a message box on a thread of its own, unless a box about
// the same printer (its entry's address, as an identity) and condition (the
// port's ServerStatus) is still open. TRUE when a box was raised; FALSE when
// one is open already, or it could not be raised now (it comes again at the
// next cycle).
BOOL RaiseStatusPopup(const void* pPrinter, BYTE bCondition, LPCSTR pText);
// Popup threads not yet ended. The unload does not wait for them, but one
// still running comes back into the module's code when its box is closed.
extern LONG OpenPopupCount;
