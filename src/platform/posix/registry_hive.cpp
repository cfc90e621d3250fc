// Storage of the registry stand-in: a hive of keys and values in SQLite.
#include "registry_hive.h"

#include <sqlite3.h>

#include "../host/clock.h"
#include "../win32/registry.h"

namespace plat::reg {

namespace {

// Marks a database as one of our hives; a file without it is refused.
constexpr const char* kFormatTag = "tavro-registry 1";

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS hive_info(name TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY, parent INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    "  class TEXT NOT NULL DEFAULT '', mtime INTEGER NOT NULL DEFAULT 0, UNIQUE(parent, fold));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  id INTEGER PRIMARY KEY, key INTEGER NOT NULL, name TEXT NOT NULL, fold TEXT NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL, UNIQUE(key, fold));"
    "CREATE INDEX IF NOT EXISTS vals_in_order ON vals(key, id);"
    "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, 'HKEY_LOCAL_MACHINE', 'HKEY_LOCAL_MACHINE');";

std::uint64_t NowAsFileTime() {
  // 100-ns intervals between 1601-01-01 and 1970-01-01.
  constexpr std::uint64_t kEpochDelta = 116444736000000000ULL;
  return ClockNowMs() * 10000ULL + kEpochDelta;
}

// One use of a cached statement: binds, steps, and resets it when done.
class Query {
 public:
  explicit Query(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Query() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  Query& Bind(int index, std::int64_t v) {
    Check(sqlite3_bind_int64(stmt_, index, v));
    return *this;
  }
  Query& Bind(int index, std::string_view text) {
    // An empty view may have no data pointer, which SQLite would store as NULL.
    Check(sqlite3_bind_text(stmt_, index, text.empty() ? "" : text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Query& BindBlob(int index, const BYTE* data, std::size_t size) {
    static const BYTE kEmpty = 0;
    Check(sqlite3_bind_blob(stmt_, index, size ? data : &kEmpty, static_cast<int>(size), SQLITE_TRANSIENT));
    return *this;
  }
  // True while there is a row to read.
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StorageError(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
  }
  std::int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  std::string Text(int column) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
  }
  std::vector<BYTE> Blob(int column) const {
    const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(stmt_, column));
    return p ? std::vector<BYTE>(p, p + sqlite3_column_bytes(stmt_, column)) : std::vector<BYTE>();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) throw StorageError(sqlite3_errmsg(sqlite3_db_handle(stmt_)));
  }
  sqlite3_stmt* stmt_;
};

KeyInfo ReadKey(const Query& q) {
  return KeyInfo{q.Int(0), q.Text(1), q.Text(2), static_cast<std::uint64_t>(q.Int(3))};
}

ValueInfo ReadValue(const Query& q) { return ValueInfo{q.Text(0), static_cast<DWORD>(q.Int(1)), q.Blob(2)}; }

}  // namespace

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return folded;
}

Hive::Hive(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}

Hive::~Hive() { Close(); }

std::shared_ptr<Hive> Hive::OpenMemory() {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("cannot make an in-memory registry hive");
  }
  std::shared_ptr<Hive> hive(new Hive(db, ""));
  std::string error = hive->InitSchema();
  if (!error.empty()) throw std::runtime_error("cannot make an in-memory registry hive: " + error);
  return hive;
}

std::shared_ptr<Hive> Hive::OpenFile(const std::string& path, std::string* error) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    *error = "cannot open registry database '" + path + "': " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    sqlite3_close(db);
    return nullptr;
  }
  std::shared_ptr<Hive> hive(new Hive(db, path));
  std::string why = hive->InitSchema();
  if (!why.empty()) {
    *error = "cannot use registry database '" + path + "': " + why;
    return nullptr;
  }
  return hive;
}

