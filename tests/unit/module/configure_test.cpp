// ConfigurePort and the Configure dialog as a scripted user meets them:
// what it shows, what OK refuses and stores, and two dialogs at once.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "dialog_fixture.h"
#include "host/clock.h"
#include "host/heap.h"

namespace {

using dialogtest::Flags;
using Strings = std::vector<std::string>;

class Configure : public dialogtest::DialogFixture {};

char kPort[] = "NPS_PORT1";
const std::string kRangeMessage = "210: The timer interval must be between 16 and 999";

TEST_F(Configure, DialogShowsThePortsFlagsAndTheIntervalAsTheTemplateLaysThemOut) {
  ListPort(kPort, AVAILABLE_LIST, {1, 0, 1});
  std::string screen;
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Snapshot(&screen).Click(IDCANCEL));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(screen,
            "\"Configure Print Server Ports\" [dialog 210, 201x125] (foreground)\n"
            "* 1     default push button \"OK\" at 144,7 50x14\n"
            "  2     push button \"Cancel\" at 144,24 50x14\n"
            "  1007  auto check box \"&Off Line\" [x] at 15,22 56x10\n"
            "  1008  auto check box \"Out of &Paper\" [ ] at 15,33 61x14\n"
            "  1009  auto check box \"No &Response\" [x] at 15,49 69x10\n"
            "  -     group box \"Popup messages on\" at 7,7 96x60\n"
            "  -     group box \"Printer Status Update Timer\" at 7,73 187x45\n"
            "  -     static text \"Printer status will be updated every\" at 13,87 109x13\n"
            "  -     static text \"seconds\" at 161,87 27x8\n"
            "  1017  push button \"&About\" at 144,61 50x14\n"
            "  -     static text \"This value is used for all Print Server Ports\" at 13,102 152x8\n"
            "  1011  edit \"16\" (digits only, limit 3) at 126,85 17x14\n"
            "  1015  up-down \"Spin1\" (range 16..999, buddy 1011) at 142,86 8x14\n"
            "  1016  push button \"&Help\" at 144,42 50x14\n");
  EXPECT_TRUE(messages->Messages().empty());
}

TEST_F(Configure, AStoredTimerOfFiveIsShownAndOkIsRefusedUntilSixteen) {
  CreateRoot();
  SetConfiguredInterval(5000);  // as start-up leaves a stored "Timer" of 5
  PortRecord* record = ListPort(kPort, OPEN_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([](plat::RunningDialog& d) { EXPECT_EQ(d.Text(IDC_TIMER), "5"); })
                                 .Click(IDOK)
                                 .Do([](plat::RunningDialog& d) {
                                   EXPECT_FALSE(d.Ended());
                                   EXPECT_EQ(ReadShared(ConfigureCount), 1u);
                                   EXPECT_EQ(d.Text(IDC_TIMER), "5");  // the dialog keeps its contents
                                 })
                                 .Type(IDC_TIMER, "15")
                                 .Enter()
                                 .Clear(IDC_TIMER)
                                 .Click(IDOK)
                                 .Type(IDC_TIMER, "1x6")  // the letter never reaches the field
                                 .Check(IDC_NO_RESPONSE)
                                 .Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(Shown(), (Strings{kRangeMessage, kRangeMessage, kRangeMessage}));
  for (const auto& m : messages->Messages()) {
    EXPECT_EQ(m.request.caption, "Varnhold");
    EXPECT_EQ(m.request.type, static_cast<UINT>(MB_ICONINFORMATION | MB_SETFOREGROUND));
    EXPECT_NE(m.request.owner, nullptr);
  }
  EXPECT_EQ(driver->UnplayedSteps(), 0u);
  EXPECT_EQ(driver->Refusals(), 1);  // the "x"
  EXPECT_EQ(GetConfiguredInterval(), 16000u);
  EXPECT_EQ(ReadShared(RefreshInterval), 16000u);
  EXPECT_EQ(StoredTimer(), 16u);
  EXPECT_EQ(FlagsOf(record), (Flags{0, 0, 1}));
  EXPECT_EQ(StoredFlags(kPort), (Flags{0, 0, 1}));
}

TEST_F(Configure, ARefusedOkKeepsTheNewFlagsInMemoryAndCancelLeavesTheRegistryAlone) {
  CreateRoot();
  StorePortFlags(kPort, {1, 1, 0});
  PortRecord* record = ListPort(kPort, OPEN_LIST, {1, 1, 0});
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Uncheck(IDC_OFFLINE)
                                 .Check(IDC_NO_RESPONSE)
                                 .Type(IDC_TIMER, "9")
                                 .Click(IDOK)
                                 .Click(IDCANCEL));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(Shown(), Strings{kRangeMessage});
  EXPECT_EQ(FlagsOf(record), (Flags{0, 1, 1}));
  EXPECT_EQ(StoredFlags(kPort), (Flags{1, 1, 0}));
  EXPECT_EQ(GetConfiguredInterval(), 16000u);
  EXPECT_EQ(StoredTimer(), std::nullopt);
  // Cancel still hands the (unchanged) interval to the worker.
  EXPECT_EQ(ReadShared(RefreshInterval), 16000u);
}

