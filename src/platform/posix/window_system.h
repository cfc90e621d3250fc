// Windows of the stand-in behind HWND values: host windows, running dialogs
// and their controls, and the table that checks a handle before it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../host/dialog.h"
#include "../host/resources.h"
#include "../win32/window.h"

namespace plat::detail {

enum class ControlKind {
  PushButton,
  DefPushButton,
  CheckBox,
  AutoCheckBox,
  ThreeState,
  AutoThreeState,
  RadioButton,
  AutoRadioButton,
  GroupBox,
  Static,
  Edit,
  UpDown,
  Other,
};

struct ControlData {
  const DialogControl* source;
  HWND hwnd;
  int id;
  ControlKind kind;
  std::string text;
  std::uint32_t style;
  UINT check = BST_UNCHECKED;
  std::size_t limit = 0x7FFFFFFE;  // edits: what EM_LIMITTEXT 0 means
  int lower = 100, upper = 0;      // up-downs: the common controls' default range
  int position = 0;
  int buddy = -1;                  // up-downs: index of the buddy control
};

struct DialogState {
  mutable std::mutex mutex;  // guards everything below but the constants
  // Constants from creation on.
  HWND hwnd = nullptr;
  HWND owner = nullptr;
  const DialogTemplate* source = nullptr;
  DLGPROC proc = nullptr;
  // State.
  std::vector<ControlData> controls;
  bool ended = false;
  INT_PTR result = 0;
  int focus = -1;
  int modalChildren = 0;  // dialogs it owns that are running: it takes no input meanwhile
};

// A live window: a dialog (control -1) or one of its controls, or a host
// window (no dialog).
struct WindowRef {
  std::shared_ptr<DialogState> dialog;
  int control = -1;
  std::string title;  // host windows
};

// Handles are never reused, so a stale one is never mistaken for a new window.
HWND NewWindowHandle();
void RegisterWindow(HWND hwnd, WindowRef ref);
void UnregisterWindow(HWND hwnd);
// The window behind a handle; false for null or stale handles.
bool FindWindowRef(HWND hwnd, WindowRef* out);
int CountDialogs();
HWND CurrentForeground();
void SetForeground(HWND hwnd);

}  // namespace plat::detail
