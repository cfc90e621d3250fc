// An emulated network print-server box: a NetBIOS node with ports that
// answers pings with status reports and prints the jobs sent to its ports.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "job_rebuilder.h"
#include "win32/netbios.h"
#include "server_report.h"

namespace printbox {

struct BoxConfig {
  // The adapter the box runs on; the host adds it (any transport) beforehand.
  unsigned char lana = 0;
  std::string name = "PRINTBOX";
  std::vector<PortStatus> ports;
  std::uint8_t reportType = kReportType;
  // Complete jobs are written here as <port>-<n>.prn, incomplete ones under
  // incomplete/; empty: jobs are kept in memory only.
  std::filesystem::path outputDir;
  bool keepJobsInMemory = true;
  // Waited after each piece of a job received (about a packet, 4 KiB at
  // most), as a slow printer drains its connection: lets tests catch a job in
  // the middle.
  std::chrono::milliseconds receiveDelay{0};
  // A session that sends no byte for this long is hung up, as print servers
  // do, so that a silent connection cannot hold a port from the jobs behind
  // it (a box serves one session per port at a time). Zero: no limit.
  std::chrono::milliseconds idleLimit{30000};
  // Told of every job as it is filed (on the session's thread), e.g. to log it.
  std::function<void(const std::string& port, JobState state, std::size_t bytes, const std::filesystem::path& file)>
      onJob;
};

struct Job {
  std::string port;
  std::vector<std::uint8_t> data;
  JobState state = JobState::Complete;
  std::filesystem::path file;  // empty when not written
};

struct BoxStats {
  std::size_t pingsHeard = 0;
  std::size_t reportsSent = 0;
  std::size_t sessions = 0;
  std::size_t emptySessions = 0;  // hung up before any byte: no job
  std::size_t completeJobs = 0;
  std::size_t incompleteJobs = 0;
  std::size_t brokenJobs = 0;
  std::size_t malformedPackets = 0;
  std::size_t idleHangUps = 0;  // sessions hung up for their silence
};

class Box {
 public:
  explicit Box(BoxConfig config);
  ~Box();
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;

  // Resets the adapter, joins "ORVE_QDL        ", registers every port name
  // (unique) and starts answering. Returns 0, or the NetBIOS code of the step
  // that failed (the box is then stopped).
  unsigned char Start();
  // The name whose registration failed the last Start, if one did.
  std::string FailedName() const;
  // Ends every command of the box and waits until none of its work runs.
  void Stop();

  bool SetPortStatus(const std::string& port, std::uint8_t status);
  // While on, callers of the box's ports are told its sessions are full.
  void SetRefuseSessions(bool refuse);
  void SetAnswerPings(bool answer);

  std::vector<Job> Jobs() const;
  std::vector<Job> JobsIn(JobState state) const;
  BoxStats Stats() const;
  // Waits (real time) until at least n complete jobs have been printed.
  bool WaitForCompleteJobs(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Waits (real time) until the predicate holds for the statistics.
  bool WaitFor(const std::function<bool(const BoxStats&)>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The reports the box would send for a ping now.
  std::vector<std::vector<std::uint8_t>> Reports() const;

 private:
  // A command the box keeps waiting in the service: the ping receive, or the
  // listen of one port. The box waits for nothing itself: the service ends
  // the command and runs its post routine, so an idle box has no thread and
  // a session has one only while it lasts.
  struct Posted;
  static void CALLBACK OnPosted(NCB* ncb);
  // Issues the command again; false once the box stops or its adapter is gone.
  bool Repost(Posted* posted);
  void AnswerPing(Posted* posted);
  void ServeSession(const std::string& port, unsigned char lsn);
  // Hangs up sessions silent for the idle limit; runs while any session does.
  void WatchIdleSessions();
  // The command's chain has ended; Stop waits for every chain.
  void EndChain();
  // The file a job in progress goes to as it comes, when jobs are not kept
  // in memory.
  struct PartFile;
  void WritePart(PartFile* part, const std::vector<std::uint8_t>& bytes);
  void FileJob(const std::string& port, RebuiltJob job, PartFile* part);

  const BoxConfig config_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PortStatus> ports_;
  bool answerPings_ = true;
  bool running_ = false;
  bool stopping_ = false;
  std::string failedName_;
  std::vector<Job> jobs_;
  BoxStats stats_;
  std::map<std::string, std::size_t> jobNumbers_;
  std::vector<std::unique_ptr<Posted>> posted_;
  std::size_t chains_ = 0;  // posted commands, their sessions and the idle watch still going
  // Sessions being served, by number: when each last sent a byte.
  std::map<unsigned char, std::chrono::steady_clock::time_point> heardFrom_;
  bool watching_ = false;  // the idle watch runs
};

}  // namespace printbox
