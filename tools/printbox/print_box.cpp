// The print box's threads: answering pings, listening on each port and
// rebuilding the jobs of its sessions.
#include "print_box.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>

#include "host/netbios.h"
#include "win32/netbios.h"

namespace printbox {
namespace {

const char kQdlGroup[] = "ORVE_QDL        ";
const char kSrvGroup[] = "ORVE_SRV        ";
// The chain of the ping receive, beside the ports' listens.
constexpr std::size_t kPingChain = static_cast<std::size_t>(-1);
// The most one receive takes: a session is read as a stream, many packets a
// call, as the box's own TCP stack would hand them over. A slow printer (a
// receive delay) takes about one packet at a time.
constexpr WORD kReceiveBuffer = 0xFFFF;
constexpr WORD kSlowReceive = 4096;
// A job streamed to its file is written in pieces of about this size.
constexpr std::size_t kStreamPiece = 256 * 1024;

void ClearNcb(NCB& ncb, UCHAR command, UCHAR lana) {
  std::memset(&ncb, 0, sizeof ncb);
  std::memset(ncb.ncb_name, ' ', NCBNAMSZ);
  std::memset(ncb.ncb_callname, ' ', NCBNAMSZ);
  ncb.ncb_command = command;
  ncb.ncb_lana_num = lana;
}

void SetName(UCHAR* field, const std::string& name) {
  std::string padded = PaddedName(name);
  std::memcpy(field, padded.data(), NCBNAMSZ);
}

std::string FileSafe(const std::string& name) {
  std::string out = name;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return out.empty() ? "_" : out;
}

}  // namespace

Box::Box(BoxConfig config) : config_(std::move(config)), ports_(config_.ports) {}

Box::~Box() { Stop(); }

unsigned char Box::Start() {
  {
    std::lock_guard lock(mutex_);
    if (running_) return NRC_GOODRET;
    running_ = true;
    stopping_ = false;
  }
  NCB ncb;
  ClearNcb(ncb, NCBRESET, config_.lana);
  ncb.ncb_callname[0] = 254;  // sessions
  ncb.ncb_callname[2] = 254;  // names
  UCHAR r = Netbios(&ncb);
  UCHAR qdl = 0;
  std::string failed;
  if (r == NRC_GOODRET) {
    // Each registration waits out its broadcasts on its own; side by side,
    // a box of any size starts in the time of one.
    std::vector<std::string> names{kQdlGroup};
    for (const auto& p : config_.ports) names.push_back(p.name);
    std::vector<NCB> adds(names.size());
    std::vector<UCHAR> results(names.size(), NRC_GOODRET);
    std::vector<std::thread> claims;
    for (std::size_t i = 0; i < names.size(); ++i) {
      ClearNcb(adds[i], i == 0 ? NCBADDGRNAME : NCBADDNAME, config_.lana);
      SetName(adds[i].ncb_name, names[i]);
      claims.emplace_back([&adds, &results, i] { results[i] = Netbios(&adds[i]); });
    }
    for (auto& c : claims) c.join();
    qdl = adds[0].ncb_num;
    for (std::size_t i = 0; i < names.size() && r == NRC_GOODRET; ++i) {
      r = results[i];
      if (r != NRC_GOODRET) failed = names[i];
    }
  }
  if (r != NRC_GOODRET) {
    Stop();
    std::lock_guard lock(mutex_);
    failedName_ = failed;
    return r;
  }
  {
    std::lock_guard lock(mutex_);
    posted_.clear();
    posted_.push_back(std::make_unique<Posted>(this, kPingChain, qdl));
    for (std::size_t i = 0; i < config_.ports.size(); ++i) posted_.push_back(std::make_unique<Posted>(this, i, 0));
    chains_ = posted_.size();
  }
  // Issued outside the box's lock: the first may end and run before the last
  // is issued.
  for (std::size_t i = 0, n = config_.ports.size() + 1; i < n; ++i) {
    Posted* p;
    {
      std::lock_guard lock(mutex_);
      p = posted_[i].get();
    }
    if (!Repost(p)) EndChain();
  }
  return NRC_GOODRET;
}

std::string Box::FailedName() const {
  std::lock_guard lock(mutex_);
  return failedName_;
}

void Box::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    stopping_ = true;
    changed_.notify_all();
  }
  // Freeing the adapter's resources ends every pending receive and listen and
  // closes the sessions; commands issued after it fail at once.
  NCB ncb;
  ClearNcb(ncb, NCBRESET, config_.lana);
  ncb.ncb_lsn = 1;
  Netbios(&ncb);
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return chains_ == 0; });
  lock.unlock();
  plat::SetNetbiosSessionLimit(config_.lana, -1);
  lock.lock();
  running_ = false;
  changed_.notify_all();
}

