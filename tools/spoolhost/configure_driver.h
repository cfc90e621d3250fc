// The user of the monitor's Configure dialog: a script made from the options
// of `configure`, or the person at the client's terminal.
#pragma once

#include <optional>
#include <string>

#include "host/dialog.h"

namespace spoolhost {

// The driver spoolhost installs: it hands each dialog to the driver that the
// dialog's thread has chosen (Scope), and closes dialogs nobody plays.
class ConfigureDriver : public plat::DialogDriver {
 public:
  bool Play(plat::RunningDialog& dialog) override;

  class Scope {
   public:
    explicit Scope(plat::DialogDriver* driver);
    ~Scope();

   private:
    plat::DialogDriver* previous_;
  };
};

// The settings of the Configure dialog as the user leaves them.
struct ConfigureSettings {
  bool offline = false, outOfPaper = false, noResponse = false;
  std::string timer;
};

// Plays `configure PORT --offline on ...`: sets the boxes and the interval,
// then OK (or Cancel). An OK that the dialog refuses is followed by Cancel.
class ConfigureScript : public plat::DialogDriver {
 public:
  std::optional<bool> offline, outOfPaper, noResponse;
  std::optional<std::string> timer;
  bool cancel = false;

  bool Play(plat::RunningDialog& dialog) override;

  bool Shown() const { return shown_; }
  bool Refused() const { return refused_; }
  const ConfigureSettings& Before() const { return before_; }
  const ConfigureSettings& After() const { return after_; }

 private:
  int turn_ = 0;
  bool shown_ = false;
  bool refused_ = false;
  ConfigureSettings before_, after_;
};

}  // namespace spoolhost
