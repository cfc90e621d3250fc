// TAVRO.so through the loader: its exports, two loads in a row, and unloading
// while its threads discover, mirror status, hold a job or show a popup.
#include "module_host.h"

namespace {

using module_host::kPrintersKey;
using module_host::kRootKey;
using module_host::Import;
using module_host::ModuleHost;

using Module = ModuleHost;

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A remembered port with printer "Laser" and the given popup flags.
void RememberPort(const char* port, const char* flags) {
  Import(std::string(kRootKey) + "\\" + port + "]\n" + flags + "\n" + kRootKey + "\\" + port +
                     "\\Laser]\n\n" + kPrintersKey + "Laser]\n\"Port\"=\"" + port + "\"\n");
}

TEST_F(Module, ExportsItsEntryPointsAndResources) {
  Load();
  EXPECT_NE(GetProcAddress(module_, "InitializeMonitorEx"), nullptr);
  EXPECT_NE(GetProcAddress(module_, "DllMain"), nullptr);
  EXPECT_NE(GetProcAddress(module_, "TavroResourceTable"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "InitMonitor"), nullptr);
  EXPECT_EQ(GetProcAddress(module_, "StopFlag"), nullptr);
  char caption[32];
  EXPECT_GT(LoadStringA(module_, 515, caption, sizeof caption), 0);
  EXPECT_STREQ(caption, "Varnhold");
  EXPECT_EQ(Unload(), 0u);  // never started: nothing to wait for
  EXPECT_FALSE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
}

TEST_F(Module, LoadedTwiceInARowStartsAfreshEachTime) {
  RememberPort("P1", "\"NoResponse\"=hex:00");
  Import(std::string(kRootKey) + "]\n\"Timer\"=dword:00000001\n");
  printers_->AddPrinter("Laser", 0);
  for (int load = 1; load <= 2; ++load) {
    SCOPED_TRACE("load " + std::to_string(load));
    Load();
    std::string log = ReadFile("TAVRO.log");
    EXPECT_NE(FirstLine(log).find("Initialize Print Monitor Log File"), std::string::npos) << log;
    EXPECT_EQ(log.find("InitMonitor"), std::string::npos);  // the previous load's lines went to the backup
    if (load == 2) {
      std::string backup = ReadFile("TAVRO.bak");
      EXPECT_NE(FirstLine(backup).find("Initialize Print Monitor Log File"), std::string::npos);
      EXPECT_NE(backup.find("InitMonitor nw.bLanaNum: 00"), std::string::npos) << backup;
    }
    MONITOR table{};
    ASSERT_TRUE(Start(&table));
    // A fresh StopFlag: the worker runs and marks the silent port's printer.
    RunFor(1000);
    EXPECT_EQ(printers_->Status("Laser"), static_cast<std::uint32_t>(PRINTER_STATUS_NOT_AVAILABLE));
    printers_->SetPrinterStatus("Laser", 0);
    std::uint64_t elapsed = Unload();
    EXPECT_GE(elapsed, 8000u);
    EXPECT_LT(elapsed, 11500u);
    EXPECT_FALSE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
    EXPECT_EQ(plat::LiveThreadCount(), 0);
  }
}

TEST_F(Module, UnloadTakesAboutEightSecondsWhenEveryThreadEndsAtOnce) {
  // No NetBEUI value in the map: only the status worker runs, at 1 s.
  Import("[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Rpc\\Netbios]\n\n"
         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Rpc\\Netbios]\n\"ncacn_ip_tcp\"=\"0\"\n\n" +
         std::string(kRootKey) + "]\n\"Timer\"=dword:00000001\n");
  Load();
  MONITOR table{};
  ASSERT_TRUE(Start(&table));
  RunFor(2000);
  std::uint64_t elapsed = Unload();
  EXPECT_GE(elapsed, 8000u);
  EXPECT_LT(elapsed, 8500u);
  EXPECT_FALSE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
}

TEST_F(Module, UnloadDuringDiscoveryAndStatusCycles) {
  Import(std::string(kRootKey) + "]\n\"Timer\"=dword:00000001\n");
  StartBox({{"P1", 0x10}, {"P2", 0x13}});
  Load();
  MONITOR table{};
  ASSERT_TRUE(Start(&table));
  RunFor(2500);
  EXPECT_GE(box_->Stats().pingsHeard, 1u);
  // The ports were found: they are offered to the spooler.
  DWORD needed = 0;
  DWORD returned = 0;
  std::vector<BYTE> buffer(4096);
  ASSERT_TRUE(table.pfnEnumPorts(nullptr, 1, buffer.data(), static_cast<DWORD>(buffer.size()), &needed, &returned));
  EXPECT_EQ(returned, 2u);
  std::uint64_t elapsed = Unload();
  EXPECT_GE(elapsed, 8000u);
  EXPECT_LT(elapsed, 9000u);  // the grace, then one pass
  EXPECT_FALSE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
}

