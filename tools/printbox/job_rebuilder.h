// Rebuilds print jobs from the bytes of a job session: JobPackets of kind
// 0x00 (data) or 0x01 (end of job), reserved byte 0, 16-bit little-endian
// length 1..3068, then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace printbox {

inline constexpr std::uint8_t kPacketData = 0x00;
inline constexpr std::uint8_t kPacketEndOfJob = 0x01;
inline constexpr std::size_t kPacketHeader = 4;
inline constexpr std::size_t kMaxPayload = 3068;

enum class JobState { Complete, Incomplete, Broken };

struct RebuiltJob {
  std::vector<std::uint8_t> data;
  JobState state = JobState::Complete;
};

// Takes the session's bytes in whatever pieces they arrive (a packet may be
// split over several receives, several packets may come in one). A malformed
// packet ends the job in progress as broken, and everything after it in the
// session is ignored, since the framing can no longer be trusted.
class JobRebuilder {
 public:
  void Feed(std::span<const std::uint8_t> bytes);
  // The session is over: a job in progress, or a packet cut short, is left
  // incomplete. A session that carried no byte leaves no job.
  void End();
  // Jobs finished since the last call, in order.
  std::vector<RebuiltJob> TakeFinished();
  // The bytes of the job in progress rebuilt since the last take (a finished
  // job's data then holds only what came after): lets a caller write a long
  // job out as it comes instead of holding it whole. *out's old contents are
  // dropped and its buffer is reused.
  std::size_t JobBytes() const { return whole_; }
  void TakeJobBytes(std::vector<std::uint8_t>* out);

  bool Broken() const { return broken_; }
  std::size_t MalformedPackets() const { return malformed_; }

 private:
  void FinishJob(JobState state);

  std::uint8_t header_[kPacketHeader] = {};
  std::size_t headerBytes_ = 0;  // of the packet being read
  std::size_t payloadLeft_ = 0;  // of the packet being read, once its header is in
  // The job's payload, copied here straight from what the session brings:
  // whole packets, then what has come of the packet being read.
  std::vector<std::uint8_t> job_;
  std::size_t whole_ = 0;  // bytes of job_ from whole packets
  bool jobStarted_ = false;
  bool broken_ = false;
  std::size_t malformed_ = 0;
  std::vector<RebuiltJob> finished_;
};

}  // namespace printbox
