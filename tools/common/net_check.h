// Why the addresses of a NetBIOS over TCP/IP adapter could not be bound, in
// words a user can act on.
#pragma once

#include <string>

#include "host/nbt.h"

namespace tools {

// Tries the binds the transport makes and names the first that fails: an
// address this host does not have, a port below 1024 without the right to
// it, or a session port another process listens on at that address.
std::string DescribeNbtBindFailure(const plat::NbtEndpoint& endpoint);

}  // namespace tools
