// printbox: the emulated print-server box as a command (serve, start, stop,
// status, set-status), controlled over a Unix socket in its state directory.
#include <malloc.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "daemon_client.h"
#include "daemon_start.h"
#include "exit_codes.h"
#include "serve.h"

namespace printbox {
namespace {

using tools::Frame;
using tools::kExitFailed;
using tools::kExitNotRunning;
using tools::kExitOk;
using tools::kExitUsage;

// Jobs pass through in large blocks, and faulting fresh pages in costs more
// than copying into them: freed memory stays in the process for the next job
// (blocks up to 32 MiB come from the heap, which is not trimmed below 512 MiB).
void KeepFreedMemory() {
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
}

int Fail(int status, const std::string& line) {
  std::fprintf(stderr, "printbox: %s\n", line.c_str());
  return status;
}

// Runs `serve` with the same command line in the background and reports
// how its start-up went.
int Start(const Options& o, char** argv, int argc) {
  ::mkdir(o.state.c_str(), 0700);
  auto argvFor = [argv, argc](int readyFd) {
    std::vector<std::string> words(argv, argv + argc);
    for (std::string& w : words)
      if (w == "start") {
        w = "serve";
        break;
      }
    words.push_back("--ready-fd=" + std::to_string(readyFd));
    return words;
  };
  tools::StartReport report;
  std::string error;
  if (!tools::StartDetached(argvFor, o.LogPath(), &report, &error)) return Fail(kExitFailed, error);
  if (report.ok) {
    std::printf("printbox %s started (%s)\n", o.BoxesName().c_str(), report.ok->c_str());
    return kExitOk;
  }
  if (report.failed) return Fail(kExitFailed, *report.failed);
  return Fail(kExitFailed, "the box died while starting (log: " + o.LogPath() + ")");
}

// Asks the running box to do the verb.
int Ask(const Options& o) {
  std::string error;
  std::optional<tools::DaemonConnection> box = tools::DaemonConnection::Connect(o.SocketPath(), &error);
  if (!box) return Fail(kExitNotRunning, "no printbox runs in " + o.state + " (start one: printbox start ...)");
  std::vector<std::string> words{o.verb};
  words.insert(words.end(), o.args.begin(), o.args.end());
  box->SendRequest(words);
  int status = kExitFailed;
  while (auto m = box->Receive()) {
    if (m->type == Frame::Out) std::fputs(m->payload.c_str(), stdout);
    if (m->type == Frame::Err) std::fprintf(stderr, "printbox: %s\n", m->payload.c_str());
    if (m->type == Frame::Exit) status = tools::ExitStatusOf(*m);
  }
  return status;
}

}  // namespace
}  // namespace printbox

int main(int argc, char** argv) {
  using namespace printbox;
  ::signal(SIGPIPE, SIG_IGN);
  std::string error;
  bool help = false;
  std::optional<Options> o = ParseCommandLine(argc, argv, &error, &help);
  if (help) {
    std::fputs(kUsageText, stdout);
    return kExitOk;
  }
  if (!o) return Fail(kExitUsage, error);
  if (o->verb == "serve" || o->verb == "start") {
    KeepFreedMemory();
    // Refuse at once what the box could not run with, before going to the background.
    if (!BoxSetFor(*o, &error)) return Fail(kExitUsage, error);
    if (o->ports.empty()) return Fail(kExitUsage, "the box needs at least one --port NAME[=STATE]");
    return o->verb == "serve" ? Serve(*o) : Start(*o, argv, argc);
  }
  return Ask(*o);
}
