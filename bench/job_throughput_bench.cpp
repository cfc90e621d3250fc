// Job throughput: bytes per second from WritePort to the print box's rebuilt
// job, on the in-process segment and over NetBIOS over TCP/IP between two
// adapters of this process on loopback, beside plain memcpy; all on
// wall-clock time, since the job's time is spent on several threads.
//
// The memcpy baseline copies a buffer larger than the caches (64 MiB), as a
// job's bytes pass through memory: a copy within the caches runs several
// times faster and swings with whatever else the machine runs. With
// --benchmark_repetitions the ratio is taken between the medians.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/module_state.h"
#include "diag/messages.h"
#include "host/clock.h"
#include "host/nbt.h"
#include "host/netbios.h"
#include "host/registry.h"
#include "host/resources.h"
#include "netbios/ncb.h"
#include "ports/port_lists.h"
#include "ports/printer_list.h"
#include "print_box.h"
#include "spool/port_operations.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace {

const UCHAR kModuleLana = 0;
const UCHAR kBoxLana = 1;
const char kLocalName[] = "OV_020000000001";
const char kPort[] = "BENCHPORT";
const size_t kJobBytes = 1 << 20;
const size_t kWriteBytes = 1 << 16;  // what a spooler hands over per write

std::vector<BYTE> JobData() {
  std::vector<BYTE> data(kJobBytes);
  std::mt19937 random(7);
  for (auto& b : data) b = static_cast<BYTE>(random());
  return data;
}

// The module's state for one open port on the in-process segment, and the
// box that prints its jobs.
class Rig {
 public:
  Rig(bool keepJobs, bool nbt) {
    // Over nbt a call can come before the box listens again after its last
    // session; StartDocPort then calls again after 3 seconds of module time,
    // which a fast clock makes short (a manual one would never get there).
    if (nbt)
      plat::UseScaledClock(1000);
    else
      plat::UseManualClock();
    plat::ResetRegistry();
    plat::ResetNetbios();
    static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);
    ModuleInstance = instance;
    CreateListLocks();
    InitLists();
    LoadMessage(IDS_TITLE, MessageTitle);
    RegistryRoot = static_cast<LPSTR>(LocalAlloc(LPTR, MAX_PATH));
    strcpy(RegistryRoot, "System\\CurrentControlSet\\Control\\Print\\Monitors\\Varnhold");
    if (nbt) {
      ok = AddNbtAdapter(kModuleLana, "127.0.0.14", true) && AddNbtAdapter(kBoxLana, "127.0.0.15", false);
      if (!ok) return;
    } else {
      plat::AddNetbiosAdapter({kModuleLana, "bench", {2, 0, 0, 0, 0, 1}});
      plat::AddNetbiosAdapter({kBoxLana, "bench", {2, 0, 0, 0, 0, 2}, plat::NetbiosTransportKind::Loop, false});
    }
    NetbiosReset(kModuleLana);
    UCHAR number = 0;
    NetbiosAddName(kModuleLana, kLocalName, 0, &number);

    printbox::BoxConfig config;
    config.lana = kBoxLana;
    config.ports = {{kPort, printbox::kStatusReady}};
    config.keepJobsInMemory = keepJobs;
    box = std::make_unique<printbox::Box>(config);
    ok = box->Start() == NRC_GOODRET;

