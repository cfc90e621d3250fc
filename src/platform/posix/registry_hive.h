// The hive behind the registry stand-ins: keys and values in an SQLite
// database, each Reg* call one transaction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../win32/types.h"

struct sqlite3;
struct sqlite3_stmt;

namespace plat::reg {

using KeyId = std::int64_t;
// HKEY_LOCAL_MACHINE itself.
inline constexpr KeyId kMachineKey = 1;

// Limits of the real registry: a key name of 255 characters, a value name of
// 16383; values are capped at 1 MB, the limit of the classic hive format.
inline constexpr std::size_t kMaxKeyName = 255;
inline constexpr std::size_t kMaxValueName = 16383;
inline constexpr std::size_t kMaxValueData = 1024 * 1024;

struct KeyInfo {
  KeyId id = 0;
  std::string name;
  std::string className;
  std::uint64_t writeTime = 0;  // FILETIME units (100 ns since 1601)
};

struct ValueInfo {
  std::string name;
  DWORD type = 0;
  std::vector<BYTE> data;
};

// An SQLite failure inside a transaction; the transaction rolls back and the
// call reports a registry I/O error.
struct StorageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Key and value names compare with A-Z folded to upper case, as the registry
// compares them; every other byte compares exactly.
std::string FoldName(std::string_view name);

class Hive {
 public:
  // Opens or creates the database file; on failure returns null and says why.
  static std::shared_ptr<Hive> OpenFile(const std::string& path, std::string* error);
  static std::shared_ptr<Hive> OpenMemory();
  ~Hive();
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  const std::string& path() const { return path_; }
  // Closes the database; every later Transact reports ERROR_INVALID_HANDLE.
  void Close();
  bool IsOpen();

  // Runs `body` as one transaction under the hive's lock. A write transaction
  // commits when `body` returns ERROR_SUCCESS and rolls back otherwise.
  LONG Transact(bool write, const std::function<LONG()>& body);

  // The operations below run only inside `body`.
  bool KeyExists(KeyId key);
  std::optional<KeyId> FindChild(KeyId parent, std::string_view name);
  std::optional<KeyInfo> FindChildInfo(KeyId parent, std::string_view name);
  KeyId CreateChild(KeyId parent, std::string_view name, std::string_view className);
  std::optional<KeyInfo> ChildAt(KeyId parent, std::uint64_t index);
  std::vector<KeyInfo> Children(KeyId parent);
  bool HasChildren(KeyId key);
  void DeleteKey(KeyId key);   // the key and its values; it has no subkeys
  void DeleteTree(KeyId key);  // the key and everything below it
  void TouchKey(KeyId key);

  std::optional<ValueInfo> GetValue(KeyId key, std::string_view name);
  std::optional<ValueInfo> ValueAt(KeyId key, std::uint64_t index);
  std::vector<ValueInfo> Values(KeyId key);
  void SetValue(KeyId key, std::string_view name, DWORD type, const BYTE* data, std::size_t size);
  bool DeleteValue(KeyId key, std::string_view name);

 private:
  explicit Hive(sqlite3* db, std::string path);
  sqlite3_stmt* Prepare(const char* sql);
  void Exec(const char* sql);
  std::string InitSchema();
  void CloseLocked();

  std::mutex mutex_;
  sqlite3* db_;
  std::string path_;
  std::vector<std::pair<const char*, sqlite3_stmt*>> statements_;
};

// The hive the Reg* calls use now (an in-memory one if the host opened none).
std::shared_ptr<Hive> CurrentHive();

}  // namespace plat::reg
