// The log file: its place and name, the backup across loads, the exact line
// format at a fixed local time, and writers racing each other and the close.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/log.h"
#include "host/clock.h"
#include "host/heap.h"
#include "host/resources.h"
#include "host/system.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace {

namespace fs = std::filesystem;

// 6 December 1997, 09:33:24 UTC: 18:33:24 in Tokyo.
constexpr std::uint64_t kDecember1997Ms = 881400804000ULL;
// 7 March 1997, 09:05:03 UTC.
constexpr std::uint64_t kMarch1997Ms = 857725503000ULL;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Instances live as long as the process; a plain static table (no destructor
// runs before the leak check) keeps them reachable.
HINSTANCE InstanceOf(const plat::ResourceTable* table) {
  static const plat::ResourceTable* tables[8];
  static HINSTANCE instances[8];
  for (int i = 0; i < 8; ++i) {
    if (tables[i] == table) return instances[i];
    if (tables[i] == nullptr) {
      tables[i] = table;
      instances[i] = plat::MakeModuleInstance(table);
      return instances[i];
    }
  }
  return nullptr;
}

class LogFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tavro_log_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    plat::SetWindowsDirectory(dir_.string());
    const char* zone = std::getenv("TZ");
    savedZone_ = zone != nullptr ? zone : "";
    hadZone_ = zone != nullptr;
    SetZone("UTC0");
    plat::UseManualClock(kMarch1997Ms);
    instance_ = InstanceOf(&TavroResourceTable);
    blocks_ = plat::LiveLocalBlocks();
  }
  void TearDown() override {
    CloseLogFile();
    EXPECT_EQ(plat::LiveLocalBlocks(), blocks_) << "the path blocks are freed";
    plat::UseRealClock();
    if (hadZone_) {
      SetZone(savedZone_.c_str());
    } else {
      ::unsetenv("TZ");
      ::tzset();
    }
    fs::remove_all(dir_);
  }
  static void SetZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  fs::path Log() const { return dir_ / "TAVRO.log"; }
  fs::path Backup() const { return dir_ / "TAVRO.bak"; }

  fs::path dir_;
  HINSTANCE instance_ = nullptr;
  std::int64_t blocks_ = 0;
  std::string savedZone_;
  bool hadZone_ = false;
};

TEST_F(LogFile, FirstLoadMakesAnEmptyLogAndNoBackup) {
  OpenLogFile(instance_);
  ASSERT_TRUE(fs::exists(Log()));
  EXPECT_EQ(fs::file_size(Log()), 0u);
  EXPECT_FALSE(fs::exists(Backup()));
}

TEST_F(LogFile, LineIsDateTimeLabelBlankTextCrLfAtLocalTime) {
  SetZone("JST-9");
  plat::UseManualClock(kDecember1997Ms);
  OpenLogFile(instance_);
  WriteLog("Initialize", "Print Monitor Log File");
  EXPECT_EQ(ReadFile(Log()), "12/06/9718:33:24Initialize Print Monitor Log File\r\n");
}

TEST_F(LogFile, FieldsAreTwoDigitsWithLeadingZeros) {
  OpenLogFile(instance_);
  WriteLog("StartDocPort", "NetbiosCall ret: 12");
  plat::AdvanceClock(1000);
  WriteLog("", "");
  WriteLog(nullptr, nullptr);
  EXPECT_EQ(ReadFile(Log()),
            "03/07/9709:05:03StartDocPort NetbiosCall ret: 12\r\n"
            "03/07/9709:05:04 \r\n"
            "03/07/9709:05:04 \r\n");
}