bool Box::SetPortStatus(const std::string& port, std::uint8_t status) {
  std::lock_guard lock(mutex_);
  for (auto& p : ports_) {
    if (p.name == port) {
      p.status = status;
      return true;
    }
  }
  return false;
}

void Box::SetRefuseSessions(bool refuse) { plat::SetNetbiosSessionLimit(config_.lana, refuse ? 0 : -1); }

void Box::SetAnswerPings(bool answer) {
  std::lock_guard lock(mutex_);
  answerPings_ = answer;
}

std::vector<Job> Box::Jobs() const {
  std::lock_guard lock(mutex_);
  return jobs_;
}

std::vector<Job> Box::JobsIn(JobState state) const {
  std::lock_guard lock(mutex_);
  std::vector<Job> out;
  for (const auto& j : jobs_)
    if (j.state == state) out.push_back(j);
  return out;
}

BoxStats Box::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

bool Box::WaitForCompleteJobs(std::size_t n, std::chrono::milliseconds timeout) {
  return WaitFor([n](const BoxStats& s) { return s.completeJobs >= n; }, timeout);
}

bool Box::WaitFor(const std::function<bool(const BoxStats&)>& pred, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return pred(stats_); });
}

std::vector<std::vector<std::uint8_t>> Box::Reports() const {
  std::lock_guard lock(mutex_);
  return BuildServerReports(config_.name, config_.reportType, ports_);
}

struct Box::Posted {
  Posted(Box* owner, std::size_t which, UCHAR qdlNumber) : box(owner), chain(which), qdl(qdlNumber) {}
  NCB ncb{};  // first, so that the post routine finds the rest from it
  Box* box;
  std::size_t chain;  // kPingChain, or the port's index
  UCHAR qdl;
  std::uint8_t buffer[512];
};

void CALLBACK Box::OnPosted(NCB* ncb) {
  auto* posted = reinterpret_cast<Posted*>(ncb);
  Box* box = posted->box;
  UCHAR r = ncb->ncb_retcode;
  if (posted->chain == kPingChain) {
    // Anything but a datagram (whole or cut) means the box is stopping or
    // its adapter is gone.
    if (r != NRC_GOODRET && r != NRC_INCOMP) return box->EndChain();
    box->AnswerPing(posted);
    if (!box->Repost(posted)) box->EndChain();
    return;
  }
  if (r != NRC_GOODRET) return box->EndChain();
  // The session runs on a thread of its own while the listen rests, as a box
  // with one connection per port does.
  std::string port = box->config_.ports[posted->chain].name;
  UCHAR lsn = ncb->ncb_lsn;
  std::thread([box, posted, port, lsn] {
    box->ServeSession(port, lsn);
    if (!box->Repost(posted)) box->EndChain();
  }).detach();
}

bool Box::Repost(Posted* posted) {
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return false;
  }
  NCB& ncb = posted->ncb;
  if (posted->chain == kPingChain) {
    ClearNcb(ncb, NCBDGRECV | ASYNCH, config_.lana);
    ncb.ncb_num = posted->qdl;
    ncb.ncb_buffer = posted->buffer;
    ncb.ncb_length = sizeof posted->buffer;
  } else {
    ClearNcb(ncb, NCBLISTEN | ASYNCH, config_.lana);
    SetName(ncb.ncb_name, config_.ports[posted->chain].name);
    ncb.ncb_callname[0] = '*';
  }
  ncb.ncb_post = &Box::OnPosted;
  return Netbios(&ncb) == NRC_GOODRET;
}

