// The client side of spoolhost: runs one verb by asking the daemon.
#pragma once

#include "options.h"
#include "state_dir.h"

namespace spoolhost {

// Runs the command against the daemon of the state directory; returns the
// exit status. Errors go to standard error as one line.
int RunClient(Command command, const tools::StateDir& dir);

// The words of a command as the parser reads them back.
std::vector<std::string> CommandWords(const Command& command);

}  // namespace spoolhost
