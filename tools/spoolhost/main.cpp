// spoolhost: a small print spooler that loads the Varnhold port monitor.
#include <malloc.h>

#include <cstdio>
#include <string>
#include <vector>

#include "client.h"
#include "daemon.h"
#include "options.h"

namespace {

// Jobs pass through in large blocks, and faulting fresh pages in costs more
// than copying into them: freed memory stays in the process for the next job
// (blocks up to 32 MiB come from the heap, which is not trimmed below 512 MiB).
void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}
}  // namespace

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
  tools::StateDir dir = tools::StateDir::Resolve(command.stateDir);
  if (command.verb == "serve" || command.verb == "start") KeepFreedMemory();
  if (command.verb == "serve") return ServeCommand(command, dir);
  if (command.verb == "start") return StartCommand(command, dir);
  return RunClient(command, dir);
}
