// The in-process NetBIOS transport: named segments that every adapter of the
// process can join, with sessions as pairs of bounded message queues.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>

#include "netbios_transport.h"

namespace plat::nb {
namespace {

// Bytes a session side may have queued before its sender waits (one message
// more may pass it): counted in bytes, not messages, so that a sender of small
// packets runs well ahead of its reader instead of handing over every few
// kilobytes, and the memory it holds stays bounded whatever the message size.
constexpr std::size_t kSessionQueueBytes = 1024 * 1024;
// A sender that had to wait goes on once the reader has taken half, so that a
// reader that cannot keep up wakes it once per batch, not per message.
constexpr std::size_t kSessionQueueResume = kSessionQueueBytes / 2;
// Emptied message buffers a direction keeps for its next messages, in bytes
// of their capacity: enough that a sender running ahead reuses the buffers
// its reader let go instead of allocating each message anew (and freeing it
// on the other thread).
constexpr std::size_t kSpareBytes = 256 * 1024;
// What a queued message counts for beside its bytes, so that empty messages
// are bounded too.
constexpr std::size_t kMessageCharge = 64;

struct SessionPipe {
  struct Direction {
    std::deque<std::vector<UCHAR>> messages;
    std::vector<std::vector<UCHAR>> spare;
    std::size_t spareBytes = 0;  // their capacity
    std::size_t frontOffset = 0;  // bytes of the front message already read
    std::size_t queuedBytes = 0;  // what the messages queued count for, whole
    WaitList readers;
    WaitList writers;
  };
  std::mutex mutex;
  Direction toward[2];  // toward[i]: messages that side i receives
  bool closed[2] = {false, false};
};

class LoopChannel : public Channel {
 public:
  LoopChannel(std::shared_ptr<SessionPipe> pipe, int side) : pipe_(std::move(pipe)), side_(side) {}
  ~LoopChannel() override { HangUp(); }

  UCHAR Send(std::span<const UCHAR> data) override {
    SessionPipe& p = *pipe_;
    std::unique_lock lock(p.mutex);
    auto& out = p.toward[1 - side_];
    out.writers.Wait(lock, [&] {
      return p.closed[0] || p.closed[1] || out.queuedBytes < kSessionQueueBytes;
    });
    if (p.closed[0] || p.closed[1]) return NRC_SCLOSED;
    if (out.spare.empty()) {
      out.messages.emplace_back(data.begin(), data.end());
    } else {
      out.spareBytes -= out.spare.back().capacity();
      out.messages.push_back(std::move(out.spare.back()));
      out.spare.pop_back();
      out.messages.back().assign(data.begin(), data.end());
    }
    out.queuedBytes += data.size() + kMessageCharge;
    // The pipe outlives the unlocked wake: this channel holds it.
    out.readers.ReleaseAllAndUnlock(lock);
    return NRC_GOODRET;
  }

  UCHAR Receive(UCHAR* buffer, WORD capacity, WORD* received, bool joined) override {
    SessionPipe& p = *pipe_;
    std::unique_lock lock(p.mutex);
    auto& in = p.toward[side_];
    *received = 0;
    in.readers.Wait(lock, [&] { return !in.messages.empty() || p.closed[0] || p.closed[1]; });
    // What the peer sent before hanging up is still delivered.
    if (in.messages.empty() || p.closed[side_]) return NRC_SCLOSED;
    // Whole messages are taken out of the queue and copied once the lock is
    // let go, so that the sender is not held up meanwhile; a message only
    // partly read is copied here, and stays.
    std::vector<std::pair<std::size_t, std::vector<UCHAR>>> taken;
    std::size_t got = 0;
    UCHAR result = NRC_GOODRET;
    do {
      std::vector<UCHAR>& front = in.messages.front();
      std::size_t left = front.size() - in.frontOffset;
      std::size_t n = std::min<std::size_t>(left, capacity - got);
      if (in.frontOffset == 0 && n == left) {
        in.queuedBytes -= front.size() + kMessageCharge;
        taken.emplace_back(got, std::move(front));
      } else {
        if (n) std::memcpy(buffer + got, front.data() + in.frontOffset, n);
        if (n < left) {
          in.frontOffset += n;
          got += n;
          result = NRC_INCOMP;
          break;
        }
        in.queuedBytes -= front.size() + kMessageCharge;
        in.frontOffset = 0;
      }
      got += n;
      in.messages.pop_front();
    } while (joined && !in.messages.empty() && got < capacity);
    *received = static_cast<WORD>(got);
    if (in.queuedBytes <= kSessionQueueResume) in.writers.ReleaseAllAndUnlock(lock);
    if (lock.owns_lock()) lock.unlock();
    for (const auto& [at, message] : taken) std::memcpy(buffer + at, message.data(), message.size());
    if (taken.empty()) return result;
    // Their buffers serve the sender's next messages.
    lock.lock();
    for (auto& [at, message] : taken) {
      if (message.capacity() == 0 || in.spareBytes + message.capacity() > kSpareBytes) continue;
      in.spareBytes += message.capacity();
      in.spare.push_back(std::move(message));
    }
    return result;
  }

