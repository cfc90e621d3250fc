// The texts the backend trades with CUPS: device URIs, the spoolhost printer
// that stands for a queue, and lines for the scheduler. Names come from the
// network (ports) or from whoever made the queue, so every one is checked or
// escaped before it is used.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace varnhold {

inline constexpr std::string_view kUriScheme = "varnhold://";

// varnhold://PORT, the port name percent-encoded where it holds anything but
// letters, digits and -._~ (a name from the network may hold any byte).
std::string DeviceUri(std::string_view port);

// The port a device URI names; nothing for another scheme, a bad escape, an
// empty name, or a name with a control byte, NUL or more than kMaxPortName bytes.
inline constexpr std::size_t kMaxPortName = 259;
std::optional<std::string> PortOfUri(std::string_view uri);

// The spoolhost printer that stands for CUPS queue QUEUE: the queue's name
// where spoolhost takes it as it is, else with each byte spoolhost or the
// registry refuses (and '%' itself) written %HH, so two queues never share a
// printer. Nothing when the result is too long for a printer name.
std::optional<std::string> PrinterForQueue(std::string_view queue);

// A discovery line for lpinfo: class, URI, make and model, and info.
std::string DeviceLine(std::string_view port);

// TEXT fit for one line to the scheduler (or a quoted field of it): control
// bytes escaped as \xNN, quotes and backslashes replaced, so a name can neither
// end the line nor the field.
std::string SchedulerText(std::string_view text);

}  // namespace varnhold
