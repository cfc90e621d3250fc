// The datagrams of a print box: the ping it answers and the ServerReports it
// answers with (79-byte header, then 37-byte port entries, at most 11 each).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace printbox {

inline constexpr std::uint8_t kPing = 0x02;
inline constexpr std::size_t kReportHeader = 79;
inline constexpr std::size_t kReportTypeOffset = 1;
inline constexpr std::size_t kReportCountOffset = 78;
inline constexpr std::size_t kPortEntrySize = 37;
inline constexpr std::size_t kPortNameOffset = 5;
inline constexpr std::size_t kPortNameSize = 16;
inline constexpr std::size_t kEntriesPerReport = 11;

inline constexpr std::uint8_t kReportType = 0x01;
inline constexpr std::uint8_t kReportTypeAlt = 0x80;

// Port statuses a box reports.
inline constexpr std::uint8_t kStatusNone = 0x00;
inline constexpr std::uint8_t kStatusReady = 0x10;
inline constexpr std::uint8_t kStatusReady2 = 0x11;
inline constexpr std::uint8_t kStatusOffline = 0x12;
inline constexpr std::uint8_t kStatusPaperOut = 0x13;
inline constexpr std::uint8_t kStatusNotAPort = 0x14;

struct PortStatus {
  std::string name;  // at most 16 characters go on the wire
  std::uint8_t status = kStatusReady;
};

// The reports that answer one ping: 11 ports each, in order; a box with no
// ports still answers with one empty report.
std::vector<std::vector<std::uint8_t>> BuildServerReports(const std::string& boxName, std::uint8_t type,
                                                          const std::vector<PortStatus>& ports);

// A port name as a 16-byte NetBIOS name field, padded with spaces.
std::string PaddedName(const std::string& name);

}  // namespace printbox
