// The registry calls as the module relies on them: names, sizes, errors,
// enumeration while keys go away, handles, concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/registry.h"
#include "platform.h"

namespace {

class RegistryApi : public ::testing::Test {
 protected:
  void SetUp() override { plat::ResetRegistry(); }
  void TearDown() override { EXPECT_EQ(plat::OpenKeyHandleCount(), 0u); }

  static HKEY Create(const char* path, DWORD* disposition = nullptr) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, const_cast<LPSTR>("REG_SZ"), REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, disposition);
    EXPECT_EQ(rc, ERROR_SUCCESS) << path;
    return key;
  }
  static void Make(const char* path) { RegCloseKey(Create(path)); }
  static LONG Open(const char* path, HKEY* key, REGSAM access = KEY_ALL_ACCESS) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, key);
  }
  static std::vector<std::string> Subkeys(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD i = 0; RegEnumKeyA(key, i, name, sizeof name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
  }
};

TEST_F(RegistryApi, NamesAreCaseInsensitiveAndKeepTheirFirstSpelling) {
  DWORD disposition = 0;
  HKEY key = Create("Software\\Tavro\\Ports", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  HKEY again = Create("SOFTWARE\\tavro\\PORTS", &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

  BYTE one = 1;
  ASSERT_EQ(RegSetValueExA(key, "Offline", 0, REG_BINARY, &one, 1), ERROR_SUCCESS);
  BYTE two = 2;
  ASSERT_EQ(RegSetValueExA(again, "OFFLINE", 0, REG_BINARY, &two, 1), ERROR_SUCCESS);
  DWORD word = 0, size = 1, type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "offline", nullptr, &type, reinterpret_cast<LPBYTE>(&word), &size), ERROR_SUCCESS);
  EXPECT_EQ(word, 2u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));

  char name[32];
  DWORD cch = sizeof name;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_STREQ(name, "Offline");
  EXPECT_EQ(RegEnumValueA(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

  HKEY software = nullptr;
  ASSERT_EQ(Open("software", &software), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(software), std::vector<std::string>{"Tavro"});
  RegCloseKey(software);
  RegCloseKey(again);
  RegCloseKey(key);
}

TEST_F(RegistryApi, SubkeysEnumerateSortedAsTheRegistryFoldsThem) {
  // '_' sorts after letters once they are folded to upper case.
  for (const char* name : {"b", "_x", "A", "c"}) {
    std::string path = std::string("Root\\") + name;
    Make(path.c_str());
  }
  HKEY root = nullptr;
  ASSERT_EQ(Open("Root", &root), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(root), (std::vector<std::string>{"A", "b", "c", "_x"}));
  RegCloseKey(root);
}

TEST_F(RegistryApi, ValuesEnumerateInTheOrderFirstSet) {
  HKEY key = Create("Map");
  for (const char* name : {"zeta", "alpha", "mid"}) {
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>("0"), 2), ERROR_SUCCESS);
  }
  ASSERT_EQ(RegSetValueExA(key, "zeta", 0, REG_SZ, reinterpret_cast<const BYTE*>("1"), 2), ERROR_SUCCESS);
  std::vector<std::string> names;
  char name[32];
  for (DWORD i = 0;; ++i) {
    DWORD cch = sizeof name;
    if (RegEnumValueA(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", "mid"}));
  RegCloseKey(key);
}

TEST_F(RegistryApi, EnumerationByIndexFollowsTheCurrentListWhileKeysAreDeleted) {
  for (const char* name : {"P\\A", "P\\B", "P\\C", "P\\D"}) Make(name);
  HKEY port = nullptr;
  ASSERT_EQ(Open("P", &port), ERROR_SUCCESS);
  // Delete each key as it is seen: the one that moves into its place is
  // skipped, as on Windows, and the walk ends without error.
  std::vector<std::string> seen;
  char name[256];
  for (DWORD i = 0; RegEnumKeyA(port, i, name, sizeof name) == ERROR_SUCCESS; ++i) {
    seen.push_back(name);
    EXPECT_EQ(RegDeleteKeyA(port, name), ERROR_SUCCESS);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(Subkeys(port), (std::vector<std::string>{"B", "D"}));
  RegCloseKey(port);
}

TEST_F(RegistryApi, DeletingAKeyWithSubkeysIsDeniedAndAnOpenHandleSeesItsKeyDeleted) {
  Make("Tree\\Leaf");
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Tree"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Tree\\Missing"), ERROR_FILE_NOT_FOUND);
  HKEY leaf = nullptr;
  ASSERT_EQ(Open("tree\\leaf", &leaf), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "TREE\\LEAF"), ERROR_SUCCESS);
  BYTE b = 0;
  EXPECT_EQ(RegSetValueExA(leaf, "x", 0, REG_BINARY, &b, 1), ERROR_KEY_DELETED);
  EXPECT_EQ(RegCloseKey(leaf), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Tree"), ERROR_SUCCESS);
  EXPECT_EQ(Open("Tree", &leaf), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(leaf, nullptr);
}

TEST_F(RegistryApi, EnumKeySizesCountCharactersWithoutTheTerminatingZero) {
  Make("K\\Port1");
  HKEY key = nullptr;
  ASSERT_EQ(Open("K", &key), ERROR_SUCCESS);
  char name[16];
  // Exactly "Port1" + zero fits; one less does not and nothing is written.
  DWORD cch = 6;
  ASSERT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(cch, 5u);
  EXPECT_STREQ(name, "Port1");
  std::memset(name, 'x', sizeof name);
  cch = 5;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 5u);
  EXPECT_EQ(name[0], 'x');
  // RegEnumKeyA's size counts the zero as well.
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 5), ERROR_MORE_DATA);
  EXPECT_EQ(RegEnumKeyA(key, 0, name, 6), ERROR_SUCCESS);
  EXPECT_EQ(RegEnumKeyA(key, 1, name, 6), ERROR_NO_MORE_ITEMS);
  // The class string given at creation comes back with the same rules.
  char cls[16];
  DWORD cchClass = sizeof cls;
  cch = sizeof name;
  FILETIME ft{0, 0};
  ASSERT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, cls, &cchClass, &ft), ERROR_SUCCESS);
  EXPECT_STREQ(cls, "REG_SZ");
  EXPECT_EQ(cchClass, 6u);
  EXPECT_NE(ft.dwHighDateTime, 0u);
  cchClass = 6;
  EXPECT_EQ(RegEnumKeyExA(key, 0, name, &cch, nullptr, cls, &cchClass, nullptr), ERROR_MORE_DATA);
  RegCloseKey(key);
}

