// The log file "TAVRO.log" in the Windows directory: one per load, the
// previous one kept as "TAVRO.bak", one line per WriteLog.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "diag/log.h"

#define LOG_PATH_SIZE MAX_PATH
#define LOG_FORMAT_SIZE 1024

// Full paths of the log and its backup (LOG_PATH_SIZE blocks), null while no
// log is open.
static LPSTR LogPath = nullptr;
static LPSTR BackupPath = nullptr;

// WriteLog calls in flight. A background thread may still log while shutdown
// closes the log, so CloseLogFile takes the path away first and frees the
// blocks only once no writer is using them: a writer counts itself in, then
// reads the path; the closer clears the path, then waits for the count to
// drop. Both sides use sequentially consistent operations, so either the
// writer sees no path or the closer sees the writer. Writers never wait for
// each other.
static LONG LogWriters = 0;

// Builds "<Windows directory>\<module name><extension>" in a LOG_PATH_SIZE
// block; FALSE when it does not fit.
static BOOL BuildLogPath(LPSTR pPath, LPCSTR pDirectory, LPCSTR pModuleName, LPCSTR pExtension) {
  int length = std::snprintf(pPath, LOG_PATH_SIZE, "%s\\%s%s", pDirectory, pModuleName, pExtension);
  return length > 0 && length < LOG_PATH_SIZE;
}

void OpenLogFile(HINSTANCE hInstance) {
  // A second load in the same process starts over.
  CloseLogFile();

  LPSTR pLogPath = static_cast<LPSTR>(LocalAlloc(LPTR, LOG_PATH_SIZE));
  LPSTR pBackupPath = static_cast<LPSTR>(LocalAlloc(LPTR, LOG_PATH_SIZE));
  CHAR szModuleName[128] = {};
  CHAR szDirectory[LOG_PATH_SIZE] = {};
  // Without string 523 the module is still TAVRO: users are told to look for
  // "TAVRO.log" (message 520), so that is where the log must be.
  if (LoadStringA(hInstance, 523, szModuleName, sizeof szModuleName) == 0) {
    std::strcpy(szModuleName, "TAVRO");
  }
  UINT cchDirectory = GetWindowsDirectoryA(szDirectory, sizeof szDirectory);
  // A path that cannot be built whole would put the log somewhere else; there
  // is no log then.
  if (pLogPath == nullptr || pBackupPath == nullptr || cchDirectory == 0 || cchDirectory >= sizeof szDirectory ||
      !BuildLogPath(pLogPath, szDirectory, szModuleName, ".log") ||
      !BuildLogPath(pBackupPath, szDirectory, szModuleName, ".bak")) {
    if (pLogPath != nullptr) LocalFree(pLogPath);
    if (pBackupPath != nullptr) LocalFree(pBackupPath);
    return;
  }

  // The copy fails when there is no log yet; there is then nothing to keep.
  CopyFileA(pLogPath, pBackupPath, FALSE);
  FILE* pFile = FileOpenA(pLogPath, "wb");
  if (pFile != nullptr) std::fclose(pFile);

  __atomic_store_n(&BackupPath, pBackupPath, __ATOMIC_SEQ_CST);
  __atomic_store_n(&LogPath, pLogPath, __ATOMIC_SEQ_CST);
}

void WriteLog(LPCSTR label, LPCSTR text) {
  __atomic_add_fetch(&LogWriters, 1, __ATOMIC_SEQ_CST);
  LPSTR pPath = __atomic_load_n(&LogPath, __ATOMIC_SEQ_CST);
  if (pPath != nullptr) {
    // One reading for date and time, so that a line written at midnight cannot
    // pair the old date with the new time.
    SYSTEMTIME now;
    GetLocalTime(&now);
    // Binary mode, with the "\r\n" written here: the same bytes on every
    // platform (text mode would add the '\r' on Windows only).
    FILE* pFile = FileOpenA(pPath, "ab");
    if (pFile != nullptr) {
      std::fprintf(pFile, "%02u/%02u/%02u%02u:%02u:%02u%s %s\r\n", unsigned{now.wMonth}, unsigned{now.wDay},
                   now.wYear % 100u, unsigned{now.wHour}, unsigned{now.wMinute}, unsigned{now.wSecond},
                   label != nullptr ? label : "", text != nullptr ? text : "");
      // The line reaches the file in one piece when the stream is flushed here.
      std::fclose(pFile);
    }
  }
  __atomic_sub_fetch(&LogWriters, 1, __ATOMIC_SEQ_CST);
}

void WriteLogFormat(LPCSTR label, LPCSTR format, ...) {
  if (format == nullptr) {
    WriteLog(label, "");
    return;
  }
  CHAR szText[LOG_FORMAT_SIZE];
  va_list args;
  va_start(args, format);
  // A longer text is cut to the buffer.
  int length = std::vsnprintf(szText, sizeof szText, format, args);
  va_end(args);
  if (length < 0) szText[0] = '\0';
  WriteLog(label, szText);
}

void CloseLogFile(void) {
  LPSTR pLogPath = __atomic_exchange_n(&LogPath, static_cast<LPSTR>(nullptr), __ATOMIC_SEQ_CST);
  LPSTR pBackupPath = __atomic_exchange_n(&BackupPath, static_cast<LPSTR>(nullptr), __ATOMIC_SEQ_CST);
  // Any writer still holding the old path finishes its one line first.
  while (__atomic_load_n(&LogWriters, __ATOMIC_SEQ_CST) != 0) Sleep(0);
  if (pLogPath != nullptr) LocalFree(pLogPath);
  if (pBackupPath != nullptr) LocalFree(pBackupPath);
}
