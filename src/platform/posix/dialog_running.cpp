// RunningDialog: a dialog as its driver sees it and the actions a user can
// take on it, each checked against what the user could reach at that moment.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "../host/dialog.h"
#include "dialog_controls.h"

namespace plat {

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
