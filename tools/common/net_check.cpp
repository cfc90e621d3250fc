// Why the addresses of a NetBIOS over TCP/IP adapter could not be bound, in
// words a user can act on.
#include "net_check.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "unique_fd.h"

namespace tools {
namespace {

// The errno of binding a socket like the transport's, or 0 when it binds.
int TryBind(int type, std::uint32_t address, std::uint16_t port, bool sharePort) {
  UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return errno;
  int one = 1;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (sharePort) ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(address);
  sa.sin_port = htons(port);
  int result = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : errno;
  if (result == 0 && type == SOCK_STREAM && ::listen(fd.Get(), 1) != 0) result = errno;
  return result;
}

std::string Ipv4(std::uint32_t address) {
  in_addr a{};
  a.s_addr = htonl(address);
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

}  // namespace

std::string DescribeNbtBindFailure(const plat::NbtEndpoint& ep) {
  const struct {
    int type;
    std::uint32_t address;
    std::uint16_t port;
    bool share;
  } binds[] = {{SOCK_DGRAM, ep.address, ep.nameServicePort, true},
               {SOCK_DGRAM, ep.broadcast, ep.nameServicePort, true},
               {SOCK_DGRAM, ep.address, ep.datagramPort, true},
               {SOCK_DGRAM, ep.broadcast, ep.datagramPort, true},
               {SOCK_STREAM, ep.address, ep.sessionPort, false}};
  for (const auto& b : binds) {
    int e = TryBind(b.type, b.address, b.port, b.share);
    if (e == 0) continue;
    std::string where = Ipv4(b.address) + ":" + std::to_string(b.port);
    if (e == EADDRNOTAVAIL)
      return "address " + Ipv4(b.address) + " is not on this host (on one machine use 127.0.0.N, else an interface's "
             "address)";
    if (e == EACCES)
      return "binding " + where + " needs privileges (ports below 1024); run as root or give ports=NS:DGM:SSN above 1023";
    if (e == EADDRINUSE)
      return b.type == SOCK_STREAM ? "session port " + where + " is in use (another node on this address?)"
                                   : where + " is in use by a program that does not share it";
    return "cannot bind " + where + ": " + std::strerror(e);
  }
  return "its sockets could not be opened (the LANA number may be taken)";
}

}  // namespace tools
