// Host controls of the NetBIOS service: which adapters (LANA numbers) exist,
// which transport each one runs on, and hooks that let tests watch commands.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../win32/netbios.h"

namespace plat {

enum class NetbiosTransportKind {
  // An in-process segment: every adapter of the process attached to the same
  // segment name hears the same datagrams and can call the others' names.
  Loop,
  // NetBIOS over TCP/IP (RFC 1001/1002), for separate processes and hosts;
  // its addresses come with plat::AddNetAdapter (host/nbt.h).
  Nbt,
};

struct NetbiosAdapterConfig {
  UCHAR lana = 0;
  std::string segment = "default";
  std::array<UCHAR, 6> hardwareAddress{};
  NetbiosTransportKind transport = NetbiosTransportKind::Loop;
  // Listed in the system's adapter map (WriteNetbiosAdapterMap). A print box or
  // a test's peer node sets this to false so the module does not claim it.
  bool inAdapterMap = true;
};

// Adds an adapter; false when the LANA number is taken or the transport is
// not available.
bool AddNetbiosAdapter(const NetbiosAdapterConfig& config);
// Removes one adapter; its pending commands end with NRC_BRIDGE and its
// sessions close.
bool RemoveNetbiosAdapter(UCHAR lana);
// Removes every adapter and the hooks below: a fresh service.
void ResetNetbios();
std::vector<NetbiosAdapterConfig> NetbiosAdapters();

// Caps the sessions an adapter accepts from now on (on top of NCBRESET's
// maximum); a call to a listener there is answered NRC_REMTFUL once the
// adapter holds that many sessions. A negative limit removes the cap.
bool SetNetbiosSessionLimit(UCHAR lana, int limit);

// Datagrams the adapter lost since it was added: each arrived for one of its
// names while no receive was pending and the name's backlog was full. Empty
// when the LANA has no adapter.
std::optional<std::uint64_t> NetbiosDroppedDatagrams(UCHAR lana);

// An NCBRECV for a reader that takes its session as a stream of bytes, as a
// print box's own TCP stack does: after the first message, those already
// received behind it follow in the same buffer, as many as fit (NRC_INCOMP
// when the buffer ends inside one; its rest comes first next time). Sets
// ncb_retcode as Netbios does.
UCHAR NetbiosReceiveStream(NCB* ncb);

// Writes the adapter map "SOFTWARE\Microsoft\Rpc\Netbios" under
// HKEY_LOCAL_MACHINE: one REG_SZ value "ncacn_nb_nb<N>" with data "<N>" per
// listed adapter (LANA 0 to 9), after removing the values of adapters that
// are gone.
bool WriteNetbiosAdapterMap();

// Called on the issuing thread with a copy of every control block as it
// enters Netbios, before the command runs. An empty function removes it.
void SetNetbiosTrace(std::function<void(const NCB&)> trace);

// Commands that are blocked inside the service waiting for a datagram, a call
// or session data. A datagram or call that completes a waiting command takes
// it off this count before the sender returns, so "every thread sleeps or
// waits here" is a stable state on the manual clock.
int NetbiosWaiterCount();
// Waits (real time, bounded) until SleeperCount() + NetbiosWaiterCount()
// reaches `count`.
bool WaitForQuiet(int count, std::chrono::milliseconds realTimeout = std::chrono::seconds(10));

}  // namespace plat
