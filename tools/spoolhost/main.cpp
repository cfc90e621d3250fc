// spoolhost: a small print spooler that loads the Varnhold port monitor.
#include <cstdio>
#include <string>
#include <vector>

#include "client.h"
#include "daemon.h"
#include "options.h"

int main(int argc, char** argv) {
  using namespace spoolhost;
  std::vector<std::string> words(argv + 1, argv + argc);
  ParseResult parsed = ParseCommandLine(words);
  if (parsed.help) {
    std::fputs(UsageText().c_str(), stdout);
    return kExitOk;
  }
  if (!parsed.command) {
    std::fprintf(stderr, "spoolhost: %s\n", parsed.error.c_str());
    return kExitUsage;
  }
  const Command& command = *parsed.command;
  StateDir dir = StateDir::Resolve(command.stateDir);
  if (command.verb == "serve") return ServeCommand(command, dir);
  if (command.verb == "start") return StartCommand(command, dir);
  return RunClient(command, dir);
}
