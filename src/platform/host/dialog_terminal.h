// An interactive user at a terminal: shows each running dialog as text and
// reads the user's commands for it, one line per turn.
#pragma once

#include <iosfwd>
#include <mutex>

#include "dialog.h"

namespace plat {

// Commands (CONTROL is an id or a control's text without '&', any case):
//   click CONTROL | check CONTROL | uncheck CONTROL | type CONTROL TEXT |
//   clear CONTROL | up CONTROL [N] | down CONTROL [N] | enter | escape |
//   alt LETTER | close | show | help
// End of input closes the dialog through its close box. Dialogs on several
// threads take turns at the terminal.
class TerminalDriver : public DialogDriver {
 public:
  TerminalDriver(std::istream& in, std::ostream& out);
  bool Play(RunningDialog& dialog) override;

 private:
  std::mutex mutex_;
  std::istream& in_;
  std::ostream& out_;
};

}  // namespace plat
