// The port's status, mirrored into the queue while a job waits or prints.
#include "port_watch.h"

#include <chrono>
#include <sstream>

namespace varnhold {

std::optional<std::string> PrinterStatusIn(const std::string& printersOut, const std::string& printer,
                                           const std::string& port) {
  // Rows are the printer's name, its port and its status, padded apart;
  // the printer's name holds no space, a port's may.
  std::istringstream lines(printersOut);
  for (std::string line; std::getline(lines, line);) {
    if (line.compare(0, printer.size() + 1, printer + " ") != 0) continue;
    std::size_t at = line.find_first_not_of(' ', printer.size());
    if (at == std::string::npos || line.compare(at, port.size(), port) != 0) continue;
    at += port.size();
    if (at < line.size() && line[at] != ' ') continue;
    at = line.find_first_not_of(' ', at);
    return at == std::string::npos ? std::string() : line.substr(at);
  }
  return std::nullopt;
}

std::set<std::string> ReasonsOf(const std::string& status) {
  std::set<std::string> reasons;
  auto has = [&status](const char* word) { return status.find(word) != std::string::npos; };
  if (has("paper out")) reasons.insert("media-empty-error");
  // A box that does not answer is as good as off line to whoever prints.
  if (has("offline") || has("not available")) reasons.insert("offline-report");
  return reasons;
}

PortWatch::PortWatch(const SpoolhostLink& link, SchedulerReport& report, std::string printer, std::string port)
    : link_(link), report_(report), printer_(std::move(printer)), port_(std::move(port)) {}

PortWatch::~PortWatch() { Stop(); }

void PortWatch::Start() { thread_ = std::thread([this] { Run(); }); }

void PortWatch::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PortWatch::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    lock.unlock();
    Poll();
    lock.lock();
    wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; });
  }
}

void PortWatch::Poll() {
  Answer a = link_.Ask({"printers"});
  if (a.status != 0) return;  // the job's own connection tells when the daemon is gone
  std::optional<std::string> status = PrinterStatusIn(a.out, printer_, port_);
  if (!status || *status == lastStatus_) return;
  lastStatus_ = *status;
  std::set<std::string> reasons = ReasonsOf(*status);
  report_.SetReasons(reasons);
  if (reasons.count("media-empty-error"))
    report_.Info("Port " + port_ + " is out of paper; the job waits until paper is back");
  else if (status->find("offline") != std::string::npos)
    report_.Info("Port " + port_ + " is off line; the job waits until it is on line");
  else if (status->find("not available") != std::string::npos)
    report_.Info("Port " + port_ + " does not answer; the job waits for its box");
}

}  // namespace varnhold
