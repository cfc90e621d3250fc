// The control model of running dialogs, shared by the dialog calls and the
// RunningDialog a driver plays: control kinds and state, the messages a
// control answers, and the WM_COMMAND traffic to the dialog procedure.
#pragma once

#include <memory>
#include <string>

#include "window_system.h"

namespace plat::detail {

// What a template's control is, from its class and button style.
ControlKind KindOf(const DialogControl& c);
// The kind as a user reads it ("push button", "centred static text", ...).
std::string KindName(const ControlData& c);
bool IsButton(ControlKind k);
// Check boxes and radio buttons: buttons with a check state.
bool IsCheckable(ControlKind k);
bool Visible(const ControlData& c);
bool Enabled(const ControlData& c);
// Visible, enabled and a tab stop.
bool TakesFocus(const ControlData& c);
// The index of control `id` in the dialog, or -1. Caller holds the dialog's lock.
int IndexOf(const DialogState& d, int id);

// The dialog behind a handle; null (with the last error) for anything else.
std::shared_ptr<DialogState> DialogOf(HWND hDlg);
// The dialog and the index of its control `id`; false (with the last error)
// when either is missing.
bool FindItem(HWND hDlg, int id, std::shared_ptr<DialogState>* dialog, int* index);
bool HasEnded(const DialogState& d);

// The dialog procedure, called on the calling thread without the lock.
INT_PTR CallProc(const std::shared_ptr<DialogState>& d, UINT msg, WPARAM wParam, LPARAM lParam);
// WM_COMMAND from control `index` with a notification code.
void Notify(const std::shared_ptr<DialogState>& d, int index, WORD code);
// WM_COMMAND as the dialog manager sends it for a key or the close box.
void Command(const std::shared_ptr<DialogState>& d, int id);

// Up-downs, under the dialog's lock: the buddy's number when it is a whole
// number within the range, the buddy's text written from the position, and
// one click of an arrow.
bool ReadBuddy(const DialogState& d, const ControlData& u, int* value);
void WriteBuddy(DialogState& d, const ControlData& u);
void Step(ControlData& u, bool up);

// Messages to a control, as its window procedure would answer them.
LRESULT ControlMessage(const std::shared_ptr<DialogState>& d, int index, UINT msg, WPARAM wParam, LPARAM lParam);
// A click on control `index`, without asking whether a user could reach it.
bool PressControl(const std::shared_ptr<DialogState>& d, int index);

}  // namespace plat::detail
