// The command line of spoolhost: verbs, their options and arguments.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "exit_codes.h"

namespace spoolhost {

// The exit statuses of every verb, the same for the client and the daemon.
using tools::kExitFailed;
using tools::kExitNotRunning;
using tools::kExitOk;
using tools::kExitUsage;

// One parsed command: the verb, its positional arguments and its options.
// Options keep every value given, in order (some are repeatable).
struct Command {
  std::string verb;
  std::vector<std::string> args;
  std::map<std::string, std::vector<std::string>> options;
  std::optional<std::string> stateDir;  // --state, which any verb takes

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  // The last value of an option, or `fallback` when it was not given.
  std::string Value(const std::string& option, const std::string& fallback = "") const;
  const std::vector<std::string>& Values(const std::string& option) const;
};

struct ParseResult {
  std::optional<Command> command;
  std::string error;  // one line, when command is empty
  bool help = false;  // --help or "help": print the usage and succeed
};

// Parses argv (without the program name). Every verb's options are checked
// here, so a bad command fails before any daemon is asked.
ParseResult ParseCommandLine(const std::vector<std::string>& argv);

// The usage text printed by --help.
std::string UsageText();

// Whether the verb runs the daemon itself (start, serve) rather than asking it.
bool IsDaemonVerb(const std::string& verb);

// Parses "on"/"off" (also yes/no, 1/0); nothing for anything else.
std::optional<bool> ParseSwitch(const std::string& text);
// Parses a whole unsigned decimal number within [lo, hi].
std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long lo, unsigned long hi);

}  // namespace spoolhost
