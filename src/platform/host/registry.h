// Host and test controls of the registry stand-in: which hive the Reg* calls
// use, REGEDIT4 import and export, and the count of open key handles.
#pragma once

#include <cstddef>
#include <string>

namespace plat {

// Outcome of a host operation: ok, or a message that says what went wrong.
struct RegistryStatus {
  bool ok = true;
  std::string error;
  explicit operator bool() const { return ok; }
};

// Opens (creating it if missing) the hive kept in the SQLite database at
// `path` and makes it the one the Reg* calls use. A file that cannot be opened,
// is not a database or is not a hive is refused with a message naming it, and
// the current hive stays in use.
RegistryStatus OpenRegistryFile(const std::string& path);
// Makes a fresh, empty in-memory hive the current one. Until a host opens a
// hive, the first Reg* call makes one of these.
void OpenRegistryInMemory();
// Closes the current hive; handles still open on it then fail with
// ERROR_INVALID_HANDLE. The next Reg* call starts a fresh in-memory hive.
void CloseRegistry();
// Tests: drops the current hive and starts a fresh in-memory one.
inline void ResetRegistry() { OpenRegistryInMemory(); }
// Path of the current hive's file; empty for an in-memory hive.
std::string RegistryFilePath();

// Imports REGEDIT4 text into the current hive in one transaction: keys
// ([HKEY_LOCAL_MACHINE\...], [-...] deletes a tree), values ("name" or @ =
// "text", dword:, hex:, hex(N):, - deletes). A malformed text imports nothing
// and the error names its line.
RegistryStatus ImportRegistry(const std::string& text);
RegistryStatus ImportRegistryFile(const std::string& path);
// Exports the key `keyPath` under HKEY_LOCAL_MACHINE (empty: the whole hive)
// and everything below it as REGEDIT4 text. A missing key exports the header only.
std::string ExportRegistry(const std::string& keyPath = "");
RegistryStatus ExportRegistryFile(const std::string& path, const std::string& keyPath = "");

// Key handles given out by RegOpenKeyExA/RegCreateKeyExA and not yet closed.
std::size_t OpenKeyHandleCount();

}  // namespace plat