void Box::EndChain() {
  // The last thing done with the box: Stop may return and free it as soon as
  // the lock is let go.
  std::lock_guard lock(mutex_);
  --chains_;
  changed_.notify_all();
}

void Box::AnswerPing(Posted* posted) {
  const NCB& ncb = posted->ncb;
  if (ncb.ncb_retcode != NRC_GOODRET || ncb.ncb_length != 1 || posted->buffer[0] != kPing) return;
  std::vector<std::vector<std::uint8_t>> reports;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    ++stats_.pingsHeard;
    if (answerPings_) reports = BuildServerReports(config_.name, config_.reportType, ports_);
    changed_.notify_all();
  }
  for (auto& report : reports) {
    NCB send;
    ClearNcb(send, NCBDGSEND, config_.lana);
    SetName(send.ncb_callname, kSrvGroup);
    send.ncb_num = posted->qdl;
    send.ncb_buffer = report.data();
    send.ncb_length = static_cast<WORD>(report.size());
    if (Netbios(&send) != NRC_GOODRET) continue;
    std::lock_guard lock(mutex_);
    ++stats_.reportsSent;
    changed_.notify_all();
  }
}

namespace {

// A job's text is its sender's business: only the box's owner reads the file,
// whatever the umask or an earlier file of that name allowed.
void MakeOwnerOnly(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ec);
}

}  // namespace

struct Box::PartFile {
  std::filesystem::path path;
  std::ofstream out;
  bool open = false;
  std::size_t bytes = 0;  // of the job in progress, written or not
};

void Box::ServeSession(const std::string& port, unsigned char lsn) {
  {
    std::lock_guard lock(mutex_);
    ++stats_.sessions;
    heardFrom_[lsn] = std::chrono::steady_clock::now();
    // The watch runs only while a session does, so an idle box keeps no
    // thread; it counts as a chain so that Stop waits for it.
    if (config_.idleLimit.count() > 0 && !watching_ && !stopping_) {
      watching_ = true;
      ++chains_;
      std::thread(&Box::WatchIdleSessions, this).detach();
    }
  }
  JobRebuilder rebuilder;
  std::vector<std::uint8_t> buffer(kReceiveBuffer);
  bool anyBytes = false;
  // A box that keeps no jobs in memory writes each job to its file as it
  // comes, under a hidden name until the job has ended, so that a long job
  // never sits whole in memory and its file is done soon after its last
  // packet.
  const bool stream = !config_.keepJobsInMemory && !config_.outputDir.empty();
  PartFile part;
  part.path = config_.outputDir / ("." + FileSafe(port) + ".part");
  std::vector<std::uint8_t> piece;
  for (;;) {
    NCB ncb;
    ClearNcb(ncb, NCBRECV, config_.lana);
    ncb.ncb_lsn = lsn;
    ncb.ncb_buffer = buffer.data();
    ncb.ncb_length = config_.receiveDelay.count() > 0 ? kSlowReceive : kReceiveBuffer;
    UCHAR r = plat::NetbiosReceiveStream(&ncb);
    if (r != NRC_GOODRET && r != NRC_INCOMP) break;
    {
      std::lock_guard lock(mutex_);
      heardFrom_[lsn] = std::chrono::steady_clock::now();
    }
    anyBytes = anyBytes || ncb.ncb_length > 0;
    if (config_.receiveDelay.count() > 0) std::this_thread::sleep_for(config_.receiveDelay);
    rebuilder.Feed(std::span<const std::uint8_t>(buffer.data(), ncb.ncb_length));
    for (auto& job : rebuilder.TakeFinished()) FileJob(port, std::move(job), stream ? &part : nullptr);
    if (stream && rebuilder.JobBytes() >= kStreamPiece) {
      rebuilder.TakeJobBytes(&piece);
      WritePart(&part, piece);
    }
    if (rebuilder.Broken()) {
      // The framing is lost: hang up so that the sender learns of it at its
      // next send instead of talking into a void.
      NCB hang;
      ClearNcb(hang, NCBHANGUP, config_.lana);
      hang.ncb_lsn = lsn;
      Netbios(&hang);
      break;
    }
  }
  rebuilder.End();
  for (auto& job : rebuilder.TakeFinished()) FileJob(port, std::move(job), stream ? &part : nullptr);
  std::lock_guard lock(mutex_);
  heardFrom_.erase(lsn);
  stats_.malformedPackets += rebuilder.MalformedPackets();
  if (!anyBytes) ++stats_.emptySessions;
  changed_.notify_all();
}

