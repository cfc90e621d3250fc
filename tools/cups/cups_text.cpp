// Device URIs, queue names and scheduler lines.
#include "cups_text.h"

#include <cctype>

#include "escape.h"

namespace varnhold {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
// spoolhost's own limit on a printer's name.
constexpr std::size_t kMaxPrinterName = 200;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendEscaped(std::string* out, unsigned char byte) {
  out->push_back('%');
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 0xf]);
}

}  // namespace

std::string DeviceUri(std::string_view port) {
  std::string uri(kUriScheme);
  for (char c : port) {
    auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~')
      uri.push_back(c);
    else
      AppendEscaped(&uri, byte);
  }
  return uri;
}

std::optional<std::string> PortOfUri(std::string_view uri) {
  if (uri.substr(0, kUriScheme.size()) != kUriScheme) return std::nullopt;
  std::string_view rest = uri.substr(kUriScheme.size());
  // CUPS may hand the URI with a trailing slash or options; neither is ours.
  if (std::size_t end = rest.find_first_of("/?#"); end != std::string_view::npos) rest = rest.substr(0, end);
  std::string port;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    char c = rest[i];
    if (c == '%') {
      if (i + 2 >= rest.size()) return std::nullopt;
      int hi = HexValue(rest[i + 1]), lo = HexValue(rest[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      c = static_cast<char>(hi * 16 + lo);
      i += 2;
    }
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return std::nullopt;
    port.push_back(c);
  }
  if (port.empty() || port.size() > kMaxPortName) return std::nullopt;
  return port;
}

std::optional<std::string> PrinterForQueue(std::string_view queue) {
  if (queue.empty()) return std::nullopt;
  std::string name;
  for (char c : queue) {
    auto byte = static_cast<unsigned char>(c);
    // What spoolhost refuses in a printer name (control bytes, , \ [ ] "),
    // what would split its tables (space) and what is not ANSI text.
    bool refused = byte <= 0x20 || byte >= 0x7f || c == ',' || c == '\\' || c == '[' || c == ']' || c == '"';
    if (refused || c == '%')
      AppendEscaped(&name, byte);
    else
      name.push_back(c);
  }
  if (name.size() > kMaxPrinterName) return std::nullopt;
  return name;
}

std::string SchedulerText(std::string_view text) {
  std::string plain(text);
  for (char& c : plain) {
    if (c == '"') c = '\'';
    // Left in place, a backslash would start an escape the scheduler undoes.
    if (c == '\\') c = '/';
  }
  return tools::EscapeText(plain);
}

std::string DeviceLine(std::string_view port) {
  return "network " + DeviceUri(port) + " \"Varnhold print server port\" \"" + SchedulerText(port) + " (Varnhold)\"";
}

}  // namespace varnhold