TEST_F(Configure, APortInNeitherListGetsAnEmptyDialogAndOkStoresNothing) {
  CreateRoot();
  ListPort("OTHER", AVAILABLE_LIST, {1, 1, 1});
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([](plat::RunningDialog& d) {
                                   EXPECT_FALSE(d.IsChecked(IDC_OFFLINE));
                                   EXPECT_FALSE(d.IsChecked(IDC_OUT_OF_PAPER));
                                   EXPECT_FALSE(d.IsChecked(IDC_NO_RESPONSE));
                                   EXPECT_EQ(d.Text(IDC_TIMER), "");
                                   // The limits hold all the same.
                                   EXPECT_FALSE(d.Type(IDC_TIMER, "1234"));
                                   EXPECT_TRUE(d.Spin(IDC_TIMER_SPIN, 1));
                                   EXPECT_EQ(d.Text(IDC_TIMER), "124");
                                 })
                                 .Check(IDC_OFFLINE)
                                 .Type(IDC_TIMER, "40")
                                 .Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_TRUE(messages->Messages().empty());
  EXPECT_EQ(driver->UnplayedSteps(), 0u);
  EXPECT_EQ(GetConfiguredInterval(), 16000u);
  EXPECT_EQ(StoredTimer(), std::nullopt);
  EXPECT_EQ(StoredFlags(kPort), std::nullopt);
  EXPECT_EQ(FlagsOf(PortOf(FindPort("OTHER", AVAILABLE_LIST))), (Flags{1, 1, 1}));
}

TEST_F(Configure, OkCreatesThePortKeyWithThreeOneByteFlagsAndWritesTheTimer) {
  CreateRoot();
  PortRecord* record = ListPort(kPort, AVAILABLE_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Check(IDC_OFFLINE)
                                 .Check(IDC_OUT_OF_PAPER)
                                 .Spin(IDC_TIMER_SPIN, 14)  // 16 + 14
                                 .Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_TRUE(messages->Messages().empty());
  EXPECT_EQ(FlagsOf(record), (Flags{1, 1, 0}));
  EXPECT_EQ(StoredFlags(kPort), (Flags{1, 1, 0}));
  EXPECT_EQ(StoredTimer(), 30u);
  EXPECT_EQ(GetConfiguredInterval(), 30000u);
}

TEST_F(Configure, TimerIsWrittenOnlyWhenTheRootExists) {
  PortRecord* record = ListPort(kPort, AVAILABLE_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Check(IDC_OFFLINE).Type(IDC_TIMER, "20").Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(GetConfiguredInterval(), 20000u);
  EXPECT_EQ(StoredTimer(), std::nullopt);  // the port key's path made the root, but no Timer in it
  EXPECT_EQ(StoredFlags(kPort), (Flags{1, 0, 0}));
  EXPECT_EQ(FlagsOf(record), (Flags{1, 0, 0}));
}

TEST_F(Configure, ANewIntervalReachesTheWorkerOnlyAfterTheDialogAndItsCurrentSleep) {
  plat::UseManualClock();
  ListPort(kPort, AVAILABLE_LIST);
  // The status worker's rhythm: sleep RefreshInterval, look again.
  std::vector<DWORD> sleeps;
  std::thread worker([&] {
    for (int i = 0; i < 2; ++i) {
      DWORD ms = ReadShared(RefreshInterval);
      sleeps.push_back(ms);
      Sleep(ms);
    }
  });
  ASSERT_TRUE(plat::WaitForSleepers(1));
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Type(IDC_TIMER, "45").Click(IDOK));
  EXPECT_TRUE(RunConfigureDialog(nullptr, kPort));
  EXPECT_EQ(GetConfiguredInterval(), 45000u);
  EXPECT_EQ(ReadShared(RefreshInterval), 16000u) << "the dialog alone does not reach the worker";
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Click(IDCANCEL));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(ReadShared(RefreshInterval), 45000u);
  plat::AdvanceClock(16000);  // the sleep under way keeps its length
  ASSERT_TRUE(plat::WaitForSleepers(1));
  plat::AdvanceClock(45000);
  worker.join();
  EXPECT_EQ(sleeps, (std::vector<DWORD>{16000, 45000}));
}

