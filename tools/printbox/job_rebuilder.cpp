// Rebuilding print jobs from the packets of a job session.
#include "job_rebuilder.h"

#include <algorithm>

namespace printbox {

void JobRebuilder::Feed(std::span<const std::uint8_t> bytes) {
  if (broken_) return;
  std::size_t i = 0;
  while (i < bytes.size()) {
    jobStarted_ = true;
    if (pending_.size() < kPacketHeader) {
      pending_.push_back(bytes[i++]);
      if (pending_.size() < kPacketHeader) continue;
      std::uint8_t kind = pending_[0];
      std::size_t length = pending_[2] | (static_cast<std::size_t>(pending_[3]) << 8);
      bool kindOk = kind == kPacketData || kind == kPacketEndOfJob;
      if (!kindOk || pending_[1] != 0 || length == 0 || length > kMaxPayload) {
        ++malformed_;
        broken_ = true;
        pending_.clear();
        FinishJob(JobState::Broken);
        return;
      }
      continue;
    }
    std::size_t length = pending_[2] | (static_cast<std::size_t>(pending_[3]) << 8);
    std::size_t want = kPacketHeader + length - pending_.size();
    std::size_t take = std::min(want, bytes.size() - i);
    pending_.insert(pending_.end(), bytes.begin() + i, bytes.begin() + i + take);
    i += take;
    if (pending_.size() == kPacketHeader + length) {
      job_.insert(job_.end(), pending_.begin() + kPacketHeader, pending_.end());
      bool end = pending_[0] == kPacketEndOfJob;
      pending_.clear();
      if (end) FinishJob(JobState::Complete);
    }
  }
}

void JobRebuilder::End() {
  if (!broken_ && jobStarted_) FinishJob(JobState::Incomplete);
  pending_.clear();
}

std::vector<RebuiltJob> JobRebuilder::TakeFinished() {
  std::vector<RebuiltJob> out;
  out.swap(finished_);
  return out;
}

void JobRebuilder::FinishJob(JobState state) {
  finished_.push_back({std::move(job_), state});
  job_.clear();
  jobStarted_ = false;
}

}  // namespace printbox
