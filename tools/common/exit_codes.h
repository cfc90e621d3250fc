// The exit statuses of the tools, the same for a client and for its daemon.
#pragma once

namespace tools {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;      // the operation was refused or failed
inline constexpr int kExitUsage = 2;       // bad verb, option or argument
inline constexpr int kExitNotRunning = 3;  // no daemon answers in the state directory

}  // namespace tools
