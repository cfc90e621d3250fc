// The parts of spoolhost that need no daemon: the command line, the --net and
// --printbox specifications, the names of states, and the socket framing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "options.h"
#include "protocol.h"
#include "specs.h"

namespace spoolhost {
namespace {

using namespace tools;

ParseResult Parse(std::vector<std::string> argv) { return ParseCommandLine(argv); }

TEST(CommandLine, StateMayComeBeforeOrAfterTheVerb) {
  ParseResult a = Parse({"--state", "/tmp/s", "ports", "--level", "2"});
  ASSERT_TRUE(a.command) << a.error;
  EXPECT_EQ(a.command->verb, "ports");
  EXPECT_EQ(*a.command->stateDir, "/tmp/s");
  EXPECT_EQ(a.command->Value("level"), "2");
  ParseResult b = Parse({"ports", "--state=/tmp/t", "--level=1"});
  ASSERT_TRUE(b.command) << b.error;
  EXPECT_EQ(*b.command->stateDir, "/tmp/t");
  EXPECT_EQ(b.command->Value("level"), "1");
}

TEST(CommandLine, RepeatableOptionsKeepEveryValueInOrder) {
  ParseResult r = Parse({"start", "--net", "loop:a", "--net=loop:b,lana=3", "--printbox", "B:P1", "--answer-boxes"});
  ASSERT_TRUE(r.command) << r.error;
  EXPECT_EQ(r.command->Values("net"), (std::vector<std::string>{"loop:a", "loop:b,lana=3"}));
  EXPECT_TRUE(r.command->Has("answer-boxes"));
}

TEST(CommandLine, RefusesWhatTheVerbDoesNotTake) {
  EXPECT_NE(Parse({"ports", "--level", "3"}).error, "");
  EXPECT_NE(Parse({"ports", "--level"}).error, "");
  EXPECT_NE(Parse({"ports", "--level", "1", "--level", "2"}).error, "");
  EXPECT_NE(Parse({"ports", "--offline", "on"}).error, "");
  EXPECT_NE(Parse({"stop", "--force=yes"}).error, "");
  EXPECT_NE(Parse({"print"}).error, "");
  EXPECT_NE(Parse({"print", "A", "B", "C"}).error, "");
  EXPECT_NE(Parse({"print", "A", "--copies", "0"}).error, "");
  EXPECT_NE(Parse({"print", "A", "--copies", "1000"}).error, "");
  EXPECT_NE(Parse({"cancel"}).error, "");
  EXPECT_NE(Parse({"cancel", "7", "--all", "Laser"}).error, "");
  EXPECT_NE(Parse({"cancel", "seven"}).error, "");
  EXPECT_NE(Parse({"--level", "1", "ports"}).error, "");
  EXPECT_NE(Parse({"-x", "ports"}).error, "");
  EXPECT_NE(Parse({"reg", "import"}).error, "");
  EXPECT_NE(Parse({"reg", "delete", "X"}).error, "");
  EXPECT_NE(Parse({"messages", "--answer", "1", "--answer-all"}).error, "");
  EXPECT_NE(Parse({"configure", "P", "--cancel", "--offline", "on"}).error, "");
  EXPECT_NE(Parse({"start", "--time-scale", "0"}).error, "");
  EXPECT_NE(Parse({"start", "--time-scale", "2x"}).error, "");
  EXPECT_NE(Parse({}).error, "");
  EXPECT_TRUE(Parse({"--help"}).help);
  EXPECT_TRUE(Parse({"help"}).help);
}

TEST(CommandLine, WordsAfterDoubleDashAreArguments) {
  ParseResult r = Parse({"print", "--", "--odd-name", "-"});
  ASSERT_TRUE(r.command) << r.error;
  EXPECT_EQ(r.command->args, (std::vector<std::string>{"--odd-name", "-"}));
}

TEST(NetSpec, LoopKeepsItsSegmentAndMarksWhatWasLeftOut) {
  std::string error;
  auto spec = ParseNetSpec("loop:lan1,lana=4,mac=02:00:0a:0B:00:ff", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_FALSE(spec->IsNbt());
  EXPECT_EQ(spec->net.adapter.segment, "lan1");
  EXPECT_TRUE(spec->lanaGiven);
  EXPECT_EQ(spec->net.adapter.lana, 4);
  EXPECT_TRUE(spec->macGiven);
  EXPECT_EQ(MacText(spec->net.adapter.hardwareAddress), "02:00:0a:0b:00:ff");
  EXPECT_EQ(DescribeNet(spec->net), "loop:lan1");
  // LANA 0 written out is a choice, not a default.
  auto zero = ParseNetSpec("loop:a,lana=0", &error);
  ASSERT_TRUE(zero) << error;
  EXPECT_TRUE(zero->lanaGiven);
  auto bare = ParseNetSpec("loop", &error);
  ASSERT_TRUE(bare) << error;
  EXPECT_EQ(bare->net.adapter.segment, "lan0");
  EXPECT_FALSE(bare->lanaGiven);
  EXPECT_FALSE(bare->macGiven);
}

TEST(NetSpec, NbtTakesAddressBroadcastAndPorts) {
  std::string error;
  auto spec = ParseNetSpec("nbt:127.0.0.2/8,ports=20000:20001:20002", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_TRUE(spec->IsNbt());
  EXPECT_FALSE(spec->lanaGiven);
  EXPECT_TRUE(spec->macGiven);  // the transport's, from the address
  EXPECT_EQ(MacText(spec->net.adapter.hardwareAddress), "02:00:7f:00:00:02");
  EXPECT_EQ(DescribeNet(spec->net), "nbt 127.0.0.2 (broadcast 127.255.255.255, ports 20000/20001/20002)");
  auto standard = ParseNetSpec("nbt:10.1.2.3/24,lana=2", &error);
  ASSERT_TRUE(standard) << error;
  EXPECT_EQ(DescribeNet(standard->net), "nbt 10.1.2.3 (broadcast 10.1.2.255, ports 137/138/139)");
  EXPECT_EQ(standard->net.adapter.lana, 2);
  for (const char* bad : {"tcp:x", "nbt:x", "nbt:127.0.0.2", "nbt:127.0.0.2/8,ports=1:2", "nbt:127.0.0.2/8,ports=0:1:2",
                          "nbt:10.0.0.1/8,bcast=255.255.255.255", "loop:a,lana=255", "loop:a,lana=-1",
                          "loop:a,mac=02:00", "loop:a,mac=zz:00:00:00:00:00", "loop:a,speed=10", "loop:a,ports=1:2:3"})
    EXPECT_FALSE(ParseNetSpec(bad, &error)) << bad;
}

TEST(CommandLine, InProcessBoxesNeedALoopAdapter) {
  // Alone, the default adapter is on the loop segment.
  EXPECT_TRUE(Parse({"start", "--printbox", "B:P1"}).command);
  EXPECT_TRUE(Parse({"start", "--net", "nbt:127.0.0.2/8", "--net", "loop:lan0", "--printbox", "B:P1"}).command);
  ParseResult r = Parse({"start", "--net", "nbt:127.0.0.2/8", "--printbox", "B:P1"});
  EXPECT_FALSE(r.command);
  EXPECT_NE(r.error.find("printbox start --net nbt:"), std::string::npos) << r.error;
  EXPECT_EQ(r.error.find('\n'), std::string::npos);
  EXPECT_TRUE(Parse({"start", "--net", "nbt:127.0.0.2/8,ports=20000:20001:20002"}).command);
}

TEST(BoxSpec, ReadsPortsStatesAndOutputDirectory) {
  std::string error;
  auto spec = ParseBoxSpec("BOX1:P1,P2=offline,P3=0x15@/tmp/out", &error);
  ASSERT_TRUE(spec) << error;
  EXPECT_EQ(spec->name, "BOX1");
  ASSERT_EQ(spec->ports.size(), 3u);
  EXPECT_EQ(spec->ports[0].state, 0x10);
  EXPECT_EQ(spec->ports[1].state, 0x12);
  EXPECT_EQ(spec->ports[2].state, 0x15);
  EXPECT_EQ(spec->outDir, "/tmp/out");
  for (const char* bad : {"BOX1", "BOX1:", ":P1", "BOX1:P1,P1", "BOX1:P1=wet", "BOX1:P1@", "BOX1:SIXTEEN_CHARS_XX",
                          "B X:P1"})
    EXPECT_FALSE(ParseBoxSpec(bad, &error)) << bad;
}

TEST(PortState, NamesAndBytesGoBothWays) {
  EXPECT_EQ(*ParsePortState("paperout"), 0x13);
  EXPECT_EQ(*ParsePortState("none"), 0x00);
  EXPECT_EQ(*ParsePortState("notport"), 0x14);
  EXPECT_EQ(*ParsePortState("0xff"), 0xff);
  EXPECT_EQ(*ParsePortState("21"), 21);
  EXPECT_FALSE(ParsePortState("0x100"));
  EXPECT_FALSE(ParsePortState("256"));
  EXPECT_FALSE(ParsePortState("0x"));
  EXPECT_EQ(PortStateName(0x11), "ready2");
  EXPECT_EQ(PortStateName(0x15), "0x15");
}

TEST(PrinterStatus, BitsInWords) {
  EXPECT_EQ(PrinterStatusText(0), "ready");
  EXPECT_EQ(PrinterStatusText(0x10), "paper out");
  EXPECT_EQ(PrinterStatusText(0x80), "offline");
  EXPECT_EQ(PrinterStatusText(0x1000), "not available");
  EXPECT_EQ(PrinterStatusText(0x90), "paper out, offline");
  EXPECT_EQ(PrinterStatusText(0x80000000u), "0x80000000");
}

TEST(Framing, FramesCrossASocketWhole) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::string big(300000, 'x');
  big[12345] = '\0';
  // The socket holds less than the big frame: the reader runs beside the writer.
  std::thread writer([&] {
    EXPECT_TRUE(SendFrame(fds[0], Frame::Request, JoinWords({"print", "", "A B"})));
    EXPECT_TRUE(SendFrame(fds[0], Frame::Data, big));
    ::close(fds[0]);
  });
  auto first = ReceiveFrame(fds[1]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->type, Frame::Request);
  EXPECT_EQ(SplitWords(first->payload), (std::vector<std::string>{"print", "", "A B"}));
  auto second = ReceiveFrame(fds[1]);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->payload, big);
  EXPECT_FALSE(ReceiveFrame(fds[1]));  // end of stream
  writer.join();
  ::close(fds[1]);
}

TEST(Framing, RefusesOversizedAndTruncatedFrames) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const unsigned char huge[5] = {0xff, 0xff, 0xff, 0x7f, 'O'};
  ASSERT_EQ(::write(fds[0], huge, sizeof huge), 5);
  EXPECT_FALSE(ReceiveFrame(fds[1]));
  const unsigned char cut[7] = {10, 0, 0, 0, 'O', 'a', 'b'};
  ASSERT_EQ(::write(fds[0], cut, sizeof cut), 7);
  ::close(fds[0]);
  EXPECT_FALSE(ReceiveFrame(fds[1]));
  ::close(fds[1]);
}

}  // namespace
}  // namespace spoolhost