    ListNode* node = NewPortNode();
    port = PortOf(node);
    port->pPortName = NewNameBlock(kPort);
    port->pCName = NewNameBlock(kPort);
    port->bLanaNum = kModuleLana;
    strcpy(port->szLocalName, kLocalName);
    port->Entry.bStatus = STATUS_READY;
    port->dwListed = 1;
    CreatePrinterList(port);
    ListLock open(&OpenLock);
    InsertPort(node, OPEN_LIST);
  }

  ~Rig() {
    if (box) box->Stop();
    box.reset();
    plat::ResetNetbios();
    for (ListNode* p = FirstPort(OPEN_LIST); p != nullptr; p = ListNext(p)) FreePrinterList(PortOf(p));
    while (ListNode* p = FirstPort(OPEN_LIST)) FreePortNode(p);
    FreeLists();
    DeleteListLocks();
    LocalFree(RegistryRoot);
    RegistryRoot = nullptr;
  }

  // Opens the job's session: once the box listens again after its previous
  // session, StartDocPort calls it at once.
  bool Start() {
    if (!plat::WaitForQuiet(2)) return false;
    printed_ = box->Stats().completeJobs;
    char printer[] = "Bench Printer";
    return StartDocPort(port, printer, 1, 1, nullptr);
  }

  // The job's bytes in spooler-sized writes, its end, and the box's rebuilt
  // job.
  bool Print(const std::vector<BYTE>& data) {
    for (size_t offset = 0; offset < data.size(); offset += kWriteBytes) {
      DWORD written = 0;
      DWORD size = (DWORD)std::min(kWriteBytes, data.size() - offset);
      if (!WritePort(port, const_cast<BYTE*>(data.data() + offset), size, &written) || written != size) return false;
    }
    if (!EndDocPort(port)) return false;
    return box->WaitForCompleteJobs(printed_ + 1);
  }

  // Ports from the process id, as the transport's tests choose theirs, so that
  // runs beside the tests do not hear their broadcasts.
  static bool AddNbtAdapter(UCHAR lana, const std::string& address, bool listed) {
    int base = 24000 + (getpid() % 8000) * 5;
    std::string text = "nbt:" + address + "/8,ports=" + std::to_string(base) + ":" + std::to_string(base + 1) + ":" +
                       std::to_string(base + 2) + ",lana=" + std::to_string(lana);
    plat::NetSpec spec;
    std::string error;
    if (!plat::ParseNetSpec(text, &spec, &error)) return false;
    spec.adapter.inAdapterMap = listed;
    return plat::AddNetAdapter(spec);
  }

  bool ok = false;
  PortRecord* port = nullptr;
  std::unique_ptr<printbox::Box> box;

 private:
  size_t printed_ = 0;
};

const size_t kMemcpyBytes = 64 << 20;

void BM_Memcpy(benchmark::State& state) {
  std::vector<BYTE> data(kMemcpyBytes, 1);
  std::vector<BYTE> copy(data.size(), 2);
  for (auto _ : state) {
    memcpy(copy.data(), data.data(), data.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)data.size());
}

void BM_WritePortToBox(benchmark::State& state, bool nbt) {
  std::vector<BYTE> data = JobData();
  {
    // Once, before timing: the box rebuilds the job byte for byte.
    Rig check(true, nbt);
    if (!check.ok || !check.Start() || !check.Print(data) || check.box->Jobs().at(0).data != data) {
      state.SkipWithError("the box did not rebuild the job");
      return;
    }
  }
  Rig rig(false, nbt);
  if (!rig.ok) {
    state.SkipWithError("the box did not start");
    return;
  }
  for (auto _ : state) {
    // Timed: from the first WritePort to the box's rebuilt job.
    state.PauseTiming();
    bool started = rig.Start();
    state.ResumeTiming();
    if (!started || !rig.Print(data)) {
      state.SkipWithError("a job failed");
      break;
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)data.size());
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_WritePortToBox, loop, false)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_WritePortToBox, nbt, true)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps each benchmark's byte rate for the ratio printed at the end: the
// median of its repetitions when there are several (the other aggregates,
// mean, spread and coefficient, are no rates to compare), else its one run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end() || run.error_occurred) continue;
      const std::string& name = run.run_name.function_name;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        rates[name] = it->second.value;
        fromMedian.insert(name);
      } else if (!fromMedian.count(name)) {
        rates[name] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
  std::set<std::string> fromMedian;
};

}  // namespace

int main(int argc, char** argv) {
  // The box rebuilds each job in a fresh megabyte and frees it again; keep
  // freed pages in the process so that the measurement is the job's path and
  // not the kernel faulting the same pages in for every job.
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  auto copy = reporter.rates.find("BM_Memcpy");
  if (copy == reporter.rates.end() || copy->second <= 0) return 0;
  for (const char* transport : {"loop", "nbt"}) {
    auto job = reporter.rates.find(std::string("BM_WritePortToBox/") + transport);
    if (job == reporter.rates.end()) continue;
    std::printf("WritePort to rebuilt job (%s): %.1f MB/s; memcpy of 64 MiB: %.1f MB/s; ratio %.3f%s%s\n", transport,
                job->second / 1e6, copy->second / 1e6, job->second / copy->second,
                std::string(transport) == "loop" ? " (aim >= 0.100)" : "",
                reporter.fromMedian.count(job->first) ? " (medians)" : "");
  }
  return 0;
}
