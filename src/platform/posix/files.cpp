// The Windows directory, file copy and fopen for Win32-style paths.
#include <filesystem>
#include <mutex>
#include <string>

#include "../host/system.h"
#include "../win32/kernel.h"

namespace plat {
namespace {

std::mutex g_dirMutex;
std::string g_windowsDirectory = "/tmp";

}  // namespace

void SetWindowsDirectory(const std::string& dir) {
  std::lock_guard lock(g_dirMutex);
  g_windowsDirectory = dir;
}

std::string GetWindowsDirectory() {
  std::lock_guard lock(g_dirMutex);
  return g_windowsDirectory;
}

std::string PosixPath(const std::string& win32Path) {
  std::string path = win32Path;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace plat

UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize) {
  std::string dir = plat::GetWindowsDirectory();
  // As on Windows: too small a buffer gets the size needed, NUL included.
  if (lpBuffer == nullptr || uSize <= dir.size()) return static_cast<UINT>(dir.size() + 1);
  dir.copy(lpBuffer, dir.size());
  lpBuffer[dir.size()] = '\0';
  return static_cast<UINT>(dir.size());
}

BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists) {
  if (lpExistingFileName == nullptr || lpNewFileName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path from = plat::PosixPath(lpExistingFileName);
  fs::path to = plat::PosixPath(lpNewFileName);
  if (!fs::is_regular_file(from, ec)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  auto options = bFailIfExists ? fs::copy_options::none : fs::copy_options::overwrite_existing;
  if (!fs::copy_file(from, to, options, ec)) {
    SetLastError(ec == std::errc::file_exists ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

FILE* FileOpenA(const char* path, const char* mode) {
  if (path == nullptr || mode == nullptr) return nullptr;
  return std::fopen(plat::PosixPath(path).c_str(), mode);
}
