// The interactive terminal user: renders a dialog, reads one command, acts.
#include "../host/dialog_terminal.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <istream>
#include <ostream>
#include <sstream>
#include <string>

namespace plat {
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

std::string WithoutMnemonic(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

// A control named by its id or by its text; 0 when nothing matches.
int ResolveControl(const RunningDialog& dialog, const std::string& name) {
  if (name.empty()) return 0;
  char* end = nullptr;
  long id = std::strtol(name.c_str(), &end, 10);
  if (*end == '\0') return static_cast<int>(id);
  for (const ControlState& c : dialog.Controls())
    if (c.id != -1 && Lower(WithoutMnemonic(c.text)) == Lower(name)) return c.id;
  return 0;
}

const char kHelp[] =
    "commands: click C | check C | uncheck C | type C TEXT | clear C | up C [N] | down C [N] |\n"
    "          enter | escape | alt LETTER | close | show | help   (C: control id or text)\n";

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

TerminalDriver::TerminalDriver(std::istream& in, std::ostream& out) : in_(in), out_(out) {}

bool TerminalDriver::Play(RunningDialog& dialog) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    out_ << dialog.Render() << "dialog " << dialog.TemplateId() << "> " << std::flush;
    if (!std::getline(in_, line)) {
      out_ << "\n";
      return false;
    }
  }
  // The action runs without the terminal: it may open a dialog of its own.
  std::istringstream words(line);
  std::string verb;
  words >> verb;
  verb = Lower(verb);
  std::string rest;
  std::getline(words, rest);
  rest = Trim(rest);
  bool done = true;
  bool known = true;
  if (verb.empty() || verb == "show") {
  } else if (verb == "enter") {
    done = dialog.PressEnter();
  } else if (verb == "escape" || verb == "esc") {
    done = dialog.PressEscape();
  } else if (verb == "close") {
    done = dialog.CloseBox();
  } else if (verb == "alt") {
    done = !rest.empty() && dialog.PressMnemonic(rest[0]);
  } else if (verb == "type") {
    std::istringstream args(rest);
    std::string name;
    args >> name;
    std::string text;
    std::getline(args, text);
    if (!text.empty() && text[0] == ' ') text.erase(0, 1);
    done = dialog.Type(ResolveControl(dialog, name), text);
  } else if (verb == "up" || verb == "down") {
    std::istringstream args(rest);
    std::string name;
    int steps = 1;
    args >> name;
    if (!(args >> steps)) steps = 1;
    done = dialog.Spin(ResolveControl(dialog, name), verb == "up" ? steps : -steps);
  } else if (verb == "click" || verb == "check" || verb == "uncheck" || verb == "clear") {
    int id = ResolveControl(dialog, rest);
    if (verb == "click") done = dialog.Click(id);
    else if (verb == "clear") done = dialog.Clear(id);
    else done = dialog.SetCheck(id, verb == "check");
  } else {
    known = false;
  }
  std::lock_guard lock(mutex_);
  if (!known) out_ << kHelp;
  else if (!done) out_ << "(refused)\n";
  return true;
}

}  // namespace plat
