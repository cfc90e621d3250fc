// Inside the NetBIOS service: the interfaces between an adapter (name table,
// sessions, pending commands) and the transport that carries its traffic.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "../win32/netbios.h"

namespace plat::nb {

using Name = std::array<UCHAR, NCBNAMSZ>;

Name NameOf(const UCHAR* field);

// Largest datagram a transport carries, as NetBEUI's frames allow.
constexpr std::size_t kMaxDatagram = 512;

// Count of commands blocked in the service (host NetbiosWaiterCount).
void AddWaiters(int delta);
// Hands an ended ASYNCH command to the completion thread, which sets its
// return code and runs its ncb_post. Safe under an adapter's lock.
void PostCompletion(NCB* ncb, UCHAR result);

// A condition wait that counts as a NetBIOS waiter while blocked. Whoever
// makes the condition true calls ReleaseAll under the same mutex, which takes
// the waiters off the count at once, before they have run.
class WaitList {
 public:
  template <typename Pred>
  void Wait(std::unique_lock<std::mutex>& lock, Pred pred) {
    while (!pred()) {
      Entry entry;
      entries_.push_back(&entry);
      AddWaiters(1);
      while (!entry.released) changed_.wait(lock);
    }
  }
  void ReleaseAll() {
    if (entries_.empty()) return;
    AddWaiters(-static_cast<int>(entries_.size()));
    for (Entry* e : entries_) e->released = true;
    entries_.clear();
    changed_.notify_all();
  }
  // ReleaseAll, waking the waiters only once `lock` has been let go, so that
  // they do not wake just to wait for the mutex. The list must outlive the
  // call without the lock (its owner is kept alive by the caller).
  void ReleaseAllAndUnlock(std::unique_lock<std::mutex>& lock) {
    if (entries_.empty()) return lock.unlock();
    AddWaiters(-static_cast<int>(entries_.size()));
    for (Entry* e : entries_) e->released = true;
    entries_.clear();
    lock.unlock();
    changed_.notify_all();
  }

 private:
  struct Entry {
    bool released = false;
  };
  std::vector<Entry*> entries_;
  std::condition_variable changed_;
};

// One side of an established session. Messages keep their boundaries.
class Channel {
 public:
  virtual ~Channel() = default;
  // Sends one message; returns once it is on its way and `data` is no
  // longer needed.
  virtual UCHAR Send(std::span<const UCHAR> data) = 0;
  // Takes the next message, or as much of it as fits (NRC_INCOMP, the rest
  // stays for the next receive). NRC_SCLOSED once the peer has hung up and
  // everything it sent has been read; NRC_SABORT when the connection failed.
  // `joined`: for a reader that takes the session as a stream of bytes, the
  // messages already there after the first follow it in the buffer, as many
  // as fit (NRC_INCOMP when the buffer ends inside one).
  virtual UCHAR Receive(UCHAR* buffer, WORD capacity, WORD* received, bool joined) = 0;
  // Closes this side; data already queued for the peer stays readable.
  virtual void HangUp() = 0;
};

// What the network asks of a local adapter. Called without the adapter's lock.
class Node {
 public:
  virtual ~Node() = default;
  // Whether the adapter holds the name (registered or registering).
  virtual bool HoldsName(const Name& name, bool* isGroup) = 0;
  virtual void DeliverDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) = 0;
  // A caller asks for a session with `to`: NRC_GOODRET when a listen took it
  // (the channel is then the adapter's), NRC_NOCALL when no listen waits for
  // this caller, NRC_REMTFUL when the session table is full.
  virtual UCHAR OfferCall(const Name& from, const Name& to, std::shared_ptr<Channel> channel) = 0;
  // The network found another node holding a unique name of ours: the name
  // stays in the table, in conflict, until it is deleted, and serves nothing
  // (commands on it end NRC_NAMCONF; its sessions run on).
  virtual void NameInConflict(const Name& name) = 0;
};

// What another node tells of itself when asked for its status.
struct RemoteStatus {
  std::array<UCHAR, 6> hardwareAddress{};
  std::vector<NAME_BUFFER> names;
};

// Carries one adapter's traffic. Never called with the adapter's lock held.
class Transport {
 public:
  virtual ~Transport() = default;
  // Defends a name about to be added: NRC_GOODRET, or NRC_INUSE when another
  // node holds it in a way that conflicts.
  virtual UCHAR ClaimName(const Name& name, bool group) = 0;
  virtual void ReleaseName(const Name& name, bool group) = 0;
  virtual UCHAR SendDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) = 0;
  // Opens a session to `to`; on NRC_GOODRET *channel is the caller's side.
  virtual UCHAR Call(const Name& from, const Name& to, std::shared_ptr<Channel>* channel) = 0;
  // Asks the node that holds `name` for its status: NRC_GOODRET, or
  // NRC_CMDTMO when no node answers in time.
  virtual UCHAR NodeStatus(const Name&, RemoteStatus*) { return NRC_CMDTMO; }
  // After Detach no more calls reach the node.
  virtual void Detach() = 0;
};

std::unique_ptr<Transport> MakeLoopTransport(const std::string& segment, Node* node);

}  // namespace plat::nb
