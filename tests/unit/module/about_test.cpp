// AddPort's message, the About dialog with its hidden internal-version
// message, and the help that the Configure dialog opens.
#include <gtest/gtest.h>

#include "dialog_fixture.h"

namespace {

using Strings = std::vector<std::string>;

class About : public dialogtest::DialogFixture {};

char kPort[] = "NPS_PORT1";

TEST_F(About, AddPortOnlyTellsTheUserThatPortsAreFoundOnTheNetwork) {
  HWND spooler = plat::CreateHostWindow("spooler");
  ListPort(kPort, AVAILABLE_LIST);
  char server[] = "\\\\SERVER", monitor[] = "TAVRO";
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(AddPort(server, spooler, monitor));
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  ASSERT_EQ(messages->Count(), 1u);
  const auto m = messages->Messages()[0].request;
  EXPECT_EQ(m.owner, nullptr);  // not the spooler's window
  EXPECT_EQ(m.text, "Print Server Ports are added automatically to the list with available ports.");
  EXPECT_EQ(m.caption, "Varnhold");
  EXPECT_EQ(m.type, static_cast<UINT>(MB_ICONINFORMATION | MB_SETFOREGROUND));
  EXPECT_EQ(porttest::Names(AVAILABLE_LIST), Strings{kPort});
  EXPECT_TRUE(porttest::Names(OPEN_LIST).empty());
  plat::DestroyHostWindow(spooler);
}

TEST_F(About, TheConfigureDialogOpensAboutAndItsInternalVersionMessage) {
  ListPort(kPort, AVAILABLE_LIST);
  HWND configure = nullptr;
  std::string screen;
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([&](plat::RunningDialog& d) { configure = d.Window(); })
                                 .Click(IDC_ABOUT)
                                 .Mnemonic('a')  // Alt+A reaches "&About" too
                                 .Click(IDCANCEL));
  driver->Add(IDD_ABOUT, plat::DialogScript()
                             .Snapshot(&screen)
                             .Do([&](plat::RunningDialog& d) { EXPECT_EQ(d.Owner(), configure); })
                             .Click(IDC_INTERNAL)    // hidden: no user reaches it
                             .Command(IDC_INTERNAL)  // but its command shows the message
                             .Click(IDOK));
  driver->Add(IDD_ABOUT, plat::DialogScript().Close());
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  EXPECT_EQ(driver->PendingScripts(), 0u);
  EXPECT_EQ(driver->UnplayedSteps(), 0u);
  EXPECT_EQ(screen,
            "\"About Varnhold\" [dialog 114, 144x97]\n"
            "  -     centred static text \"Varnhold\" at 35,30 76x8\n"
            "  -     centred static text \"Version 1.04\" at 32,42 80x8\n"
            "* 1     default push button \"OK\" at 54,72 36x14\n"
            "  1021  push button \"&Internal\" (hidden) at 9,6 10x11\n");
  ASSERT_EQ(messages->Count(), 1u);
  const auto m = messages->Messages()[0];
  EXPECT_EQ(m.ownerTemplate, IDD_ABOUT);
  EXPECT_EQ(m.request.text,
            "Varnhold TAVRO team, port monitor internal version 1.04\nWritten by the Varnhold TAVRO developers");
  EXPECT_EQ(m.request.caption, "Varnhold");
  EXPECT_EQ(m.request.type, static_cast<UINT>(MB_OK | MB_SETFOREGROUND));
}

TEST_F(About, OkEndsWithCodeOneAndTheCloseBoxClosesItToo) {
  driver->Add(IDD_ABOUT, plat::DialogScript().Enter());
  EXPECT_TRUE(RunAboutDialog(nullptr));
  driver->Add(IDD_ABOUT, plat::DialogScript().Close());
  EXPECT_TRUE(RunAboutDialog(nullptr));
  driver->Add(IDD_ABOUT, plat::DialogScript().Escape());
  EXPECT_TRUE(RunAboutDialog(nullptr));
  EXPECT_EQ(driver->Refusals(), 0);
  EXPECT_EQ(messages->Count(), 0u);
}

TEST_F(About, HelpOpensTheHelpFilesMainWindowAtContextFour) {
  ListPort(kPort, AVAILABLE_LIST);
  HWND configure = nullptr;
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([&](plat::RunningDialog& d) { configure = d.Window(); })
                                 .Click(IDC_HELP_BUTTON)
                                 .Click(IDCANCEL));
  EXPECT_TRUE(ConfigurePort(nullptr, nullptr, kPort));
  HWND spooler = plat::CreateHostWindow("spooler");
  EXPECT_TRUE(ShowHelp(spooler));
  auto requests = help->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].owner, configure);
  EXPECT_EQ(requests[1].owner, spooler);
  for (const auto& r : requests) {
    EXPECT_EQ(r.file, "TAVRO.HLP>(main2)");
    EXPECT_EQ(r.command, static_cast<UINT>(HELP_CONTEXT));
    EXPECT_EQ(r.data, 4u);
  }
  plat::DestroyHostWindow(spooler);
}

}  // namespace
