// The verbs of spoolhost, one row each: what the command line takes, and how
// the daemon serves it. A new verb is one new row and its handler.
#pragma once

#include <string>
#include <vector>

namespace spoolhost {

class Daemon;
class Session;
struct Command;

enum class Arg { None, Value, Repeat };

struct OptionSpec {
  const char* name;
  Arg arg;
};

using VerbHandler = int (Daemon::*)(const Command& c, Session& s);

struct VerbSpec {
  const char* verb;
  int minArgs;
  int maxArgs;
  std::vector<OptionSpec> options;
  const char* synopsis;
  // What the daemon runs for it; null for the verbs run without asking the
  // daemon (start, serve, log).
  VerbHandler handler;
  // It calls into the monitors, which must stay loaded meanwhile.
  bool needsModule;
};

// The rows in the order --help lists them.
const std::vector<VerbSpec>& VerbTable();
const VerbSpec* FindVerb(const std::string& verb);

}  // namespace spoolhost
