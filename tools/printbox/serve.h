// printbox serve: the box on its adapter, controlled over the state
// directory's socket until stopped.
#pragma once

#include "command_line.h"

namespace printbox {

// Runs the box in the foreground until `stop` or a stop signal; the exit
// status. With --ready-fd, how start-up went is told on that descriptor.
int Serve(const Options& o);

}  // namespace printbox