  void HangUp() override {
    SessionPipe& p = *pipe_;
    std::lock_guard lock(p.mutex);
    if (p.closed[side_]) return;
    p.closed[side_] = true;
    // Nobody reads this side any more; what was queued for it is dropped.
    p.toward[side_].messages.clear();
    p.toward[side_].frontOffset = 0;
    p.toward[side_].queuedBytes = 0;
    for (auto& d : p.toward) {
      d.readers.ReleaseAll();
      d.writers.ReleaseAll();
    }
  }

 private:
  std::shared_ptr<SessionPipe> pipe_;
  int side_;
};

struct Segment {
  std::mutex mutex;
  std::vector<Node*> nodes;
};

std::mutex& SegmentsMutex() {
  static std::mutex m;
  return m;
}

std::map<std::string, std::weak_ptr<Segment>>& Segments() {
  static std::map<std::string, std::weak_ptr<Segment>> segments;
  return segments;
}

std::shared_ptr<Segment> JoinSegment(const std::string& name, Node* node) {
  std::lock_guard lock(SegmentsMutex());
  auto& slot = Segments()[name];
  std::shared_ptr<Segment> seg = slot.lock();
  if (!seg) {
    seg = std::make_shared<Segment>();
    slot = seg;
  }
  std::lock_guard segLock(seg->mutex);
  seg->nodes.push_back(node);
  return seg;
}

// Lock order: a segment's mutex before any adapter's; adapters never call in
// here while holding their own.
class LoopTransport : public Transport {
 public:
  LoopTransport(const std::string& segment, Node* node) : self_(node), segment_(JoinSegment(segment, node)) {}
  ~LoopTransport() override { Detach(); }

  UCHAR ClaimName(const Name& name, bool group) override {
    std::lock_guard lock(segment_->mutex);
    if (detached_) return NRC_BRIDGE;
    for (Node* node : segment_->nodes) {
      if (node == self_) continue;
      bool heldAsGroup = false;
      if (node->HoldsName(name, &heldAsGroup) && (!group || !heldAsGroup)) return NRC_INUSE;
    }
    return NRC_GOODRET;
  }

  void ReleaseName(const Name&, bool) override {}

  UCHAR SendDatagram(const Name& from, const Name& to, std::span<const UCHAR> data) override {
    std::lock_guard lock(segment_->mutex);
    if (detached_) return NRC_BRIDGE;
    for (Node* node : segment_->nodes) node->DeliverDatagram(from, to, data);
    return NRC_GOODRET;
  }

  UCHAR Call(const Name& from, const Name& to, std::shared_ptr<Channel>* channel) override {
    auto pipe = std::make_shared<SessionPipe>();
    auto mine = std::make_shared<LoopChannel>(pipe, 0);
    auto theirs = std::make_shared<LoopChannel>(pipe, 1);
    UCHAR result = NRC_NOCALL;
    std::lock_guard lock(segment_->mutex);
    if (detached_) return NRC_BRIDGE;
    for (Node* node : segment_->nodes) {
      bool isGroup = false;
      if (!node->HoldsName(to, &isGroup)) continue;
      UCHAR r = node->OfferCall(from, to, theirs);
      if (r == NRC_GOODRET) {
        *channel = mine;
        return NRC_GOODRET;
      }
      if (r == NRC_REMTFUL) result = NRC_REMTFUL;
    }
    return result;
  }

  void Detach() override {
    std::lock_guard lock(segment_->mutex);
    auto& nodes = segment_->nodes;
    nodes.erase(std::remove(nodes.begin(), nodes.end(), self_), nodes.end());
    detached_ = true;
  }

 private:
  Node* self_;
  bool detached_ = false;  // guarded by the segment's mutex
  std::shared_ptr<Segment> segment_;
};

}  // namespace

std::unique_ptr<Transport> MakeLoopTransport(const std::string& segment, Node* node) {
  return std::make_unique<LoopTransport>(segment, node);
}

}  // namespace plat::nb
