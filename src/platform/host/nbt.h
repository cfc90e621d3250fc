// Host settings of a NetBIOS over TCP/IP adapter, and the --net option that
// spoolhost, printbox and tests use to choose an adapter's transport.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "netbios.h"

namespace plat {

struct NbtEndpoint {
  uint32_t address = 0x7F000001;    // host byte order; the node's unicast address
  uint32_t broadcast = 0x7FFFFFFF;  // where registrations, queries and group datagrams go
  uint16_t nameServicePort = 137;
  uint16_t datagramPort = 138;
  uint16_t sessionPort = 139;
  // A session whose queued data the peer takes none of for this long is
  // aborted (its sends end NRC_SABORT); a peer that stops reading holds no
  // job for ever.
  std::chrono::milliseconds sendStall{60000};
  // Other nodes' names remembered at most; the least recently used go first.
  std::size_t nameCache = 1024;
};

struct NetSpec {
  NetbiosAdapterConfig adapter;
  NbtEndpoint nbt;  // for NetbiosTransportKind::Nbt
};

// Parses "loop[:SEGMENT][,mac=..][,lana=N]" or
// "nbt:ADDR/PREFIX[,bcast=ADDR][,ports=NS:DGM:SSN][,stall=SECONDS][,mac=..][,lana=N]" into
// *spec; what the text leaves out keeps its value, except that an nbt adapter
// without mac= gets 02:00 and its IPv4 address, and without bcast= its
// subnet's broadcast address. False with *error set on bad text. The limited
// broadcast 255.255.255.255 is refused: it would leave on every interface.
bool ParseNetSpec(const std::string& text, NetSpec* spec, std::string* error);

// Adds the adapter of a parsed --net option (AddNetbiosAdapter with the
// endpoint of an nbt adapter); false when the LANA number is taken or the
// addresses cannot be bound.
bool AddNetAdapter(const NetSpec& spec);

// Loses datagrams that an nbt adapter sends, as a lossy network would: the
// filter sees each datagram's destination name and data before it leaves
// (names of the adapter itself still hear it) and returns true to lose it;
// the sender is told it went. An empty filter loses nothing. False when the
// LANA has no nbt adapter; the filter goes with the adapter.
using NbtDatagramFilter = std::function<bool(const std::array<UCHAR, NCBNAMSZ>& to, std::span<const UCHAR> data)>;
bool SetNbtDatagramDrop(UCHAR lana, NbtDatagramFilter drop);
// Loses the next `count` datagrams that the adapter sends.
bool SetNbtDatagramDrop(UCHAR lana, int count);

// Other nodes' names an nbt adapter remembers now; 0 when the LANA has none.
std::size_t NbtCachedNames(UCHAR lana);

// Where nbt adapters write what an administrator must hear of (two nodes
// answering for one unique name, a name of ours demanded away), one line at
// a time. An empty function restores the default, standard error;
// ResetNetbios restores it too.
void SetNbtLog(std::function<void(const std::string& line)> log);

}  // namespace plat
