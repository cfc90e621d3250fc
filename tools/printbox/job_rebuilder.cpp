// Rebuilding print jobs from the packets of a job session.
#include "job_rebuilder.h"

#include <algorithm>

namespace printbox {

void JobRebuilder::Feed(std::span<const std::uint8_t> bytes) {
  if (broken_) return;
  std::size_t i = 0;
  while (i < bytes.size()) {
    jobStarted_ = true;
    if (headerBytes_ < kPacketHeader) {
      std::size_t take = std::min(kPacketHeader - headerBytes_, bytes.size() - i);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), take, header_ + headerBytes_);
      headerBytes_ += take;
      i += take;
      if (headerBytes_ < kPacketHeader) continue;
      std::uint8_t kind = header_[0];
      std::size_t length = header_[2] | (static_cast<std::size_t>(header_[3]) << 8);
      bool kindOk = kind == kPacketData || kind == kPacketEndOfJob;
      if (!kindOk || header_[1] != 0 || length == 0 || length > kMaxPayload) {
        ++malformed_;
        broken_ = true;
        headerBytes_ = 0;
        FinishJob(JobState::Broken);
        return;
      }
      payloadLeft_ = length;
      continue;
    }
    std::size_t take = std::min(payloadLeft_, bytes.size() - i);
    job_.insert(job_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(i),
                bytes.begin() + static_cast<std::ptrdiff_t>(i + take));
    i += take;
    payloadLeft_ -= take;
    if (payloadLeft_ == 0) {
      whole_ = job_.size();
      headerBytes_ = 0;
      if (header_[0] == kPacketEndOfJob) FinishJob(JobState::Complete);
    }
  }
}

void JobRebuilder::End() {
  // A packet cut short is no part of the job.
  job_.resize(whole_);
  if (!broken_ && jobStarted_) FinishJob(JobState::Incomplete);
  headerBytes_ = 0;
  payloadLeft_ = 0;
}

void JobRebuilder::TakeJobBytes(std::vector<std::uint8_t>* out) {
  out->assign(job_.begin() + static_cast<std::ptrdiff_t>(whole_), job_.end());
  out->swap(job_);
  out->resize(whole_);
  whole_ = 0;
}

std::vector<RebuiltJob> JobRebuilder::TakeFinished() {
  std::vector<RebuiltJob> out;
  out.swap(finished_);
  return out;
}

void JobRebuilder::FinishJob(JobState state) {
  job_.resize(whole_);
  finished_.push_back({std::move(job_), state});
  job_.clear();
  whole_ = 0;
  jobStarted_ = false;
}

}  // namespace printbox
