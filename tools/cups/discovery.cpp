// Device discovery: one line per port the monitor lists.
#include "discovery.h"

#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "backend_status.h"
#include "cups_text.h"
#include "spoolhost_link.h"

namespace varnhold {

int ListDevices(SchedulerReport& report) {
  SpoolhostLink link;
  std::string error;
  switch (link.Open(StateFolderPath(), &error)) {
    case SpoolhostLink::Fault::NotRunning:
      report.Debug(error);
      return kBackendOk;
    case SpoolhostLink::Fault::Refused:
      report.Error(error);
      return kBackendOk;
    case SpoolhostLink::Fault::None:
      break;
  }
  report.Debug("asking spoolhost in " + link.Path() + " as uid " + std::to_string(::geteuid()));
  Answer ports = link.Ask({"ports"});
  if (ports.status != 0) {
    report.Debug(ports.err);
    return kBackendOk;
  }
  std::istringstream lines(ports.out);
  for (std::string port; std::getline(lines, port);) {
    // The line spoolhost gives while no box has answered yet.
    if (port.empty() || port.rfind("(no ports yet", 0) == 0) continue;
    // A name no job could be sent to (control bytes) is not offered.
    if (!PortOfUri(DeviceUri(port))) {
      report.Debug("not offering port " + port + ": its name holds control characters");
      continue;
    }
    std::printf("%s\n", DeviceLine(port).c_str());
  }
  std::fflush(stdout);
  return kBackendOk;
}

}  // namespace varnhold
