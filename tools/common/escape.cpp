// Text from the network or the registry, made safe for a terminal or a log.
#include "escape.h"

namespace tools {

std::string EscapeText(std::string_view text, bool keepLines) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    auto byte = static_cast<unsigned char>(c);
    const bool lineEnd = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if ((byte >= 0x20 && byte < 0x7f) || (keepLines && lineEnd)) {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    }
  }
  return out;
}

}  // namespace tools