TEST_F(LogFile, SecondLoadKeepsTheFirstLogAsBackup) {
  OpenLogFile(instance_);
  WriteLog("Initialize", "Print Monitor Log File");
  WriteLog("InitMonitor", "first load");
  const std::string first = ReadFile(Log());

  plat::AdvanceClock(60'000);
  OpenLogFile(instance_);
  EXPECT_EQ(ReadFile(Backup()), first);
  EXPECT_EQ(fs::file_size(Log()), 0u);
  WriteLog("Initialize", "Print Monitor Log File");
  EXPECT_EQ(ReadFile(Log()), "03/07/9709:06:03Initialize Print Monitor Log File\r\n");

  // A third load, after a regular close, replaces the backup: one generation.
  CloseLogFile();
  OpenLogFile(instance_);
  EXPECT_EQ(ReadFile(Backup()), "03/07/9709:06:03Initialize Print Monitor Log File\r\n");
}

TEST_F(LogFile, NothingIsWrittenBeforeOpenOrAfterClose) {
  WriteLog("Early", "dropped");
  WriteLogFormat("Early", "%d", 1);
  EXPECT_FALSE(fs::exists(Log()));
  OpenLogFile(instance_);
  WriteLog("Kept", "line");
  CloseLogFile();
  WriteLog("Late", "dropped");
  CloseLogFile();
  EXPECT_EQ(ReadFile(Log()), "03/07/9709:05:03Kept line\r\n");
}

TEST_F(LogFile, ModuleNameComesFromString523WithTavroWhenItIsMissing) {
  static const plat::ResourceString renamed[] = {{523, "OTHER"}};
  static const plat::ResourceTable renamedTable{renamed, 1, nullptr, 0};
  OpenLogFile(InstanceOf(&renamedTable));
  WriteLog("A", "B");
  EXPECT_TRUE(fs::exists(dir_ / "OTHER.log"));
  CloseLogFile();

  static const plat::ResourceString none[] = {{2, "unrelated"}};
  static const plat::ResourceTable bare{none, 1, nullptr, 0};
  OpenLogFile(InstanceOf(&bare));
  WriteLog("A", "B");
  EXPECT_TRUE(fs::exists(Log()));
  CloseLogFile();
  fs::remove(Log());

  OpenLogFile(nullptr);
  WriteLog("A", "B");
  EXPECT_TRUE(fs::exists(Log()));
}

TEST_F(LogFile, APathOf260CharactersOrMoreKeepsNoLogRatherThanACutOne) {
  // "\TAVRO.log" takes 10 characters: a directory of 249 makes a path of 259,
  // the longest that fits a 260-byte block with its end.
  for (std::size_t length : {249u, 250u, 251u}) {
    std::string parent = (dir_ / std::to_string(length)).string() + "/";
    fs::path windows = parent + std::string(length - parent.size(), 'd');
    fs::create_directories(windows);
    plat::SetWindowsDirectory(windows.string());
    OpenLogFile(instance_);
    WriteLog("A", "B");
    CloseLogFile();
    std::string files;
    for (const auto& entry : fs::directory_iterator(windows)) files += entry.path().filename().string() + " ";
    EXPECT_EQ(files, length == 249 ? "TAVRO.log " : "") << "directory of " << length;
  }
}

TEST_F(LogFile, FormattedLinesAreBounded) {
  OpenLogFile(instance_);
  WriteLogFormat("InitMonitor", "nw.bLanaNum: %02X", 3);
  WriteLogFormat("PingThread", "%s", std::string(5000, 'x').c_str());
  WriteLogFormat("PingThread", nullptr);
  std::istringstream lines(ReadFile(Log()));
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "03/07/9709:05:03InitMonitor nw.bLanaNum: 03\r");
  std::getline(lines, line);
  EXPECT_EQ(line, "03/07/9709:05:03PingThread " + std::string(1023, 'x') + "\r");
  std::getline(lines, line);
  EXPECT_EQ(line, "03/07/9709:05:03PingThread \r");
}

TEST_F(LogFile, ConcurrentWritersEachWriteWholeLines) {
  OpenLogFile(instance_);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 100; ++i) WriteLogFormat("RefreshThread", "writer %d line %03d", t, i);
    });
  }
  for (auto& w : writers) w.join();
  std::istringstream lines(ReadFile(Log()));
  const std::regex shape(R"(03/07/9709:05:03RefreshThread writer [0-3] line \d{3}\r)");
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, shape)) << line;
    ++count;
  }
  EXPECT_EQ(count, 400);
}

TEST_F(LogFile, CloseWhileOthersWriteIsSafe) {
  OpenLogFile(instance_);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&] {
      while (!stop.load()) {
        WriteLog("PingThread", "late line");
        written.fetch_add(1);
      }
    });
  }
  while (written.load() < 50) std::this_thread::yield();
  CloseLogFile();
  const std::uintmax_t size = fs::file_size(Log());
  while (written.load() < 100) std::this_thread::yield();
  stop.store(true);
  for (auto& w : writers) w.join();
  EXPECT_EQ(fs::file_size(Log()), size) << "no line after the close";
  EXPECT_EQ(size % std::string("03/07/9709:05:03PingThread late line\r\n").size(), 0u);
}

}  // namespace
