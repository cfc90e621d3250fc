// The client-daemon protocol over the Unix socket: typed, length-prefixed frames.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace tools {

// A frame is a 4-byte little-endian length (of what follows), a type byte and
// a payload. The client sends one Request, then data or answers as the verb
// needs; the daemon answers with output frames and ends with Exit.
enum class Frame : std::uint8_t {
  Request = 'R',   // client: the command line, words separated by NUL bytes
  Data = 'D',      // client: a piece of the job or the file to import
  DataEnd = 'E',   // client: no more data
  DataFile = 'F',  // client: the whole job is the file whose descriptor comes
                   // with this frame, from the offset its payload gives
  Answer = 'A',    // client: a line the user typed in reply to a Prompt
  Out = 'O',       // daemon: text for standard output
  Err = 'W',       // daemon: text for standard error
  Progress = 'P',  // daemon: a progress line, shown only on a terminal
  Prompt = 'Q',    // daemon: ask the user; the client replies with Answer
  Exit = 'X',      // daemon: the exit status, one byte; the last frame
};

inline constexpr std::size_t kMaxFrame = 1 << 20;

// Prompt kinds, the first byte of a Prompt frame.
inline constexpr char kPromptBox = 'B';   // a message box: the client shows it and answers OK
inline constexpr char kPromptLine = 'L';  // a question: the client answers with a line

struct Message {
  Frame type;
  std::string payload;
};

// Writes one frame; false when the peer has gone. With `file` given, that
// descriptor goes along with the frame (SCM_RIGHTS).
bool SendFrame(int fd, Frame type, const std::string& payload, int file = -1);
// Reads one frame; nothing at end of stream, on error or on an oversized frame.
std::optional<Message> ReceiveFrame(int fd);
// Reads one frame and appends its payload to *out (what a frame that is not
// data brings is then the caller's to take off again); its type, or nothing as
// ReceiveFrame. A descriptor that came with the frame goes to *passed when
// asked for; every other descriptor a peer sends is closed at once.
std::optional<Frame> ReceiveFrameAppending(int fd, std::string* out, UniqueFd* passed = nullptr);

// Whether `fd` is what a DataFile frame may carry: a regular file open for
// reading. Anything else (a pipe, socket or device) could hold a reader for
// ever, so the client streams such input and the daemon refuses it.
bool IsReadableRegularFile(int fd);

std::string JoinWords(const std::vector<std::string>& words);
std::vector<std::string> SplitWords(const std::string& payload);

// The status an Exit frame carries; a frame without one counts as a failure.
int ExitStatusOf(const Message& exit);

// Unix socket helpers. Paths longer than a socket address allows are reached
// through their directory, so deep state directories still work.
// An invalid descriptor with *error set when the socket cannot be had.
UniqueFd ListenUnix(const std::string& path, std::string* error);
UniqueFd ConnectUnix(const std::string& path, std::string* error);

}  // namespace tools
