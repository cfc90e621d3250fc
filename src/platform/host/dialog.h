// Dialogs of the window-system stand-in as hosts and tests see them: the
// running dialog that a driver plays, the driver the host registers, owner
// windows, and where WinHelpA goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "../win32/types.h"

namespace plat {

// One control of a running dialog as the user sees it.
struct ControlState {
  int id;                 // -1 for controls without an id
  std::string className;  // "BUTTON", "EDIT", "STATIC", "msctls_updown32", ...
  std::string kind;       // "push button", "auto check box", "edit", "up-down", ...
  std::string text;
  std::uint32_t style;
  int x, y, cx, cy;       // dialog units, as in the template
  bool visible;
  bool enabled;
  bool focused;
  UINT check;             // buttons: BST_UNCHECKED, BST_CHECKED, BST_INDETERMINATE
  std::size_t limit;      // edits: the most characters a user can type
  int lower, upper;       // up-downs: the range (lower may exceed upper)
  int position;           // up-downs
  int buddyId;            // up-downs: the id of the buddy control, 0 for none
};

namespace detail {
struct DialogState;
}

// A dialog between its WM_INITDIALOG and its end, as its driver acts on it.
// The actions are what a user can do; each runs the dialog procedure on the
// calling thread (the dialog's own, when called from the driver) and returns
// false when the user could not do it: no such control, a hidden or disabled
// one, a key the control refuses, or a dialog that has ended or waits for a
// dialog it owns.
class RunningDialog {
 public:
  explicit RunningDialog(std::shared_ptr<detail::DialogState> state);

  HWND Window() const;
  HWND Owner() const;
  int TemplateId() const;
  std::string Caption() const;
  bool Ended() const;
  std::vector<ControlState> Controls() const;
  // The text of control `id` ("" when there is none).
  std::string Text(int id) const;
  bool IsChecked(int id) const;
  // The dialog as text: a title line, then one line per control in tab order
  // with its id, kind, text, state and place.
  std::string Render() const;

  // Clicks a button (a check box toggles first); the dialog procedure gets
  // WM_COMMAND with the control's id.
  bool Click(int id);
  // Clicks a check box if its state differs from `checked`.
  bool SetCheck(int id, bool checked);
  // Empties the edit, then types `text` one character at a time. A digits-only
  // edit refuses other characters, and no character goes past the edit's limit;
  // refused characters are dropped and the result is false.
  bool Type(int id, std::string_view text);
  // Selects the edit's text and deletes it.
  bool Clear(int id);
  // Clicks an up-down's arrow `steps` times (up when positive, down when
  // negative); with UDS_SETBUDDYINT its buddy shows the new position.
  bool Spin(int id, int steps);
  // The Enter key: the default push button's command (IDOK when there is none).
  bool PressEnter();
  // The Escape key: WM_COMMAND with IDCANCEL.
  bool PressEscape();
  // Alt+letter: clicks the visible, enabled button whose text marks `letter`
  // with '&', or moves to the control after such a static text.
  bool PressMnemonic(char letter);
  // The close box: WM_CLOSE, which the dialog manager turns into WM_COMMAND
  // with IDCANCEL unless the procedure handles it.
  bool CloseBox();
  // Not a user action: WM_COMMAND for control `id` as another program would
  // send it, to hidden and disabled controls as well. Returns the procedure's
  // result.
  INT_PTR SendCommand(int id);

 private:
  std::shared_ptr<detail::DialogState> state_;
};

// Plays the user of running dialogs.
class DialogDriver {
 public:
  virtual ~DialogDriver() = default;
  // One turn of the user of `dialog`: called on the dialog's thread once the
  // dialog is initialised and again after every turn until it ends. Dialogs on
  // several threads may call it at once. Returns false when the user has
  // nothing more to do: the dialog is then closed through its close box, and
  // ended with -1 if it still does not end.
  virtual bool Play(RunningDialog& dialog) = 0;
};

// Installs the driver of every dialog from now on; null restores the default,
// which writes the dialog to standard error and closes it.
void SetDialogDriver(std::shared_ptr<DialogDriver> driver);
std::shared_ptr<DialogDriver> GetDialogDriver();

// A window of the host that can own dialogs and message boxes (the stand-in
// of a top-level window).
HWND CreateHostWindow(const std::string& title);
void DestroyHostWindow(HWND window);
// The template id of the running dialog whose window this is, or -1.
int DialogTemplateOf(HWND window);
// Dialogs running now, on all threads.
int RunningDialogCount();

// A call of WinHelpA.
struct HelpRequest {
  HWND owner;
  std::string file;
  UINT command;
  ULONG_PTR data;
};

class HelpSink {
 public:
  virtual ~HelpSink() = default;
  virtual void Show(const HelpRequest& request) = 0;
};

// Installs where WinHelpA goes; null restores the default, which tells the
// message presenter (a box owned by the caller's window, caption "Help").
void SetHelpSink(std::shared_ptr<HelpSink> sink);

}  // namespace plat