void Box::WatchIdleSessions() {
  // Often enough that a session goes within a quarter of the limit after it.
  auto tick = std::clamp<std::chrono::milliseconds>(config_.idleLimit / 4, std::chrono::milliseconds(10),
                                                    std::chrono::seconds(1));
  std::unique_lock lock(mutex_);
  while (!stopping_ && !heardFrom_.empty()) {
    auto now = std::chrono::steady_clock::now();
    for (auto& [lsn, heard] : heardFrom_) {
      if (now - heard < config_.idleLimit) continue;
      // Its receive then ends, and the port listens for the next caller.
      NCB hang;
      ClearNcb(hang, NCBHANGUP, config_.lana);
      hang.ncb_lsn = lsn;
      Netbios(&hang);
      heard = now;
      ++stats_.idleHangUps;
      changed_.notify_all();
    }
    changed_.wait_for(lock, tick, [&] { return stopping_ || heardFrom_.empty(); });
  }
  // The last thing done with the box, as in EndChain.
  watching_ = false;
  --chains_;
  changed_.notify_all();
}

void Box::WritePart(PartFile* part, const std::vector<std::uint8_t>& bytes) {
  if (!part->open) {
    std::error_code ec;
    std::filesystem::create_directories(part->path.parent_path(), ec);
    part->out.clear();
    part->out.open(part->path, std::ios::binary | std::ios::trunc);
    MakeOwnerOnly(part->path);
    part->open = true;
  }
  part->out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  part->bytes += bytes.size();
}

void Box::FileJob(const std::string& port, RebuiltJob rebuilt, PartFile* part) {
  Job job{port, {}, rebuilt.state, {}};
  bool written = true;
  std::size_t size = rebuilt.data.size();
  if (part) {
    // The rest of the job goes after what was written while it came.
    size += part->bytes;
    if (job.state != JobState::Broken) WritePart(part, rebuilt.data);
    if (part->open) {
      part->out.close();
      written = !part->out.fail();
      part->open = false;
    }
    part->bytes = 0;
  } else {
    job.data = std::move(rebuilt.data);
  }
  if (!config_.outputDir.empty() && job.state != JobState::Broken) {
    std::size_t n;
    {
      std::lock_guard lock(mutex_);
      n = ++jobNumbers_[port];
    }
    std::filesystem::path dir = config_.outputDir;
    if (job.state == JobState::Incomplete) dir /= "incomplete";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    std::filesystem::path file = dir / (FileSafe(port) + "-" + std::to_string(n) + ".prn");
    if (part) {
      if (written) std::filesystem::rename(part->path, file, ec);
      if (written && !ec) job.file = file;
    } else {
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      MakeOwnerOnly(file);
      out.write(reinterpret_cast<const char*>(job.data.data()), static_cast<std::streamsize>(job.data.size()));
      if (out.good()) job.file = file;
    }
  }
  if (part && job.file.empty()) {
    std::error_code ec;
    std::filesystem::remove(part->path, ec);
  }
  if (config_.onJob) config_.onJob(port, job.state, size, job.file);
  std::lock_guard lock(mutex_);
  switch (job.state) {
    case JobState::Complete: ++stats_.completeJobs; break;
    case JobState::Incomplete: ++stats_.incompleteJobs; break;
    case JobState::Broken: ++stats_.brokenJobs; break;
  }
  if (config_.keepJobsInMemory) jobs_.push_back(std::move(job));
  changed_.notify_all();
}

}  // namespace printbox
