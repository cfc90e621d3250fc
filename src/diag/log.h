// The log file "TAVRO.log" in the Windows directory, started afresh at each
// load with the previous one kept as the backup.
#pragma once

#include "platform.h"

// At process attach: makes the paths, keeps the old log as the backup and
// starts an empty log.
void OpenLogFile(HINSTANCE hInstance);
// Appends "MM/DD/YYHH:MM:SS<label> <text>\r\n"; silent on failure, and a no-op
// before OpenLogFile and after CloseLogFile.
void WriteLog(LPCSTR label, LPCSTR text);
// WriteLog with a printf-style text, formatted into a bounded buffer first.
void WriteLogFormat(LPCSTR label, LPCSTR format, ...) __attribute__((format(printf, 2, 3)));
// Copies at most cchText bytes of an untrusted text (up to its NUL) into pOut
// (cbOut bytes) for a log line: printable ASCII as it is, a backslash doubled,
// every other byte as \xNN; cut to whole escapes and always ended.
void EscapeLogText(LPCSTR pText, DWORD cchText, LPSTR pOut, DWORD cbOut);
// At shutdown: frees the paths; later lines are dropped.
void CloseLogFile(void);
