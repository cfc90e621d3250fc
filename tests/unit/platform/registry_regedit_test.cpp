// REGEDIT4 import and export of the registry stand-in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/registry.h"
#include "platform.h"

namespace {

class RegistryRegedit : public ::testing::Test {
 protected:
  void SetUp() override { plat::ResetRegistry(); }
  void TearDown() override { EXPECT_EQ(plat::OpenKeyHandleCount(), 0u); }

  static std::vector<BYTE> Query(const char* path, const char* value, DWORD* type = nullptr) {
    HKEY key = nullptr;
    std::vector<BYTE> data(4096);
    DWORD cb = static_cast<DWORD>(data.size());
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return {0xEE};
    LONG rc = RegQueryValueExA(key, value, nullptr, type, data.data(), &cb);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return {0xEF};
    data.resize(cb);
    return data;
  }
  static bool Exists(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
};

TEST_F(RegistryRegedit, ImportsKeysTextDwordAndHexValues) {
  plat::RegistryStatus status = plat::ImportRegistry(
      "REGEDIT4\r\n"
      "\r\n"
      "; the monitor's key\r\n"
      "[HKEY_LOCAL_MACHINE\\System\\Monitors\\TAVRO]\r\n"
      "\"Version\"=\"1.04\"\r\n"
      "\"Timer\"=dword:000003e7\r\n"
      "@=\"say \\\"hi\\\" C:\\\\x\"\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\System\\Monitors\\TAVRO\\Port1]\r\n"
      "\"Offline\"=hex:01\r\n"
      "\"Long\"=hex:00,01,02,\\\r\n"
      "  03,04\r\n"
      "\"Multi\"=hex(7):61,00,00\r\n"
      "[HKEY_LOCAL_MACHINE\\Empty]\r\n");
  ASSERT_TRUE(status) << status.error;
  DWORD type = 0;
  EXPECT_EQ(Query("System\\Monitors\\TAVRO", "Version", &type), (std::vector<BYTE>{'1', '.', '0', '4', 0}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(Query("System\\Monitors\\TAVRO", "Timer", &type), (std::vector<BYTE>{0xe7, 0x03, 0, 0}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  std::vector<BYTE> def = Query("System\\Monitors\\TAVRO", "");
  EXPECT_EQ(std::string(def.begin(), def.end()), std::string("say \"hi\" C:\\x\0", 14));
  EXPECT_EQ(Query("System\\Monitors\\TAVRO\\Port1", "Offline", &type), std::vector<BYTE>{1});
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(Query("System\\Monitors\\TAVRO\\Port1", "Long"), (std::vector<BYTE>{0, 1, 2, 3, 4}));
  Query("System\\Monitors\\TAVRO\\Port1", "Multi", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
  EXPECT_TRUE(Exists("Empty"));
}

TEST_F(RegistryRegedit, DeletesKeyTreesAndValues) {
  ASSERT_TRUE(plat::ImportRegistry("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\B\\C]\n\"v\"=\"1\"\n[HKEY_LOCAL_MACHINE\\A]\n"
                                   "\"keep\"=\"1\"\n\"drop\"=\"1\"\n"));
  plat::RegistryStatus status =
      plat::ImportRegistry("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A\\B]\n[-HKEY_LOCAL_MACHINE\\Never]\n[HKLM\\A]\n\"drop\"=-\n");
  ASSERT_TRUE(status) << status.error;
  EXPECT_FALSE(Exists("A\\B"));
  EXPECT_TRUE(Exists("A"));
  EXPECT_EQ(Query("A", "drop"), std::vector<BYTE>{0xEF});
  EXPECT_EQ(Query("A", "keep"), (std::vector<BYTE>{'1', 0}));
}

TEST_F(RegistryRegedit, AMalformedTextNamesItsLineAndImportsNothing) {
  struct Case {
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {"Windows Registry Editor Version 5.00\n", "line 1:"},
      {"", "line 1:"},
      {"REGEDIT4\n\"v\"=\"outside a key\"\n", "line 2:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=\"1\"\n[HKEY_CURRENT_USER\\X]\n", "line 4:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=dword:123456789\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=hex:01,02,\\\n  03,zz\n", "line 4:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=hex:01,\\\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=hex:01,02,\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a=\"1\"\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=\"1\" trailing\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good\\\\Bad]\n", "line 2:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good\n", "line 2:"},
      {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "line 2:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\nstray\n", "line 3:"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"a\"=\"\\q\"\n", "line 3:"},
  };
  for (const Case& c : cases) {
    plat::RegistryStatus status = plat::ImportRegistry(c.text);
    EXPECT_FALSE(status) << c.text;
    EXPECT_EQ(status.error.rfind(c.line, 0), 0u) << c.text << " gave: " << status.error;
    EXPECT_FALSE(Exists("Good")) << c.text;
  }
  std::string longKey = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good\\" + std::string(256, 'k') + "]\n";
  EXPECT_FALSE(plat::ImportRegistry(longKey));
  EXPECT_FALSE(Exists("Good"));
}

TEST_F(RegistryRegedit, ExportThenImportGivesTheSameHive) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Sys\\Odd \"Name\" [1]", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  DWORD dw = 0x12345678;
  std::vector<BYTE> blob(100);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<BYTE>(i * 7);
  ASSERT_EQ(RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("a\\b\"c"), 6), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "NoZero", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Lines", 0, REG_SZ, reinterpret_cast<const BYTE*>("a\nb"), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Dword", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dw), 4), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "ShortDword", 0, REG_DWORD, blob.data(), 2), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Blob", 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size())), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 1), ERROR_SUCCESS);
  RegCloseKey(key);
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Sys\\Bare", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  RegCloseKey(key);

  std::string exported = plat::ExportRegistry();
  EXPECT_NE(exported.find("[HKEY_LOCAL_MACHINE\\Sys\\Bare]"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"Text\"=\"a\\\\b\\\"c\""), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"Dword\"=dword:12345678"), std::string::npos) << exported;
  EXPECT_NE(exported.find("\"NoZero\"=hex(1):61,62,63"), std::string::npos) << exported;
  EXPECT_NE(exported.find(",\\\n  "), std::string::npos) << "long data wraps: " << exported;
  plat::ResetRegistry();
  plat::RegistryStatus status = plat::ImportRegistry(exported);
  ASSERT_TRUE(status) << status.error << "\n" << exported;
  EXPECT_EQ(plat::ExportRegistry(), exported);
  EXPECT_EQ(Query("Sys\\Odd \"Name\" [1]", "Blob"), blob);
  EXPECT_EQ(Query("Sys\\Odd \"Name\" [1]", "Lines"), (std::vector<BYTE>{'a', '\n', 'b', 0}));

  // A subtree alone, named with the spelling the hive keeps.
  std::string part = plat::ExportRegistry("sys\\bare");
  EXPECT_EQ(part, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Sys\\Bare]\n\n");
  EXPECT_EQ(plat::ExportRegistry("Missing"), "REGEDIT4\n\n");
}

}  // namespace
