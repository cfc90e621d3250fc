// Device discovery, as `lpinfo -v` runs the backend: a line per port the
// monitor lists.
#pragma once

#include "scheduler_report.h"

namespace varnhold {

// Writes the device lines to standard output; nothing when no spoolhost runs.
// Always a backend's success: no devices is a valid answer.
int ListDevices(SchedulerReport& report);

}  // namespace varnhold
