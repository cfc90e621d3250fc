// Text from the network or the registry, made safe for a terminal or a log.
#pragma once

#include <string>
#include <string_view>

namespace tools {

// TEXT with every control and non-printing byte written as \xNN (an escape
// sequence in a reported name must not reach a terminal); line ends (\n, \r\n)
// are kept when KEEP_LINES, for output of several lines.
std::string EscapeText(std::string_view text, bool keepLines = false);

}  // namespace tools
