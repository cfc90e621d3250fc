// The controls of a running dialog: their kinds from the template, their state,
// the messages their window procedures answer, and a click on one.
#include "dialog_controls.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "../win32/kernel.h"

namespace plat::detail {

using Lock = std::lock_guard<std::mutex>;

namespace {

// Up-down arithmetic, under the dialog's lock.
bool InRange(const ControlData& u, long v) {
  return v >= std::min(u.lower, u.upper) && v <= std::max(u.lower, u.upper);
}

int Clamp(const ControlData& u, long v) {
  return static_cast<int>(std::clamp<long>(v, std::min(u.lower, u.upper), std::max(u.lower, u.upper)));
}

}  // namespace

ControlKind KindOf(const DialogControl& c) {
  std::string cls = c.className ? c.className : "";
  std::transform(cls.begin(), cls.end(), cls.begin(), [](unsigned char ch) { return std::toupper(ch); });
  if (cls == "BUTTON") {
    switch (c.style & BS_TYPEMASK) {
      case BS_PUSHBUTTON: return ControlKind::PushButton;
      case BS_DEFPUSHBUTTON: return ControlKind::DefPushButton;
      case BS_CHECKBOX: return ControlKind::CheckBox;
      case BS_AUTOCHECKBOX: return ControlKind::AutoCheckBox;
      case BS_3STATE: return ControlKind::ThreeState;
      case BS_AUTO3STATE: return ControlKind::AutoThreeState;
      case BS_RADIOBUTTON: return ControlKind::RadioButton;
      case BS_AUTORADIOBUTTON: return ControlKind::AutoRadioButton;
      case BS_GROUPBOX: return ControlKind::GroupBox;
      default: return ControlKind::Other;
    }
  }
  if (cls == "STATIC") return ControlKind::Static;
  if (cls == "EDIT") return ControlKind::Edit;
  if (cls == "MSCTLS_UPDOWN32") return ControlKind::UpDown;
  return ControlKind::Other;
}

std::string KindName(const ControlData& c) {
  switch (c.kind) {
    case ControlKind::PushButton: return "push button";
    case ControlKind::DefPushButton: return "default push button";
    case ControlKind::CheckBox: return "check box";
    case ControlKind::AutoCheckBox: return "auto check box";
    case ControlKind::ThreeState: return "3-state check box";
    case ControlKind::AutoThreeState: return "auto 3-state check box";
    case ControlKind::RadioButton: return "radio button";
    case ControlKind::AutoRadioButton: return "auto radio button";
    case ControlKind::GroupBox: return "group box";
    case ControlKind::Static:
      switch (c.style & SS_TYPEMASK) {
        case SS_CENTER: return "centred static text";
        case SS_RIGHT: return "right static text";
        default: return "static text";
      }
    case ControlKind::Edit: return "edit";
    case ControlKind::UpDown: return "up-down";
    case ControlKind::Other: break;
  }
  return c.source->className ? c.source->className : "control";
}

bool IsButton(ControlKind k) {
  return k == ControlKind::PushButton || k == ControlKind::DefPushButton || k == ControlKind::CheckBox ||
         k == ControlKind::AutoCheckBox || k == ControlKind::ThreeState || k == ControlKind::AutoThreeState ||
         k == ControlKind::RadioButton || k == ControlKind::AutoRadioButton;
}

bool IsCheckable(ControlKind k) { return IsButton(k) && k != ControlKind::PushButton && k != ControlKind::DefPushButton; }

bool Visible(const ControlData& c) { return (c.style & WS_VISIBLE) != 0; }
bool Enabled(const ControlData& c) { return (c.style & WS_DISABLED) == 0; }
bool TakesFocus(const ControlData& c) {
  return Visible(c) && Enabled(c) && (c.style & WS_TABSTOP) != 0;
}

int IndexOf(const DialogState& d, int id) {
  for (std::size_t i = 0; i < d.controls.size(); ++i)
    if (d.controls[i].id == id) return static_cast<int>(i);
  return -1;
}

std::shared_ptr<DialogState> DialogOf(HWND hDlg) {
  WindowRef ref;
  if (!FindWindowRef(hDlg, &ref) || !ref.dialog || ref.control != -1) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return ref.dialog;
}

// The dialog and the index of its control `id`; false (with the last error)
// when either is missing.
bool FindItem(HWND hDlg, int id, std::shared_ptr<DialogState>* dialog, int* index) {
  *dialog = DialogOf(hDlg);
  if (!*dialog) return false;
  Lock lock((*dialog)->mutex);
  *index = IndexOf(**dialog, id);
  if (*index < 0) {
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return false;
  }
  return true;
}

INT_PTR CallProc(const std::shared_ptr<DialogState>& d, UINT msg, WPARAM wParam, LPARAM lParam) {
  return d->proc(d->hwnd, msg, wParam, lParam);
}

bool HasEnded(const DialogState& d) {
  Lock lock(d.mutex);
  return d.ended;
}

// WM_COMMAND from control `index` with a notification code.
void Notify(const std::shared_ptr<DialogState>& d, int index, WORD code) {
  int id;
  HWND hwnd;
  {
    Lock lock(d->mutex);
    id = d->controls[index].id;
    hwnd = d->controls[index].hwnd;
  }
  CallProc(d, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd));
}

