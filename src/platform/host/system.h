// Host-side settings of the kernel stand-ins: the Windows directory, threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// The directory GetWindowsDirectoryA reports (a POSIX path).
void SetWindowsDirectory(const std::string& dir);
std::string GetWindowsDirectory();
// Maps a Win32-style path (backslashes) to the POSIX path it names.
std::string PosixPath(const std::string& win32Path);

// The nth CreateThread from now (1 = the next one) fails with
// ERROR_NOT_ENOUGH_MEMORY; 0 clears it.
void FailNthThreadCreation(std::uint64_t n);
// Threads started by CreateThread that have not ended yet.
int LiveThreadCount();
// Start routines of those threads (the loader asks whose code they run).
std::vector<const void*> LiveThreadStarts();
// Waits (real time, bounded) until every CreateThread thread has ended.
bool WaitForAllThreads(std::chrono::milliseconds realTimeout = std::chrono::seconds(30));

}  // namespace plat
