// The hive's database file: persistence, bad files, and a writer killed
// in the middle of its writes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "host/registry.h"
#include "platform.h"

namespace {

namespace fs = std::filesystem;

class RegistryStore : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tavro-reg-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    plat::CloseRegistry();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string File(const char* name) const { return (fs::path(dir_) / name).string(); }

  std::string dir_;
};

// The value a writer stores at step i: its size and bytes depend on i alone.
std::vector<BYTE> Pattern(int i) {
  std::vector<BYTE> data(1000 + (i * 37) % 3000);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<BYTE>(i * 31 + k);
  return data;
}

TEST_F(RegistryStore, KeysAndValuesSurviveCloseAndReopen) {
  std::string path = File("hive.db");
  ASSERT_TRUE(plat::OpenRegistryFile(path)) << plat::OpenRegistryFile(path).error;
  EXPECT_EQ(plat::RegistryFilePath(), path);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tavro", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>("1.04"), 5), ERROR_SUCCESS);
  RegCloseKey(key);
  plat::CloseRegistry();

  // After close the calls run on a fresh, empty in-memory hive.
  EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Tavro", 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(plat::RegistryFilePath(), "");

  plat::RegistryStatus reopened = plat::OpenRegistryFile(path);
  ASSERT_TRUE(reopened) << reopened.error;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\TAVRO", 0, KEY_READ, &key), ERROR_SUCCESS);
  char text[8];
  DWORD cb = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "Version", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(text, "1.04");
  EXPECT_EQ(cb, 5u);

  // A handle that outlives its hive fails cleanly.
  plat::CloseRegistry();
  cb = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "Version", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &cb),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);
}

TEST_F(RegistryStore, BadFilesAreRefusedWithAMessageAndTheCurrentHiveStays) {
  ASSERT_TRUE(plat::ImportRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Kept]\n"));

  std::string garbage = File("garbage.db");
  std::ofstream(garbage) << std::string(4096, 'G');
  plat::RegistryStatus status = plat::OpenRegistryFile(garbage);
  EXPECT_FALSE(status);
  EXPECT_NE(status.error.find(garbage), std::string::npos) << status.error;
  EXPECT_NE(status.error.find("not a database"), std::string::npos) << status.error;

  // A sound SQLite database that is not a hive.
  std::string other = File("other.db");
  ASSERT_EQ(std::system(("sqlite3 " + other + " 'CREATE TABLE t(x)'").c_str()), 0);
  status = plat::OpenRegistryFile(other);
  EXPECT_FALSE(status);
  EXPECT_NE(status.error.find("not a registry hive"), std::string::npos) << status.error;

  status = plat::OpenRegistryFile(File("no/such/dir/hive.db"));
  EXPECT_FALSE(status);
  EXPECT_NE(status.error.find("cannot open"), std::string::npos) << status.error;

  // A hive file whose pages were overwritten in the middle.
  std::string damaged = File("damaged.db");
  ASSERT_TRUE(plat::OpenRegistryFile(damaged));
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "A", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (int i = 0; i < 20; ++i) {
    std::vector<BYTE> data = Pattern(i);
    std::string name = "v" + std::to_string(i);
    ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  RegCloseKey(key);
  plat::CloseRegistry();
  auto size = fs::file_size(damaged);
  ASSERT_GT(size, 8192u);
  {
    std::fstream f(damaged, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    f << std::string(size - 4096, '\x5a');
  }
  status = plat::OpenRegistryFile(damaged);
  EXPECT_FALSE(status);
  EXPECT_FALSE(status.error.empty());

  if (geteuid() != 0) {
    std::string locked = File("locked.db");
    ASSERT_TRUE(plat::OpenRegistryFile(locked));
    plat::CloseRegistry();
    chmod(locked.c_str(), 0);
    status = plat::OpenRegistryFile(locked);
    EXPECT_FALSE(status);
    EXPECT_NE(status.error.find(locked), std::string::npos) << status.error;
  }
}

TEST_F(RegistryStore, AWriterKilledMidWriteLeavesWholeKeysAndValues) {
  std::string path = File("killed.db");
  int progress[2];
  ASSERT_EQ(pipe(progress), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(progress[0]);
    if (!plat::OpenRegistryFile(path)) _exit(2);
    for (int i = 0;; ++i) {
      std::string keyPath = "Kill\\K" + std::to_string(i % 50);
      HKEY key = nullptr;
      if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        _exit(3);
      }
      std::vector<BYTE> data = Pattern(i);
      std::string name = "v" + std::to_string(i);
      if (RegSetValueExA(key, name.c_str(), 0, REG_BINARY, data.data(), static_cast<DWORD>(data.size())) !=
          ERROR_SUCCESS) {
        _exit(4);
      }
      RegCloseKey(key);
      if (i % 10 == 0) {
        char tick = 1;
        if (write(progress[1], &tick, 1) != 1) _exit(5);
      }
    }
  }
  close(progress[1]);
  // Let the writer get well into its loop, then kill it without warning.
  char tick;
  for (int seen = 0; seen < 30; ++seen) ASSERT_EQ(read(progress[0], &tick, 1), 1);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  close(progress[0]);

  plat::RegistryStatus opened = plat::OpenRegistryFile(path);
  ASSERT_TRUE(opened) << opened.error;
  HKEY kill = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Kill", 0, KEY_READ, &kill), ERROR_SUCCESS);
  int values = 0;
  char keyName[32];
  for (DWORD k = 0; RegEnumKeyA(kill, k, keyName, sizeof keyName) == ERROR_SUCCESS; ++k) {
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(kill, keyName, 0, KEY_READ, &key), ERROR_SUCCESS);
    char name[32];
    std::vector<BYTE> data(8192);
    for (DWORD v = 0;; ++v) {
      DWORD cch = sizeof name, cb = static_cast<DWORD>(data.size()), type = 0;
      LONG rc = RegEnumValueA(key, v, name, &cch, nullptr, &type, data.data(), &cb);
      if (rc == ERROR_NO_MORE_ITEMS) break;
      ASSERT_EQ(rc, ERROR_SUCCESS);
      std::vector<BYTE> expected = Pattern(std::atoi(name + 1));
      ASSERT_EQ(cb, expected.size()) << name;
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), data.begin())) << name;
      ++values;
    }
    RegCloseKey(key);
  }
  RegCloseKey(kill);
  EXPECT_GE(values, 291);
}

}  // namespace