TEST_F(Module, UnloadWhileAJobWaitsForItsPrinter) {
  Import(std::string(kRootKey) + "]\n\"Timer\"=dword:00000001\n");
  StartBox({{"P1", 0x12}});  // off line: the job waits
  printers_->AddPrinter("Laser");
  Load();
  MONITOR table{};
  ASSERT_TRUE(Start(&table));
  RunFor(2500);
  HANDLE port = nullptr;
  ASSERT_TRUE(table.pfnOpenPort(const_cast<LPSTR>("P1"), &port));
  auto job = std::async(std::launch::async, [&table, port] {
    return table.pfnStartDocPort(port, const_cast<LPSTR>("Laser"), 1, 1, nullptr);
  });
  RunFor(4000, /*awake=*/-1);  // the job sleeps between its looks
  ASSERT_EQ(job.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

  HMODULE module = module_;
  module_ = nullptr;
  auto unload = std::async(std::launch::async, [module] { return FreeLibrary(module); });
  // The job gives up once the module stops, well before the unload ends.
  AdvanceUntil(job, /*callerSleeps=*/true, /*awake=*/-1);
  EXPECT_FALSE(job.get());
  std::uint64_t rest = AdvanceUntil(unload, /*callerSleeps=*/true);
  EXPECT_TRUE(unload.get());
  EXPECT_GT(rest, 0u);
  EXPECT_FALSE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
}

// The popup waits for the user on a thread of its own: the unload goes on as
// when no box is open, and the box outlives it.
TEST_F(Module, UnloadWithAPopupOpenCompletesAsWithoutIt) {
  Import(std::string(kRootKey) + "]\n\"Timer\"=dword:00000001\n");
  RememberPort("P1", "\"Offline\"=hex:01\n\"OutOfPaper\"=hex:01\n\"NoResponse\"=hex:01");
  StartBox({{"P1", 0x13}});  // out of paper: the job waits, the box asks the user
  printers_->AddPrinter("Laser");
  Load();
  MONITOR table{};
  ASSERT_TRUE(Start(&table));
  RunFor(3000);  // the box's report has reached the port
  HANDLE port = nullptr;
  ASSERT_TRUE(table.pfnOpenPort(const_cast<LPSTR>("P1"), &port));
  presenter_->Hold();
  auto job = std::async(std::launch::async, [&table, port] {
    return table.pfnStartDocPort(port, const_cast<LPSTR>("Laser"), 1, 1, nullptr);
  });
  auto popupOpen = [&] { return presenter_->Open() > 0; };
  for (int i = 0; i < 300 && !popupOpen(); ++i) {
    Settle(false, /*awake=*/-1, popupOpen);  // the job sleeps between its looks
    if (!popupOpen()) plat::AdvanceClock(kStepMs);
  }
  ASSERT_TRUE(popupOpen());
  EXPECT_EQ(presenter_->Texts().back(), "Your printer Laser is Out Of Paper!");

  HMODULE module = module_;
  module_ = nullptr;
  plat::SetUnloadGrace(std::chrono::milliseconds(50));
  const std::uint64_t start = plat::ClockNowMs();
  auto unload = std::async(std::launch::async, [module] { return FreeLibrary(module); });
  // The box's thread stays awake while the job sleeps between looks.
  AdvanceUntil(job, /*callerSleeps=*/true, /*awake=*/0);
  EXPECT_FALSE(job.get());
  AdvanceUntil(unload, /*callerSleeps=*/true, /*awake=*/1);
  std::uint64_t elapsed = plat::ClockNowMs() - start;
  EXPECT_TRUE(unload.get());
  EXPECT_GE(elapsed, 8000u);
  EXPECT_LT(elapsed, 11500u);
  // The box's thread runs the module's code: the module pinned itself for it.
  EXPECT_TRUE(plat::IsModuleMapped(TAVRO_MODULE_PATH));
  EXPECT_TRUE(plat::IsModulePinned(TAVRO_MODULE_PATH));
  EXPECT_NE(ReadFile("TAVRO.log").find("ShutdownMonitor a popup still open, module pinned"),
            std::string::npos);

  presenter_->Release();
  auto ended = std::async(std::launch::async, [] { return plat::WaitForAllThreads(); });
  AdvanceUntil(ended, /*callerSleeps=*/false);
  EXPECT_TRUE(ended.get());
}

}  // namespace
