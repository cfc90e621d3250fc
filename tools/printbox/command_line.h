// The command line of printbox: its verbs and options, parsed and checked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "box_set.h"
#include "server_report.h"
#include "specs.h"

namespace printbox {

struct Options {
  std::string verb;
  std::vector<std::string> args;
  std::string state;  // absolute
  std::vector<std::string> nets;
  std::string name = "PRINTBOX";
  std::vector<PortStatus> ports;
  std::string out;
  bool refuseSessions = false;
  bool noPings = false;
  int receiveDelayMs = 0;
  int idleLimitS = 30;
  int readyFd = -1;
  // More than one box, or a first number: a set of numbered boxes (box_set.h).
  int boxes = 1;
  int firstBox = 0;  // 0: not given

  bool Numbered() const { return boxes > 1 || firstBox > 0; }
  // "BOX", or "BOX1..BOX50" for a set.
  std::string BoxesName() const;

  std::string SocketPath() const { return state + "/printbox.sock"; }
  std::string LockPath() const { return state + "/printbox.pid"; }
  std::string LogPath() const { return state + "/printbox.log"; }
};

extern const char* const kUsageText;

// Parses argv; nothing with an error line when it is wrong, or with *help set
// when help was asked for.
std::optional<Options> ParseCommandLine(int argc, char** argv, std::string* error, bool* help);

// The one adapter of a separate box, from its --net; nothing with the reason.
std::optional<tools::NetSpec> BoxNet(const Options& o, std::string* error);
// The boxes to run, from --net, --boxes and the box's options; nothing with
// the reason.
std::optional<BoxSetConfig> BoxSetFor(const Options& o, std::string* error);

}  // namespace printbox
