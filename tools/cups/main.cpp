// varnhold: the CUPS backend that prints through spoolhost to the ports of
// the Varnhold print servers. Run without arguments it lists the ports
// (lpinfo -v); run with a job (job-id user title copies options [file],
// DEVICE_URI=varnhold://PORT, PRINTER=queue) it prints it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "backend_status.h"
#include "cups_text.h"
#include "discovery.h"
#include "print_job.h"
#include "spoolhost_link.h"
#include "unique_fd.h"

namespace {

using namespace varnhold;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? "" : value;
}

// The copies CUPS asks for, as many as spoolhost makes (999) at most; 1 for
// anything but a whole number.
int ParseCopies(const char* text) {
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 1) return 1;
  return n > 999 ? 999 : static_cast<int>(n);
}

int RunJob(int argc, char** argv, SchedulerReport& report) {
  // The job's file is opened as the user cupsd runs the backend as, before
  // the backend becomes spoolhost's owner.
  tools::UniqueFd file;
  JobOrder order;
  if (argc == 7) {
    file.Reset(::open(argv[6], O_RDONLY | O_CLOEXEC));
    if (!file.Valid()) {
      report.Error(std::string("cannot open the job's file: ") + std::strerror(errno));
      return kBackendFailed;
    }
    order.input = file.Get();
    order.copies = ParseCopies(argv[4]);
  }
  std::string uri = Env("DEVICE_URI");
  if (uri.empty()) uri = argv[0];
  std::optional<std::string> port = PortOfUri(uri);
  if (!port) {
    report.Error("not a device URI of this backend: " + uri + " (varnhold://PORT, as lpinfo -v lists them)");
    return kBackendStop;
  }
  order.port = *port;
  const std::string queue = Env("PRINTER");
  std::optional<std::string> printer = PrinterForQueue(queue);
  if (!printer) {
    report.Error(queue.empty() ? "no queue named in PRINTER" : "the queue's name is too long for a spoolhost printer");
    return kBackendStop;
  }
  order.printer = *printer;

  SpoolhostLink link;
  std::string error;
  switch (link.Open(StateFolderPath(), &error)) {
    case SpoolhostLink::Fault::NotRunning:
      // spoolhost may come up later: CUPS keeps the job and tries again.
      report.Error(error);
      report.SetReasons({"offline-report"});
      return kBackendRetry;
    case SpoolhostLink::Fault::Refused:
      report.Error(error);
      return kBackendStop;
    case SpoolhostLink::Fault::None:
      break;
  }
  report.Debug("printing through spoolhost in " + link.Path() + " as uid " + std::to_string(::geteuid()));

  // CUPS cancels a job (and stops one when it shuts down) with SIGTERM: the
  // spoolhost job is cancelled too, so the box's copy stops where it is and
  // a job stopped by a shutdown prints whole when CUPS starts it again.
  // Never freed: the signal thread may use it while the main thread ends.
  PrintJob& job = *new PrintJob(link, report, order);
  std::thread([&job] {
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    int sig = 0;
    if (sigwait(&term, &sig) != 0) return;
    job.Cancel();
    std::_Exit(kBackendOk);
  }).detach();
  return job.Run();
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  // SIGTERM is taken by one thread; every thread started later inherits the mask.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
  SchedulerReport report;
  if (argc == 1) return ListDevices(report);
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return kBackendFailed;
  }
  return RunJob(argc, argv, report);
}