TEST_F(RegistryApi, EnumValueReportsTheNeededDataSizeAndLeavesBuffersAloneWhenTooSmall) {
  HKEY key = Create("V");
  ASSERT_EQ(RegSetValueExA(key, "Test", 0, REG_SZ, reinterpret_cast<const BYTE*>("foobar"), 7), ERROR_SUCCESS);
  char name[16], data[16];
  DWORD cch, cb, type;

  // Name too small: the data size and type are reported, nothing is written.
  std::strcpy(name, "xxxxxxxxxx");
  std::strcpy(data, "xxxxxxxxxx");
  cch = 4, cb = sizeof data, type = 1234;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, reinterpret_cast<LPBYTE>(data), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(cb, 7u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_STREQ(name, "xxxxxxxxxx");
  EXPECT_STREQ(data, "xxxxxxxxxx");

  // Data too small by one byte.
  cch = 5, cb = 6;
  EXPECT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, reinterpret_cast<LPBYTE>(data), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 7u);
  EXPECT_EQ(cch, 5u);
  EXPECT_STREQ(data, "xxxxxxxxxx");

  // Both exactly big enough.
  cch = 5, cb = 7;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, &type, reinterpret_cast<LPBYTE>(data), &cb), ERROR_SUCCESS);
  EXPECT_EQ(cch, 4u);
  EXPECT_EQ(cb, 7u);
  EXPECT_STREQ(name, "Test");
  EXPECT_STREQ(data, "foobar");

  // No data buffer: only the size.
  cch = sizeof name, cb = 0;
  ASSERT_EQ(RegEnumValueA(key, 0, name, &cch, nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 7u);
  RegCloseKey(key);
}