// Checks that the database is sound and one of ours (or empty), then makes the
// tables. Returns an empty string, or what is wrong.
std::string Hive::InitSchema() {
  try {
    sqlite3_busy_timeout(db_, 5000);
    if (!path_.empty()) {
      // Write-ahead logging: a writer killed mid-commit leaves the last whole
      // commit behind, and readers in other processes are not blocked.
      Exec("PRAGMA journal_mode=WAL");
      Exec("PRAGMA synchronous=NORMAL");
    }
    {
      Query check(Prepare("PRAGMA quick_check"));
      if (check.Step() && check.Text(0) != "ok") return "the database is damaged (" + check.Text(0) + ")";
    }
    bool hasTables = false;
    bool hasInfo = false;
    {
      Query tables(Prepare("SELECT name FROM sqlite_master WHERE type = 'table'"));
      while (tables.Step()) {
        hasTables = true;
        if (tables.Text(0) == "hive_info") hasInfo = true;
      }
    }
    if (hasTables && !hasInfo) return "the database is not a registry hive";
    if (hasInfo) {
      Query format(Prepare("SELECT value FROM hive_info WHERE name = 'format'"));
      if (!format.Step() || format.Text(0) != kFormatTag) return "the database is not a registry hive of this format";
    }
    Exec("BEGIN IMMEDIATE");
    try {
      Exec(kSchema);
      Query tag(Prepare("INSERT OR IGNORE INTO hive_info(name, value) VALUES('format', ?1)"));
      tag.Bind(1, kFormatTag).Step();
      Exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  } catch (const StorageError& e) {
    std::string why = e.what();
    Close();
    return why;
  }
  return "";
}

void Hive::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

bool Hive::IsOpen() {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr;
}

void Hive::CloseLocked() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
}

sqlite3_stmt* Hive::Prepare(const char* sql) {
  // Statements are keyed by the address of their literal text.
  for (auto& [text, stmt] : statements_) {
    if (text == sql) return stmt;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    throw StorageError(sqlite3_errmsg(db_));
  }
  statements_.emplace_back(sql, stmt);
  return stmt;
}

void Hive::Exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw StorageError(text);
  }
}

LONG Hive::Transact(bool write, const std::function<LONG()>& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return ERROR_INVALID_HANDLE;
  try {
    Exec(write ? "BEGIN IMMEDIATE" : "BEGIN");
  } catch (const StorageError&) {
    return ERROR_REGISTRY_IO_FAILED;
  }
  LONG result;
  try {
    result = body();
    if (result == ERROR_SUCCESS || !write) {
      Exec("COMMIT");
      return result;
    }
  } catch (const StorageError&) {
    result = ERROR_REGISTRY_IO_FAILED;
  } catch (const std::bad_alloc&) {
    result = ERROR_NOT_ENOUGH_MEMORY;
  }
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return result;
}

bool Hive::KeyExists(KeyId key) {
  Query q(Prepare("SELECT 1 FROM keys WHERE id = ?1"));
  return q.Bind(1, key).Step();
}