// WM_COMMAND as the dialog manager sends it for a key or the close box.
void Command(const std::shared_ptr<DialogState>& d, int id) {
  HWND hwnd = nullptr;
  {
    Lock lock(d->mutex);
    int index = IndexOf(*d, id);
    if (index >= 0) hwnd = d->controls[index].hwnd;
  }
  CallProc(d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
}

// The buddy's text as the up-down reads it: a whole number within the range,
// else the up-down keeps its own position.
bool ReadBuddy(const DialogState& d, const ControlData& u, int* value) {
  if (u.buddy < 0) return false;
  std::string text = d.controls[u.buddy].text;
  if ((u.style & UDS_NOTHOUSANDS) == 0) text.erase(std::remove(text.begin(), text.end(), ','), text.end());
  if (text.empty()) return false;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || !InRange(u, v)) return false;
  *value = static_cast<int>(v);
  return true;
}

void WriteBuddy(DialogState& d, const ControlData& u) {
  if (u.buddy < 0 || (u.style & UDS_SETBUDDYINT) == 0) return;
  std::string digits = std::to_string(u.position < 0 ? -static_cast<long>(u.position) : u.position);
  if ((u.style & UDS_NOTHOUSANDS) == 0)
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<std::size_t>(i), ",");
  d.controls[u.buddy].text = (u.position < 0 ? "-" : "") + digits;
}

// One click of an arrow: toward `upper` for up, `lower` for down; at the end
// of the range it stays there, or wraps round with UDS_WRAP.
void Step(ControlData& u, bool up) {
  long step = up ? 1 : -1;
  if (u.upper < u.lower) step = -step;
  long target = static_cast<long>(u.position) + step;
  if (!InRange(u, target)) {
    int low = std::min(u.lower, u.upper), high = std::max(u.lower, u.upper);
    if (u.style & UDS_WRAP) target = target > high ? low : high;
    else target = Clamp(u, target);
  }
  u.position = static_cast<int>(target);
}

LRESULT ControlMessage(const std::shared_ptr<DialogState>& d, int index, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == BM_CLICK) {
    PressControl(d, index);
    return 0;
  }
  Lock lock(d->mutex);
  ControlData& c = d->controls[index];
  switch (msg) {
    case WM_SETTEXT:
      c.text = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
      return TRUE;
    case WM_GETTEXT: {
      if (wParam == 0 || lParam == 0) return 0;
      std::size_t n = std::min(c.text.size(), static_cast<std::size_t>(wParam) - 1);
      std::memcpy(reinterpret_cast<LPSTR>(lParam), c.text.data(), n);
      reinterpret_cast<LPSTR>(lParam)[n] = '\0';
      return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
      return static_cast<LRESULT>(c.text.size());
    case EM_LIMITTEXT:
      if (c.kind == ControlKind::Edit) c.limit = wParam != 0 ? static_cast<std::size_t>(wParam) : 0x7FFFFFFE;
      return 0;
    case BM_GETCHECK:
      return IsCheckable(c.kind) ? c.check : BST_UNCHECKED;
    case BM_SETCHECK:
      if (IsCheckable(c.kind)) c.check = static_cast<UINT>(wParam);
      return 0;
    case UDM_SETRANGE:
      if (c.kind == ControlKind::UpDown) {
        c.upper = static_cast<short>(LOWORD(lParam));
        c.lower = static_cast<short>(HIWORD(lParam));
      }
      return 0;
    case UDM_GETRANGE:
      return MAKELONG(c.upper, c.lower);
    case UDM_SETPOS: {
      if (c.kind != ControlKind::UpDown) return 0;
      int old = c.position;
      c.position = Clamp(c, static_cast<short>(LOWORD(lParam)));
      WriteBuddy(*d, c);
      return old;
    }
    case UDM_GETPOS: {
      if (c.kind != ControlKind::UpDown) return 0;
      int value = 0;
      bool fromBuddy = (c.style & UDS_SETBUDDYINT) && ReadBuddy(*d, c, &value);
      if (fromBuddy) c.position = value;
      bool error = (c.style & UDS_SETBUDDYINT) && c.buddy >= 0 && !fromBuddy;
      return MAKELONG(c.position, error ? 1 : 0);
    }
    default:
      return 0;
  }
}

// A click on control `index`, without asking whether a user could reach it.
bool PressControl(const std::shared_ptr<DialogState>& d, int index) {
  ControlKind kind;
  {
    Lock lock(d->mutex);
    ControlData& c = d->controls[index];
    kind = c.kind;
    if (!IsButton(kind) && kind != ControlKind::Edit) return false;
    if (TakesFocus(c) || kind == ControlKind::Edit) d->focus = index;
    if (kind == ControlKind::AutoCheckBox) c.check = c.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
    if (kind == ControlKind::AutoThreeState) c.check = (c.check + 1) % 3;
    if (kind == ControlKind::AutoRadioButton) {
      // The radio buttons of one group run from a WS_GROUP control to the next.
      std::size_t first = static_cast<std::size_t>(index);
      while (first > 0 && (d->controls[first].style & WS_GROUP) == 0) --first;
      for (std::size_t i = first; i < d->controls.size(); ++i) {
        if (i > first && (d->controls[i].style & WS_GROUP)) break;
        if (d->controls[i].kind == ControlKind::AutoRadioButton) d->controls[i].check = BST_UNCHECKED;
      }
      c.check = BST_CHECKED;
    }
  }
  if (kind == ControlKind::Edit) return true;
  Notify(d, index, BN_CLICKED);
  return true;
}

}  // namespace plat::detail
