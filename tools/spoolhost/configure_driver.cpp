// The user of the monitor's Configure dialog: a script made from the options
// of `configure`, or the person at the client's terminal.
#include "configure_driver.h"

#include "base/resource.h"
#include "platform.h"

namespace spoolhost {
namespace {

thread_local plat::DialogDriver* t_driver = nullptr;

ConfigureSettings Read(plat::RunningDialog& d) {
  ConfigureSettings s;
  s.offline = d.IsChecked(IDC_OFFLINE);
  s.outOfPaper = d.IsChecked(IDC_OUT_OF_PAPER);
  s.noResponse = d.IsChecked(IDC_NO_RESPONSE);
  s.timer = d.Text(IDC_TIMER);
  return s;
}

}  // namespace

bool ConfigureDriver::Play(plat::RunningDialog& dialog) {
  return t_driver != nullptr && t_driver->Play(dialog);
}

ConfigureDriver::Scope::Scope(plat::DialogDriver* driver) : previous_(t_driver) { t_driver = driver; }
ConfigureDriver::Scope::~Scope() { t_driver = previous_; }

bool ConfigureScript::Play(plat::RunningDialog& d) {
  // Only the Configure dialog is scripted; any other (About) is closed.
  if (d.TemplateId() != IDD_CONFIGURE) return false;
  switch (turn_++) {
    case 0: {
      shown_ = true;
      before_ = Read(d);
      bool ok = true;
      if (offline) ok &= d.SetCheck(IDC_OFFLINE, *offline);
      if (outOfPaper) ok &= d.SetCheck(IDC_OUT_OF_PAPER, *outOfPaper);
      if (noResponse) ok &= d.SetCheck(IDC_NO_RESPONSE, *noResponse);
      if (timer) ok &= d.Type(IDC_TIMER, *timer);
      after_ = Read(d);
      if (cancel || !ok) {
        refused_ = !ok;
        return d.Click(IDCANCEL);
      }
      return d.Click(IDOK);
    }
    case 1:
      // Still open after OK: the dialog refused what was entered.
      refused_ = true;
      return d.Click(IDCANCEL);
    default:
      return false;
  }
}

}  // namespace spoolhost