std::optional<KeyId> Hive::FindChild(KeyId parent, std::string_view name) {
  Query q(Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2"));
  if (!q.Bind(1, parent).Bind(2, FoldName(name)).Step()) return std::nullopt;
  return q.Int(0);
}

std::optional<KeyInfo> Hive::FindChildInfo(KeyId parent, std::string_view name) {
  Query q(Prepare("SELECT id, name, class, mtime FROM keys WHERE parent = ?1 AND fold = ?2"));
  if (!q.Bind(1, parent).Bind(2, FoldName(name)).Step()) return std::nullopt;
  return ReadKey(q);
}

KeyId Hive::CreateChild(KeyId parent, std::string_view name, std::string_view className) {
  Query q(Prepare("INSERT INTO keys(parent, name, fold, class, mtime) VALUES(?1, ?2, ?3, ?4, ?5)"));
  q.Bind(1, parent).Bind(2, name).Bind(3, FoldName(name)).Bind(4, className);
  q.Bind(5, static_cast<std::int64_t>(NowAsFileTime())).Step();
  return sqlite3_last_insert_rowid(db_);
}

std::optional<KeyInfo> Hive::ChildAt(KeyId parent, std::uint64_t index) {
  Query q(Prepare("SELECT id, name, class, mtime FROM keys WHERE parent = ?1 ORDER BY fold LIMIT 1 OFFSET ?2"));
  if (!q.Bind(1, parent).Bind(2, static_cast<std::int64_t>(index)).Step()) return std::nullopt;
  return ReadKey(q);
}

std::vector<KeyInfo> Hive::Children(KeyId parent) {
  Query q(Prepare("SELECT id, name, class, mtime FROM keys WHERE parent = ?1 ORDER BY fold"));
  q.Bind(1, parent);
  std::vector<KeyInfo> children;
  while (q.Step()) children.push_back(ReadKey(q));
  return children;
}

bool Hive::HasChildren(KeyId key) {
  Query q(Prepare("SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1"));
  return q.Bind(1, key).Step();
}

void Hive::DeleteKey(KeyId key) {
  {
    Query values(Prepare("DELETE FROM vals WHERE key = ?1"));
    values.Bind(1, key).Step();
  }
  Query q(Prepare("DELETE FROM keys WHERE id = ?1"));
  q.Bind(1, key).Step();
}

void Hive::DeleteTree(KeyId key) {
  for (const KeyInfo& child : Children(key)) DeleteTree(child.id);
  DeleteKey(key);
}

void Hive::TouchKey(KeyId key) {
  Query q(Prepare("UPDATE keys SET mtime = ?2 WHERE id = ?1"));
  q.Bind(1, key).Bind(2, static_cast<std::int64_t>(NowAsFileTime())).Step();
}

std::optional<ValueInfo> Hive::GetValue(KeyId key, std::string_view name) {
  Query q(Prepare("SELECT name, type, data FROM vals WHERE key = ?1 AND fold = ?2"));
  if (!q.Bind(1, key).Bind(2, FoldName(name)).Step()) return std::nullopt;
  return ReadValue(q);
}

std::optional<ValueInfo> Hive::ValueAt(KeyId key, std::uint64_t index) {
  // Values keep the order in which they were first set, as the registry does.
  Query q(Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id LIMIT 1 OFFSET ?2"));
  if (!q.Bind(1, key).Bind(2, static_cast<std::int64_t>(index)).Step()) return std::nullopt;
  return ReadValue(q);
}

std::vector<ValueInfo> Hive::Values(KeyId key) {
  Query q(Prepare("SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY id"));
  q.Bind(1, key);
  std::vector<ValueInfo> values;
  while (q.Step()) values.push_back(ReadValue(q));
  return values;
}

void Hive::SetValue(KeyId key, std::string_view name, DWORD type, const BYTE* data, std::size_t size) {
  // An existing value keeps its name's spelling and its place in the order.
  bool updated;
  {
    Query update(Prepare("UPDATE vals SET type = ?3, data = ?4 WHERE key = ?1 AND fold = ?2"));
    update.Bind(1, key).Bind(2, FoldName(name)).Bind(3, static_cast<std::int64_t>(type)).BindBlob(4, data, size);
    update.Step();
    updated = sqlite3_changes(db_) > 0;
  }
  if (!updated) {
    Query insert(Prepare("INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"));
    insert.Bind(1, key).Bind(2, name).Bind(3, FoldName(name)).Bind(4, static_cast<std::int64_t>(type));
    insert.BindBlob(5, data, size).Step();
  }
  TouchKey(key);
}

bool Hive::DeleteValue(KeyId key, std::string_view name) {
  Query q(Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2"));
  q.Bind(1, key).Bind(2, FoldName(name)).Step();
  bool deleted = sqlite3_changes(db_) > 0;
  if (deleted) TouchKey(key);
  return deleted;
}

}  // namespace plat::reg
