// One NetBIOS adapter of the service: its name table, sessions and pending
// commands, over whatever transport carries its traffic.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>

#include "../host/netbios.h"
#include "netbios_transport.h"

namespace plat::nb {

class Adapter : public Node {
 public:
  explicit Adapter(const NetbiosAdapterConfig& config);
  ~Adapter() override;
  // Attaches the transport; called once, right after construction.
  bool Start();
  // Detaches from the network and ends every pending command with NRC_BRIDGE.
  void Shutdown();
  void SetSessionLimit(int limit);
  // Datagrams that arrived for a name of this adapter and were lost because
  // its backlog was full, since the adapter was added.
  std::uint64_t DroppedDatagrams();
  const NetbiosAdapterConfig& Config() const { return config_; }

  UCHAR Execute(NCB* ncb);
  // Starts an ASYNCH datagram receive or listen: NRC_GOODRET once it waits
  // (its end goes to PostCompletion), or the code that refused it at once.
  UCHAR Submit(NCB* ncb);
  // An NCBRECV that also takes the messages already there after the first,
  // joined (host NetbiosReceiveStream).
  UCHAR ReceiveStream(NCB* ncb);

  // Node
  bool HoldsName(const Name& name, bool* isGroup) override;
  void DeliverDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) override;
  UCHAR OfferCall(const Name& from, const Name& to, std::shared_ptr<Channel> channel) override;
  void NameInConflict(const Name& name) override;

 private:
  struct Datagram {
    Name from;
    std::vector<UCHAR> data;
  };
  struct NameEntry {
    Name name{};
    bool group = false;
    bool registered = false;
    UCHAR number = 0;
    std::deque<Datagram> backlog;
    std::size_t backlogBytes = 0;
    bool conflict = false;  // another node holds it too: it serves nothing
  };
  struct Pending {
    NCB* ncb = nullptr;
    UCHAR number = 0;  // datagram receive: name number; listen: local name's number
    Name remote{};     // listen: the caller expected, or "*"
    bool posted = false;  // ASYNCH: owned by its list, ended through PostCompletion
    bool done = false;
    UCHAR result = NRC_PENDING;
    WaitList wait;
  };
  struct Session {
    std::shared_ptr<Channel> channel;
    UCHAR number = 0;  // local name's number
    Name remote{};
  };

  UCHAR Reset(NCB* ncb);
  UCHAR AdapterStatus(NCB* ncb);
  UCHAR AddName(NCB* ncb, bool group);
  UCHAR DeleteName(NCB* ncb);
  UCHAR DatagramSend(NCB* ncb);
  UCHAR DatagramReceive(NCB* ncb, bool posted);
  UCHAR Call(NCB* ncb);
  UCHAR Listen(NCB* ncb, bool posted);
  UCHAR Send(NCB* ncb);
  UCHAR Receive(NCB* ncb, bool joined);
  UCHAR HangUp(NCB* ncb);

  NameEntry* FindName(const Name& name);
  NameEntry* FindNumber(UCHAR number);
  UCHAR FreeNameNumber() const;
  UCHAR FreeSessionNumber();
  // Both under mutex_: ends a pending command and takes it off the list.
  void Complete(std::list<Pending*>& list, std::list<Pending*>::iterator it, UCHAR result);
  void CancelAllLocked(UCHAR result, std::vector<std::shared_ptr<Channel>>* closed);
  UCHAR WaitFor(std::unique_lock<std::mutex>& lock, std::list<Pending*>& list, Pending& pending);
  // Under mutex_: the ASYNCH form of WaitFor; the list owns the copy.
  UCHAR Post(std::list<Pending*>& list, const Pending& pending);
  // Under mutex_: a command that ends before it waits, told in its own way.
  static UCHAR Ended(NCB* ncb, bool posted, UCHAR result);

  const NetbiosAdapterConfig config_;
  std::unique_ptr<Transport> transport_;
  std::mutex mutex_;
  bool dead_ = false;
  std::size_t maxNames_;
  std::size_t maxSessions_;
  int sessionLimit_ = -1;
  std::list<NameEntry> names_;
  std::map<UCHAR, Session> sessions_;
  UCHAR lastLsn_ = 0;
  std::list<Pending*> receives_;
  std::list<Pending*> listens_;
  std::uint64_t dropped_ = 0;
};

}  // namespace plat::nb
