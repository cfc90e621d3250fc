// Building the ServerReports that a print box sends in answer to a ping.
#include "server_report.h"

#include <algorithm>

namespace printbox {

std::string PaddedName(const std::string& name) {
  std::string field = name.substr(0, kPortNameSize);
  field.resize(kPortNameSize, ' ');
  return field;
}

std::vector<std::vector<std::uint8_t>> BuildServerReports(const std::string& boxName, std::uint8_t type,
                                                          const std::vector<PortStatus>& ports) {
  std::vector<std::vector<std::uint8_t>> reports;
  std::size_t first = 0;
  do {
    std::size_t count = std::min(kEntriesPerReport, ports.size() - first);
    std::vector<std::uint8_t> r(kReportHeader + count * kPortEntrySize, 0);
    r[kReportTypeOffset] = type;
    // Bytes 2..77 are the box's own business; it puts its name there.
    std::copy_n(boxName.begin(), std::min<std::size_t>(boxName.size(), 32), r.begin() + 2);
    r[kReportCountOffset] = static_cast<std::uint8_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
      std::uint8_t* e = r.data() + kReportHeader + i * kPortEntrySize;
      e[0] = ports[first + i].status;
      std::string field = PaddedName(ports[first + i].name);
      std::copy(field.begin(), field.end(), e + kPortNameOffset);
    }
    reports.push_back(std::move(r));
    first += count;
  } while (first < ports.size());
  return reports;
}

}  // namespace printbox