TEST_F(RegistryApi, QueryValueSizeRulesAndMissingValues) {
  HKEY key = Create("Q");
  DWORD timer = 16;
  ASSERT_EQ(RegSetValueExA(key, "Timer", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&timer), 4), ERROR_SUCCESS);
  DWORD out = 0xdeadbeef, cb = 3, type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Timer", nullptr, &type, reinterpret_cast<LPBYTE>(&out), &cb), ERROR_MORE_DATA);
  EXPECT_EQ(cb, 4u);
  EXPECT_EQ(out, 0xdeadbeefu);
  cb = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Timer", nullptr, nullptr, nullptr, &cb), ERROR_SUCCESS);
  EXPECT_EQ(cb, 4u);
  cb = 8;
  ASSERT_EQ(RegQueryValueExA(key, "TIMER", nullptr, &type, reinterpret_cast<LPBYTE>(&out), &cb), ERROR_SUCCESS);
  EXPECT_EQ(out, 16u);
  EXPECT_EQ(cb, 4u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<LPBYTE>(&out), &cb),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "Timer", nullptr, nullptr, reinterpret_cast<LPBYTE>(&out), nullptr),
            ERROR_INVALID_PARAMETER);
  // The default value has the empty name.
  ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>("d"), 2), ERROR_SUCCESS);
  char text[4];
  cb = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &cb), ERROR_SUCCESS);
  EXPECT_STREQ(text, "d");
  EXPECT_EQ(RegDeleteValueA(key, "timer"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteValueA(key, "timer"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryApi, OverLongNamesAndBadPathsAreRefused) {
  std::string name255(255, 'k'), name256(256, 'k');
  HKEY key = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, name256.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(key, nullptr);
  Make(name255.c_str());
  ASSERT_EQ(Open(name255.c_str(), &key), ERROR_SUCCESS);
  BYTE b = 1;
  std::string value16384(16384, 'v');
  EXPECT_EQ(RegSetValueExA(key, value16384.c_str(), 0, REG_BINARY, &b, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, value16384.c_str() + 1, 0, REG_BINARY, &b, 1), ERROR_SUCCESS);
  std::vector<BYTE> huge(1024 * 1024 + 1);
  EXPECT_EQ(RegSetValueExA(key, "big", 0, REG_BINARY, huge.data(), static_cast<DWORD>(huge.size())),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegSetValueExA(key, "null", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  RegCloseKey(key);

  EXPECT_EQ(Open("\\Leading", &key), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open("a\\\\b", &key), ERROR_BAD_PATHNAME);
  // One trailing backslash is accepted, as the spooler's printers path has one.
  Make("System\\Printers");
  ASSERT_EQ(Open("System\\Printers\\", &key), ERROR_SUCCESS);
  RegCloseKey(key);
}

TEST_F(RegistryApi, HandlesAreCheckedAndCounted) {
  HKEY a = Create("H");
  HKEY b = nullptr;
  ASSERT_EQ(Open("H", &b), ERROR_SUCCESS);
  EXPECT_EQ(plat::OpenKeyHandleCount(), 2u);
  EXPECT_NE(a, b);
  EXPECT_EQ(RegCloseKey(a), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(a), ERROR_INVALID_HANDLE);
  BYTE v = 0;
  EXPECT_EQ(RegSetValueExA(a, "x", 0, REG_BINARY, &v, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegSetValueExA(reinterpret_cast<HKEY>(0x1234), "x", 0, REG_BINARY, &v, 1), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(b), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(plat::OpenKeyHandleCount(), 0u);

  // A read-only handle may not write.
  HKEY readOnly = nullptr;
  ASSERT_EQ(Open("H", &readOnly, KEY_READ), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(readOnly, "x", 0, REG_BINARY, &v, 1), ERROR_ACCESS_DENIED);
  RegCloseKey(readOnly);

  // Only HKEY_LOCAL_MACHINE holds keys.
  HKEY user = nullptr;
  EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "H", 0, KEY_READ, &user), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryApi, ConcurrentCallersSeeWholeValuesAndLoseNoWrites) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::string path = "Conc\\Port" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
          ++failures;
          continue;
        }
        std::vector<BYTE> data(64, static_cast<BYTE>(i));
        if (RegSetValueExA(key, "Shared", 0, REG_BINARY, data.data(), 64) != ERROR_SUCCESS) ++failures;
        std::string own = "v" + std::to_string(i);
        if (RegSetValueExA(key, own.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&i), 4) != ERROR_SUCCESS) {
          ++failures;
        }
        BYTE back[64];
        DWORD cb = sizeof back;
        if (RegQueryValueExA(key, "Shared", nullptr, nullptr, back, &cb) != ERROR_SUCCESS || cb != 64) ++failures;
        for (BYTE x : back) {
          if (x != back[0]) ++failures;
        }
        RegCloseKey(key);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  HKEY conc = nullptr;
  ASSERT_EQ(Open("Conc", &conc), ERROR_SUCCESS);
  EXPECT_EQ(Subkeys(conc).size(), static_cast<std::size_t>(kThreads));
  RegCloseKey(conc);
  HKEY port = nullptr;
  ASSERT_EQ(Open("Conc\\Port2", &port), ERROR_SUCCESS);
  DWORD count = 0;
  char name[32];
  for (DWORD cch = sizeof name; RegEnumValueA(port, count, name, &cch, nullptr, nullptr, nullptr, nullptr) ==
                                ERROR_SUCCESS;
       cch = sizeof name) {
    ++count;
  }
  EXPECT_EQ(count, static_cast<DWORD>(kRounds + 1));
  RegCloseKey(port);
}

}  // namespace
