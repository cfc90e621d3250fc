// The client-daemon protocol over the Unix socket: typed, length-prefixed frames.
#include "protocol.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "exit_codes.h"

namespace tools {
namespace {

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes. Descriptors a peer sends along are taken in:
// the first into *passed when asked for, every other one closed, so that no
// client can fill the daemon's descriptor table.
bool ReadAll(int fd, char* data, std::size_t size, UniqueFd* passed) {
  while (size > 0) {
    iovec iov{data, size};
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0 && msg.msg_controllen > 0) {
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
          int got;
          std::memcpy(&got, CMSG_DATA(c) + i * sizeof(int), sizeof got);
          UniqueFd taken(got);
          if (passed != nullptr && !passed->Valid()) *passed = std::move(taken);
        }
      }
    }
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Splits a socket path into a directory to work in and a short name, when the
// whole path does not fit sockaddr_un.
struct SocketAddress {
  sockaddr_un addr{};
  socklen_t length = 0;
  UniqueFd dir;  // held while the path through /proc/self/fd is in use
};

bool MakeAddress(const std::string& path, SocketAddress* out, std::string* error) {
  out->addr.sun_family = AF_UNIX;
  std::string usable = path;
  if (usable.size() >= sizeof out->addr.sun_path) {
    // Reach the socket through /proc/self/fd/N/name, which is short.
    auto slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    out->dir.Reset(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!out->dir.Valid()) {
      *error = dir + ": " + std::strerror(errno);
      return false;
    }
    usable = "/proc/self/fd/" + std::to_string(out->dir.Get()) + "/" + path.substr(slash + 1);
    if (usable.size() >= sizeof out->addr.sun_path) {
      *error = "socket name too long: " + path;
      return false;
    }
  }
  std::memcpy(out->addr.sun_path, usable.c_str(), usable.size() + 1);
  out->length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + usable.size() + 1);
  return true;
}

// A stream socket and the address of `path` for it; invalid with *error set.
UniqueFd UnixSocket(const std::string& path, SocketAddress* address, std::string* error) {
  if (!MakeAddress(path, address, error)) return UniqueFd();
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) *error = std::string("socket: ") + std::strerror(errno);
  return fd;
}

}  // namespace

bool SendFrame(int fd, Frame type, const std::string& payload, int file) {
  if (payload.size() + 1 > kMaxFrame) return false;
  std::uint32_t length = static_cast<std::uint32_t>(payload.size() + 1);
  char header[5] = {static_cast<char>(length & 0xff), static_cast<char>((length >> 8) & 0xff),
                    static_cast<char>((length >> 16) & 0xff), static_cast<char>((length >> 24) & 0xff),
                    static_cast<char>(type)};
  // Header and payload in one call where the socket takes both, without
  // copying the payload (a job's data goes this way).
  iovec iov[2] = {{header, sizeof header}, {const_cast<char*>(payload.data()), payload.size()}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (file >= 0) {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &file, sizeof file);
  }
  ssize_t n;
  do n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
  while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  std::size_t sent = static_cast<std::size_t>(n);
  if (sent < sizeof header && !WriteAll(fd, header + sent, sizeof header - sent)) return false;
  std::size_t done = sent > sizeof header ? sent - sizeof header : 0;
  return WriteAll(fd, payload.data() + done, payload.size() - done);
}

std::optional<Frame> ReceiveFrameAppending(int fd, std::string* out, UniqueFd* passed) {
  unsigned char header[5];
  UniqueFd file;
  if (!ReadAll(fd, reinterpret_cast<char*>(header), sizeof header, &file)) return std::nullopt;
  std::uint32_t length = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<std::uint32_t>(header[3]) << 24);
  if (length == 0 || length > kMaxFrame) return std::nullopt;
  std::size_t at = out->size();
  out->resize(at + length - 1);
  if (length > 1 && !ReadAll(fd, out->data() + at, length - 1, &file)) return std::nullopt;
  if (passed != nullptr) *passed = std::move(file);
  return static_cast<Frame>(header[4]);
}

std::optional<Message> ReceiveFrame(int fd) {
  Message m{};
  std::optional<Frame> type = ReceiveFrameAppending(fd, &m.payload);
  if (!type) return std::nullopt;
  m.type = *type;
  return m;
}

bool IsReadableRegularFile(int fd) {
  struct stat st {};
  const int flags = fd < 0 ? -1 : ::fcntl(fd, F_GETFL);
  return flags >= 0 && (flags & O_ACCMODE) != O_WRONLY && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::string JoinWords(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) {
    out += w;
    out.push_back('\0');
  }
  return out;
}

std::vector<std::string> SplitWords(const std::string& payload) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (start < payload.size()) {
    std::size_t end = payload.find('\0', start);
    if (end == std::string::npos) end = payload.size();
    words.push_back(payload.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

int ExitStatusOf(const Message& exit) {
  return exit.payload.empty() ? kExitFailed : static_cast<unsigned char>(exit.payload[0]);
}

UniqueFd ListenUnix(const std::string& path, std::string* error) {
  SocketAddress address;
  UniqueFd fd = UnixSocket(path, &address, error);
  if (!fd.Valid()) return fd;
  ::unlink(path.c_str());
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address.addr), address.length) != 0 ||
      ::listen(fd.Get(), 16) != 0) {
    *error = path + ": " + std::strerror(errno);
    fd.Reset();
  }
  return fd;
}

UniqueFd ConnectUnix(const std::string& path, std::string* error) {
  SocketAddress address;
  UniqueFd fd = UnixSocket(path, &address, error);
  if (fd.Valid() && ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address.addr), address.length) != 0) {
    *error = std::strerror(errno);
    fd.Reset();
  }
  return fd;
}

}  // namespace tools
