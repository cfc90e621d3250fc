// The CUPS backend's texts: what comes from the network or a queue's maker
// reaches spoolhost and the scheduler only checked or escaped.
#include <gtest/gtest.h>

#include "cups_text.h"
#include "port_watch.h"
#include "print_job.h"

namespace varnhold {
namespace {

TEST(CupsBackendText, PortNamesRoundTripThroughDeviceUris) {
  for (std::string port : {"P1", "LASER-2.a_b~", "with space", "quote\"back\\slash", "%41", "\xe9t\xe9"}) {
    std::string uri = DeviceUri(port);
    EXPECT_EQ(uri.find_first_of(" \"\\\x1b"), std::string::npos) << uri;
    EXPECT_EQ(PortOfUri(uri), port) << uri;
  }
  const struct {
    const char* uri;
    std::optional<std::string> port;
  } kRows[] = {
      {"varnhold://P1/", "P1"},  {"varnhold://P%2", std::nullopt}, {"varnhold://P%zz", std::nullopt},
      {"varnhold://", std::nullopt}, {"socket://P1", std::nullopt}, {"varnhold://a%0Ab", std::nullopt},
      {"varnhold://a%00b", std::nullopt}, {"varnhold://%1B%5B2Jesc", std::nullopt},
  };
  for (const auto& row : kRows) EXPECT_EQ(PortOfUri(row.uri), row.port) << row.uri;
}

TEST(CupsBackendText, QueueNamesMapToDistinctPrinterNamesSpoolhostTakes) {
  EXPECT_EQ(PrinterForQueue("Office_2.b-c@home"), "Office_2.b-c@home");
  EXPECT_EQ(PrinterForQueue("a,b[c]"), "a%2Cb%5Bc%5D");
  EXPECT_EQ(PrinterForQueue("a%2Cb"), "a%252Cb");  // never the same printer as "a,b"
  EXPECT_EQ(PrinterForQueue("caf\xc3\xa9"), "caf%C3%A9");
  EXPECT_EQ(PrinterForQueue(""), std::nullopt);
  EXPECT_EQ(PrinterForQueue(std::string(127, ',')), std::nullopt);  // too long once mapped
}

TEST(CupsBackendText, SchedulerLinesCannotBeSplitOrUnquoted) {
  EXPECT_EQ(DeviceLine("P1"), "network varnhold://P1 \"Varnhold print server port\" \"P1 (Varnhold)\"");
  std::string line = DeviceLine("x\"\nSTATE: +evil\\");
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line, "network varnhold://x%22%0ASTATE%3A%20%2Bevil%5C \"Varnhold print server port\" "
                  "\"x'\\x0aSTATE: +evil/ (Varnhold)\"");
}

TEST(CupsBackendText, PrinterStatusBecomesStateReasons) {
  const std::string out =
      "PRINTER           PORT              STATUS\n"
      "Office            P1                paper out\n"
      "Office2           P1                offline\n"
      "Wide              PORT WITH SPACE   not available\n";
  EXPECT_EQ(PrinterStatusIn(out, "Office", "P1"), "paper out");
  EXPECT_EQ(PrinterStatusIn(out, "Office", "P2"), std::nullopt);
  EXPECT_EQ(PrinterStatusIn(out, "Wide", "PORT WITH SPACE"), "not available");
  EXPECT_EQ(ReasonsOf("paper out"), std::set<std::string>{"media-empty-error"});
  EXPECT_EQ(ReasonsOf("offline, paper out"), (std::set<std::string>{"media-empty-error", "offline-report"}));
  EXPECT_EQ(ReasonsOf("not available"), std::set<std::string>{"offline-report"});
  EXPECT_TRUE(ReasonsOf("ready").empty());
  EXPECT_EQ(JobNumberIn("job 42 queued for printer Office\n"), 42u);
  EXPECT_EQ(JobNumberIn("jobs are 42\n"), std::nullopt);
}

}  // namespace
}  // namespace varnhold
