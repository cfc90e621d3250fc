// Modal dialogs from resource templates: DialogBoxParamA's run with the host's
// driver, the controls' state and messages, and the user's actions on them.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "../host/dialog.h"
#include "../host/resources.h"
#include "../win32/kernel.h"
#include "../win32/window.h"
#include "window_system.h"

namespace plat {
namespace detail {
namespace {

using Lock = std::lock_guard<std::mutex>;

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

// Up-down arithmetic, under the dialog's lock.
bool InRange(const ControlData& u, long v) {
  return v >= std::min(u.lower, u.upper) && v <= std::max(u.lower, u.upper);
}

int Clamp(const ControlData& u, long v) {
  return static_cast<int>(std::clamp<long>(v, std::min(u.lower, u.upper), std::max(u.lower, u.upper)));
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

}  // namespace

// Messages to a control, as its window procedure would answer them.
LRESULT ControlMessage(const std::shared_ptr<DialogState>& d, int index, UINT msg, WPARAM wParam, LPARAM lParam);

bool PressControl(const std::shared_ptr<DialogState>& d, int index);

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

}  // namespace detail

using detail::ControlData;
using detail::ControlKind;
using detail::DialogState;
using Lock = std::lock_guard<std::mutex>;

RunningDialog::RunningDialog(std::shared_ptr<DialogState> state) : state_(std::move(state)) {}

HWND RunningDialog::Window() const { return state_->hwnd; }
HWND RunningDialog::Owner() const { return state_->owner; }
int RunningDialog::TemplateId() const { return state_->source->id; }
std::string RunningDialog::Caption() const { return state_->source->caption ? state_->source->caption : ""; }
bool RunningDialog::Ended() const { return detail::HasEnded(*state_); }

std::vector<ControlState> RunningDialog::Controls() const {
  Lock lock(state_->mutex);
  std::vector<ControlState> out;
  for (std::size_t i = 0; i < state_->controls.size(); ++i) {
    const ControlData& c = state_->controls[i];
    ControlState s{};
    s.id = c.id;
    s.className = c.source->className ? c.source->className : "";
    s.kind = detail::KindName(c);
    s.text = c.text;
    s.style = c.style;
    s.x = c.source->x;
    s.y = c.source->y;
    s.cx = c.source->cx;
    s.cy = c.source->cy;
    s.visible = detail::Visible(c);
    s.enabled = detail::Enabled(c);
    s.focused = state_->focus == static_cast<int>(i);
    s.check = c.check;
    s.limit = c.limit;
    s.lower = c.lower;
    s.upper = c.upper;
    s.position = c.position;
    s.buddyId = c.buddy >= 0 ? state_->controls[c.buddy].id : 0;
    out.push_back(std::move(s));
  }
  return out;
}

std::string RunningDialog::Text(int id) const {
  Lock lock(state_->mutex);
  int index = detail::IndexOf(*state_, id);
  return index < 0 ? "" : state_->controls[index].text;
}

bool RunningDialog::IsChecked(int id) const {
  Lock lock(state_->mutex);
  int index = detail::IndexOf(*state_, id);
  return index >= 0 && state_->controls[index].check == BST_CHECKED;
}

std::string RunningDialog::Render() const {
  std::ostringstream out;
  const DialogTemplate& t = *state_->source;
  out << '"' << Caption() << "\" [dialog " << t.id << ", " << t.cx << "x" << t.cy << "]";
  if (GetForegroundWindow() == state_->hwnd) out << " (foreground)";
  {
    Lock lock(state_->mutex);
    if (state_->modalChildren > 0) out << " (waiting for a dialog it owns)";
    if (state_->ended) out << " (ended: " << state_->result << ")";
  }
  out << "\n";
  for (const ControlState& c : Controls()) {
    std::vector<std::string> notes;
    std::string box;
    if (c.kind.find("check box") != std::string::npos || c.kind.find("radio") != std::string::npos)
      box = c.check == BST_CHECKED ? " [x]" : c.check == BST_INDETERMINATE ? " [-]" : " [ ]";
    if (c.kind == "edit") {
      if (c.style & ES_NUMBER) notes.push_back("digits only");
      if (c.style & ES_READONLY) notes.push_back("read-only");
      if (c.limit != 0x7FFFFFFE) notes.push_back("limit " + std::to_string(c.limit));
    }
    if (c.kind == "up-down") {
      notes.push_back("range " + std::to_string(c.lower) + ".." + std::to_string(c.upper));
      if (c.buddyId != 0) notes.push_back("buddy " + std::to_string(c.buddyId));
    }
    if (!c.visible) notes.push_back("hidden");
    if (!c.enabled) notes.push_back("disabled");
    char line[64];
    std::snprintf(line, sizeof line, "%c %-5s ", c.focused ? '*' : ' ', c.id == -1 ? "-" : std::to_string(c.id).c_str());
    out << line << c.kind << " \"" << c.text << "\"" << box;
    if (!notes.empty()) {
      out << " (";
      for (std::size_t i = 0; i < notes.size(); ++i) out << (i ? ", " : "") << notes[i];
      out << ")";
    }
    out << " at " << c.x << "," << c.y << " " << c.cx << "x" << c.cy << "\n";
  }
  return out.str();
}

namespace {

// The index of control `id` if a user can act on it now, else -1.
int Reachable(const DialogState& d, int id) {
  Lock lock(d.mutex);
  if (d.ended || d.modalChildren > 0) return -1;
  int index = detail::IndexOf(d, id);
  if (index < 0) return -1;
  const ControlData& c = d.controls[index];
  return detail::Visible(c) && detail::Enabled(c) ? index : -1;
}

bool AcceptsInput(const DialogState& d) {
  Lock lock(d.mutex);
  return !d.ended && d.modalChildren == 0;
}

}  // namespace

bool RunningDialog::Click(int id) {
  int index = Reachable(*state_, id);
  return index >= 0 && detail::PressControl(state_, index);
}

bool RunningDialog::SetCheck(int id, bool checked) {
  int index = Reachable(*state_, id);
  if (index < 0) return false;
  {
    Lock lock(state_->mutex);
    if (!detail::IsCheckable(state_->controls[index].kind)) return false;
    if ((state_->controls[index].check == BST_CHECKED) == checked) return true;
  }
  detail::PressControl(state_, index);
  return IsChecked(id) == checked;
}

bool RunningDialog::Clear(int id) {
  int index = Reachable(*state_, id);
  if (index < 0) return false;
  bool changed;
  {
    Lock lock(state_->mutex);
    ControlData& c = state_->controls[index];
    if (c.kind != ControlKind::Edit || (c.style & ES_READONLY)) return false;
    state_->focus = index;
    changed = !c.text.empty();
    c.text.clear();
  }
  if (changed) detail::Notify(state_, index, EN_CHANGE);
  return true;
}

bool RunningDialog::Type(int id, std::string_view text) {
  if (!Clear(id)) return false;
  int index = Reachable(*state_, id);
  bool all = true;
  for (char ch : text) {
    if (index < 0 || Ended()) return false;
    bool accepted;
    {
      Lock lock(state_->mutex);
      ControlData& c = state_->controls[index];
      accepted = !((c.style & ES_NUMBER) && !std::isdigit(static_cast<unsigned char>(ch))) && c.text.size() < c.limit;
      if (accepted) {
        if (c.style & ES_UPPERCASE) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        if (c.style & ES_LOWERCASE) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        c.text += ch;
      }
    }
    if (accepted) detail::Notify(state_, index, EN_CHANGE);
    else all = false;
  }
  return all;
}

bool RunningDialog::Spin(int id, int steps) {
  int index = Reachable(*state_, id);
  if (index < 0) return false;
  int buddy;
  {
    Lock lock(state_->mutex);
    ControlData& u = state_->controls[index];
    if (u.kind != ControlKind::UpDown) return false;
    for (int i = 0; i < std::abs(steps); ++i) {
      int value = 0;
      if ((u.style & UDS_SETBUDDYINT) && detail::ReadBuddy(*state_, u, &value)) u.position = value;
      detail::Step(u, steps > 0);
      detail::WriteBuddy(*state_, u);
    }
    buddy = (u.style & UDS_SETBUDDYINT) ? u.buddy : -1;
  }
  if (buddy >= 0 && steps != 0) detail::Notify(state_, buddy, EN_CHANGE);
  return true;
}

bool RunningDialog::PressEnter() {
  int id = IDOK;
  {
    Lock lock(state_->mutex);
    if (state_->ended || state_->modalChildren > 0) return false;
    const ControlData* target = nullptr;
    if (state_->focus >= 0) {
      const ControlData& f = state_->controls[state_->focus];
      if (f.kind == ControlKind::PushButton || f.kind == ControlKind::DefPushButton) target = &f;
    }
    if (target == nullptr)
      for (const ControlData& c : state_->controls)
        if (c.kind == ControlKind::DefPushButton) { target = &c; break; }
    if (target != nullptr) {
      if (!detail::Enabled(*target)) return false;
      id = target->id;
    }
  }
  detail::Command(state_, id);
  return true;
}

bool RunningDialog::PressEscape() {
  {
    Lock lock(state_->mutex);
    if (state_->ended || state_->modalChildren > 0) return false;
    int cancel = detail::IndexOf(*state_, IDCANCEL);
    if (cancel >= 0 && !detail::Enabled(state_->controls[cancel])) return false;
  }
  detail::Command(state_, IDCANCEL);
  return true;
}

bool RunningDialog::PressMnemonic(char letter) {
  int index = -1;
  bool isLabel = false;
  {
    Lock lock(state_->mutex);
    if (state_->ended || state_->modalChildren > 0) return false;
    int wanted = std::tolower(static_cast<unsigned char>(letter));
    for (std::size_t i = 0; i < state_->controls.size() && index < 0; ++i) {
      const ControlData& c = state_->controls[i];
      if (!detail::Visible(c) || !detail::Enabled(c)) continue;
      bool label = c.kind == ControlKind::Static || c.kind == ControlKind::GroupBox;
      if (!label && !detail::IsButton(c.kind)) continue;
      for (std::size_t k = 0; k + 1 < c.text.size(); ++k) {
        if (c.text[k] != '&') continue;
        if (c.text[k + 1] == '&') { ++k; continue; }
        if (std::tolower(static_cast<unsigned char>(c.text[k + 1])) == wanted) {
          index = static_cast<int>(i);
          isLabel = label;
        }
        break;
      }
    }
    if (index < 0) return false;
    if (isLabel) {
      // A label's mnemonic moves to the control after it.
      for (std::size_t i = static_cast<std::size_t>(index) + 1; i < state_->controls.size(); ++i) {
        if (detail::TakesFocus(state_->controls[i])) {
          state_->focus = static_cast<int>(i);
          return true;
        }
      }
      return false;
    }
  }
  return detail::PressControl(state_, index);
}

bool RunningDialog::CloseBox() {
  if ((state_->source->style & WS_SYSMENU) == 0 || !AcceptsInput(*state_)) return false;
  if (detail::CallProc(state_, WM_CLOSE, 0, 0) == FALSE && !Ended()) {
    {
      Lock lock(state_->mutex);
      int cancel = detail::IndexOf(*state_, IDCANCEL);
      if (cancel >= 0 && !detail::Enabled(state_->controls[cancel])) return true;
    }
    detail::Command(state_, IDCANCEL);
  }
  return true;
}

INT_PTR RunningDialog::SendCommand(int id) {
  if (Ended()) return 0;
  HWND hwnd = nullptr;
  {
    Lock lock(state_->mutex);
    int index = detail::IndexOf(*state_, id);
    if (index >= 0) hwnd = state_->controls[index].hwnd;
  }
  return detail::CallProc(state_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hwnd));
}

}  // namespace plat

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
