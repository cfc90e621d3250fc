// The dialog calls of the window system: DialogBoxParamA's modal run with the
// host's driver, EndDialog, and the calls that reach a dialog's controls.
#include <cctype>
#include <cstdio>

#include "../host/dialog.h"
#include "../host/resources.h"
#include "../win32/kernel.h"
#include "../win32/window.h"
#include "dialog_controls.h"

namespace {

using plat::detail::DialogState;

// Everything a running dialog holds in the window table; released when the
// dialog's run ends however it ends.
class DialogRun {
 public:
  DialogRun(std::shared_ptr<DialogState> dialog, std::shared_ptr<DialogState> ownerDialog)
      : dialog_(std::move(dialog)), ownerDialog_(std::move(ownerDialog)) {
    plat::detail::RegisterWindow(dialog_->hwnd, {dialog_, -1, ""});
    for (std::size_t i = 0; i < dialog_->controls.size(); ++i)
      plat::detail::RegisterWindow(dialog_->controls[i].hwnd, {dialog_, static_cast<int>(i), ""});
    if (ownerDialog_) {
      std::lock_guard lock(ownerDialog_->mutex);
      ++ownerDialog_->modalChildren;
    }
  }
  ~DialogRun() {
    bool wasForeground = GetForegroundWindow() == dialog_->hwnd;
    for (const auto& c : dialog_->controls) plat::detail::UnregisterWindow(c.hwnd);
    plat::detail::UnregisterWindow(dialog_->hwnd);
    if (ownerDialog_) {
      std::lock_guard lock(ownerDialog_->mutex);
      --ownerDialog_->modalChildren;
    }
    // Activation goes back to the owner, as it does when a modal dialog closes.
    if (wasForeground && dialog_->owner != nullptr) SetForegroundWindow(dialog_->owner);
  }
  DialogRun(const DialogRun&) = delete;
  DialogRun& operator=(const DialogRun&) = delete;

 private:
  std::shared_ptr<DialogState> dialog_;
  std::shared_ptr<DialogState> ownerDialog_;
};

}  // namespace

INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                               LPARAM dwInitParam) {
  using namespace plat::detail;
  const plat::ResourceTable* table = plat::ResourcesOf(hInstance);
  if (table == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const plat::DialogTemplate* source = nullptr;
  if (IS_INTRESOURCE(lpTemplateName)) {
    WORD id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(lpTemplateName));
    for (std::size_t i = 0; i < table->dialogCount; ++i)
      if (table->dialogs[i].id == id) source = &table->dialogs[i];
  }
  if (source == nullptr) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return -1;
  }
  if (lpDialogFunc == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // The owner is a window or nothing; a control's dialog owns in its place.
  std::shared_ptr<DialogState> ownerDialog;
  HWND owner = nullptr;
  if (hWndParent != nullptr) {
    WindowRef ref;
    if (!FindWindowRef(hWndParent, &ref)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return -1;
    }
    ownerDialog = ref.dialog;
    owner = ref.dialog ? ref.dialog->hwnd : hWndParent;
  }

  auto dialog = std::make_shared<DialogState>();
  dialog->hwnd = NewWindowHandle();
  dialog->owner = owner;
  dialog->source = source;
  dialog->proc = lpDialogFunc;
  for (std::size_t i = 0; i < source->controlCount; ++i) {
    const plat::DialogControl& c = source->controls[i];
    ControlData data;
    data.source = &c;
    data.hwnd = NewWindowHandle();
    data.id = c.id;
    data.kind = KindOf(c);
    data.text = c.text ? c.text : "";
    data.style = c.style;
    // UDS_AUTOBUDDY takes the control before the up-down in the tab order.
    if (data.kind == ControlKind::UpDown && (c.style & UDS_AUTOBUDDY) && i > 0) data.buddy = static_cast<int>(i) - 1;
    dialog->controls.push_back(std::move(data));
  }
  DialogRun run(dialog, ownerDialog);

  HWND firstFocus = nullptr;
  int firstIndex = -1;
  for (std::size_t i = 0; i < dialog->controls.size(); ++i) {
    if (TakesFocus(dialog->controls[i])) {
      firstFocus = dialog->controls[i].hwnd;
      firstIndex = static_cast<int>(i);
      break;
    }
  }
  // TRUE from WM_INITDIALOG lets the dialog manager set the focus.
  if (lpDialogFunc(dialog->hwnd, WM_INITDIALOG, reinterpret_cast<WPARAM>(firstFocus), dwInitParam) != FALSE) {
    std::lock_guard lock(dialog->mutex);
    if (dialog->focus < 0) dialog->focus = firstIndex;
  }
  plat::RunningDialog session(dialog);
  std::shared_ptr<plat::DialogDriver> driver = plat::GetDialogDriver();
  while (!HasEnded(*dialog)) {
    if (driver->Play(session) || HasEnded(*dialog)) continue;
    session.CloseBox();
    std::lock_guard lock(dialog->mutex);
    if (!dialog->ended) {
      dialog->ended = true;
      dialog->result = -1;
    }
  }
  std::lock_guard lock(dialog->mutex);
  return dialog->result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
  auto dialog = plat::detail::DialogOf(hDlg);
  if (!dialog) return FALSE;
  std::lock_guard lock(dialog->mutex);
  if (!dialog->ended) {
    dialog->ended = true;
    dialog->result = nResult;
  }
  return TRUE;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
  std::shared_ptr<DialogState> dialog;
  int index;
  if (!plat::detail::FindItem(hDlg, nIDDlgItem, &dialog, &index)) return nullptr;
  return dialog->controls[index].hwnd;
}

LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<DialogState> dialog;
  int index;
  if (!plat::detail::FindItem(hDlg, nIDDlgItem, &dialog, &index)) return 0;
  return plat::detail::ControlMessage(dialog, index, Msg, wParam, lParam);
}

LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  plat::detail::WindowRef ref;
  if (!plat::detail::FindWindowRef(hWnd, &ref)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (!ref.dialog) return 0;
  if (ref.control >= 0) return plat::detail::ControlMessage(ref.dialog, ref.control, Msg, wParam, lParam);
  INT_PTR handled = plat::detail::CallProc(ref.dialog, Msg, wParam, lParam);
  // The dialog manager turns an unhandled WM_CLOSE into IDCANCEL.
  if (Msg == WM_CLOSE && handled == FALSE && !plat::detail::HasEnded(*ref.dialog))
    plat::detail::Command(ref.dialog, IDCANCEL);
  return handled;
}

BOOL WINAPI CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck) {
  std::shared_ptr<DialogState> dialog;
  int index;
  if (!plat::detail::FindItem(hDlg, nIDButton, &dialog, &index)) return FALSE;
  plat::detail::ControlMessage(dialog, index, BM_SETCHECK, uCheck, 0);
  return TRUE;
}

UINT WINAPI IsDlgButtonChecked(HWND hDlg, int nIDButton) {
  std::shared_ptr<DialogState> dialog;
  int index;
  if (!plat::detail::FindItem(hDlg, nIDButton, &dialog, &index)) return 0;
  return static_cast<UINT>(plat::detail::ControlMessage(dialog, index, BM_GETCHECK, 0, 0));
}

BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString) {
  std::shared_ptr<DialogState> dialog;
  int index;
  if (!plat::detail::FindItem(hDlg, nIDDlgItem, &dialog, &index)) return FALSE;
  plat::detail::ControlMessage(dialog, index, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString));
  return TRUE;
}

UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax) {
  if (lpString != nullptr && cchMax > 0) lpString[0] = '\0';
  std::shared_ptr<DialogState> dialog;
  int index;
  if (cchMax <= 0 || !plat::detail::FindItem(hDlg, nIDDlgItem, &dialog, &index)) return 0;
  return static_cast<UINT>(plat::detail::ControlMessage(dialog, index, WM_GETTEXT, static_cast<WPARAM>(cchMax),
                                                        reinterpret_cast<LPARAM>(lpString)));
}

BOOL WINAPI SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned) {
  char text[16];
  if (bSigned) std::snprintf(text, sizeof text, "%d", static_cast<int>(uValue));
  else std::snprintf(text, sizeof text, "%u", uValue);
  return SetDlgItemTextA(hDlg, nIDDlgItem, text);
}

UINT WINAPI GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned) {
  if (lpTranslated != nullptr) *lpTranslated = FALSE;
  char text[64];
  if (GetDlgItemTextA(hDlg, nIDDlgItem, text, sizeof text) == 0) return 0;
  // Leading and trailing blanks, a sign only when signed, then decimal digits.
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  bool negative = false;
  if (bSigned && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return 0;
  unsigned long long value = 0;
  while (std::isdigit(static_cast<unsigned char>(*p))) {
    value = value * 10 + static_cast<unsigned>(*p++ - '0');
    if (value > 0xFFFFFFFFull) return 0;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p != '\0') return 0;
  if (bSigned && value > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return 0;
  if (lpTranslated != nullptr) *lpTranslated = TRUE;
  return negative ? static_cast<UINT>(-static_cast<long long>(value)) : static_cast<UINT>(value);
}