TEST_F(Configure, ASecondDialogFromAnotherThreadIsTurnedAwayWithMessage521) {
  CreateRoot();
  PortRecord* record = ListPort(kPort, OPEN_LIST);
  char otherPort[] = "NPS_PORT2";
  ListPort(otherPort, AVAILABLE_LIST);
  std::promise<void> open, turnedAway;
  std::shared_future<void> released = turnedAway.get_future().share();
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Check(IDC_OFFLINE)
                                 .Do([&](plat::RunningDialog&) {
                                   open.set_value();
                                   released.wait();
                                 })
                                 .Type(IDC_TIMER, "60")
                                 .Click(IDOK));
  std::thread first([&] { EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort)); });
  open.get_future().wait();
  SetConfiguredInterval(17000);
  // The second dialog ends at once, yet still hands the interval to the worker.
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, otherPort));
  EXPECT_EQ(ReadShared(RefreshInterval), 17000u);
  EXPECT_EQ(ReadShared(ConfigureCount), 1u);
  ASSERT_EQ(messages->Count(), 1u);
  auto shown = messages->Messages()[0];
  EXPECT_EQ(shown.ownerTemplate, IDD_CONFIGURE);
  EXPECT_EQ(shown.request.text, "You can not configure more than one port at a time");
  EXPECT_EQ(shown.request.caption, "Varnhold");
  EXPECT_EQ(shown.request.type, static_cast<UINT>(MB_ICONINFORMATION | MB_SETFOREGROUND));
  turnedAway.set_value();
  first.join();
  // The first dialog went on unaffected.
  EXPECT_EQ(FlagsOf(record), (Flags{1, 0, 0}));
  EXPECT_EQ(StoredFlags(kPort), (Flags{1, 0, 0}));
  EXPECT_EQ(StoredTimer(), 60u);
  EXPECT_EQ(ReadShared(RefreshInterval), 60000u);
  EXPECT_EQ(StoredFlags(otherPort), std::nullopt);
  EXPECT_EQ(ReadShared(ConfigureCount), 0u);
}

TEST_F(Configure, OkWithoutItsPathBufferSaysSoAndKeepsTheDialogOpenWithNothingChanged) {
  CreateRoot();
  PortRecord* record = ListPort(kPort, AVAILABLE_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Check(IDC_OFFLINE)
                                 .Type(IDC_TIMER, "20")
                                 .Do([](plat::RunningDialog&) { plat::FailNthAllocation(1); })
                                 .Click(IDOK)
                                 .Do([&](plat::RunningDialog& d) {
                                   EXPECT_FALSE(d.Ended());
                                   EXPECT_EQ(ReadShared(ConfigureCount), 1u);
                                   EXPECT_EQ(FlagsOf(record), (Flags{0, 0, 0}));
                                   EXPECT_EQ(GetConfiguredInterval(), 16000u);
                                 })
                                 .Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(Shown(), Strings{"210: There is not sufficient memory for Varnhold"});
  EXPECT_EQ(FlagsOf(record), (Flags{1, 0, 0}));
  EXPECT_EQ(StoredFlags(kPort), (Flags{1, 0, 0}));
  EXPECT_EQ(StoredTimer(), 20u);
}

TEST_F(Configure, SettingsThatCannotBeStoredAreRefusedWithTheDialogOpenAndMemoryAsItWas) {
  CreateRoot();
  // A port key path one byte longer than its block, and a key the registry
  // cannot make.
  std::string tooLong(MAX_PATH - std::strlen(dialogtest::kRoot) - 1, 'N');
  for (std::string name : {tooLong, std::string("BAD\\\\KEY")}) {
    PortRecord* record = ListPort(name.c_str(), AVAILABLE_LIST, {0, 1, 0});
    driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                   .Check(IDC_OFFLINE)
                                   .Type(IDC_TIMER, "20")
                                   .Click(IDOK)
                                   .Do([&](plat::RunningDialog& d) {
                                     EXPECT_FALSE(d.Ended()) << name;
                                     EXPECT_EQ(ReadShared(ConfigureCount), 1u);
                                     EXPECT_EQ(FlagsOf(record), (Flags{0, 1, 0}));
                                     EXPECT_EQ(GetConfiguredInterval(), 16000u);
                                   })
                                   .Click(IDCANCEL));
    EXPECT_TRUE(ConfigurePort(nullptr, nullptr, name.data()));
    ASSERT_FALSE(Shown().empty());
    EXPECT_EQ(Shown().back(), "210: Varnhold could not store the settings; they stay as they were");
    EXPECT_EQ(StoredTimer(), std::nullopt);
    EXPECT_EQ(StoredFlags(name.c_str()), std::nullopt);
  }
  // One byte shorter fits.
  std::string fits(tooLong.size() - 1, 'F');
  ListPort(fits.c_str(), AVAILABLE_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Check(IDC_OFFLINE).Type(IDC_TIMER, "20").Click(IDOK));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, fits.data()));
  EXPECT_EQ(StoredFlags(fits.c_str()), (Flags{1, 0, 0}));
}

TEST_F(Configure, TheCloseBoxCancelsAndTheDialogRunsOwnedByTheSpoolersWindow) {
  HWND spooler = plat::CreateHostWindow("spooler");
  PortRecord* record = ListPort(kPort, AVAILABLE_LIST);
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([&](plat::RunningDialog& d) { EXPECT_EQ(d.Owner(), spooler); })
                                 .Check(IDC_OFFLINE)
                                 .Close());
  EXPECT_TRUE(ConfigurePort(nullptr, spooler, kPort));
  EXPECT_EQ(FlagsOf(record), (Flags{0, 0, 0}));
  EXPECT_EQ(StoredFlags(kPort), std::nullopt);
  plat::DestroyHostWindow(spooler);
  // A window that is gone cannot own the dialog: it is not shown at all.
  EXPECT_FALSE(ConfigurePort(nullptr, spooler, kPort));
  EXPECT_EQ(ReadShared(ConfigureCount), 0u);
}

}  // namespace
