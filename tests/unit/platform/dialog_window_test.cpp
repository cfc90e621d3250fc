// The dialog stand-in: DialogBoxParamA with a driver playing the user, the
// controls as a user meets them, owners, message boxes and help.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>
#include <thread>

#include "base/resource.h"
#include "host/dialog.h"
#include "host/dialog_script.h"
#include "host/dialog_terminal.h"
#include "host/resources.h"
#include "platform.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace {

HINSTANCE Instance() {
  static HINSTANCE instance = plat::MakeModuleInstance(&TavroResourceTable);
  return instance;
}

// What a test's dialog procedure saw.
struct Seen {
  std::atomic<LPARAM> initParam{0};
  std::atomic<int> commands{0};
  std::atomic<int> closes{0};
  std::atomic<int> lastCommand{0};
};
Seen g_seen;

// Ends on OK (code 7) and Cancel (code 8); sets the edit's limit and the
// up-down's range as the Configure dialog does.
INT_PTR CALLBACK TestProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      g_seen.initParam = lParam;
      SendDlgItemMessageA(hDlg, IDC_TIMER_SPIN, UDM_SETRANGE, 0, MAKELPARAM(999, 16));
      SendDlgItemMessageA(hDlg, IDC_TIMER, EM_LIMITTEXT, 3, 0);
      return TRUE;
    case WM_CLOSE:
      ++g_seen.closes;
      return FALSE;
    case WM_COMMAND:
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      ++g_seen.commands;
      g_seen.lastCommand = LOWORD(wParam);
      if (LOWORD(wParam) == IDOK) EndDialog(hDlg, 7);
      if (LOWORD(wParam) == IDCANCEL) EndDialog(hDlg, 8);
      return TRUE;
  }
  return FALSE;
}

// Never ends by itself.
INT_PTR CALLBACK StubbornProc(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.initParam = 0;
    g_seen.commands = 0;
    g_seen.closes = 0;
    g_seen.lastCommand = 0;
    plat::SetDialogDriver(driver);
    plat::SetMessagePresenter(messages);
  }
  void TearDown() override {
    plat::SetDialogDriver(nullptr);
    plat::SetMessagePresenter(nullptr);
    plat::SetHelpSink(nullptr);
  }
  INT_PTR Run(DLGPROC proc = TestProc, HWND owner = nullptr, int id = IDD_CONFIGURE) {
    return DialogBoxParamA(Instance(), MAKEINTRESOURCEA(id), owner, proc, 1234);
  }
  std::shared_ptr<plat::ScriptedDriver> driver = std::make_shared<plat::ScriptedDriver>();
  std::shared_ptr<plat::MessageRecorder> messages = std::make_shared<plat::MessageRecorder>();
};

TEST_F(DialogTest, ClickingAButtonSendsItsIdAndEndDialogGivesTheCode) {
  HWND window = nullptr, control = nullptr;
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([&](plat::RunningDialog& d) {
                                   window = d.Window();
                                   control = GetDlgItem(window, IDC_TIMER);
                                   EXPECT_TRUE(IsWindow(window));
                                   EXPECT_TRUE(IsWindow(control));
                                   EXPECT_EQ(plat::DialogTemplateOf(window), IDD_CONFIGURE);
                                   EXPECT_EQ(plat::RunningDialogCount(), 1);
                                 })
                                 .Click(IDC_ABOUT)
                                 .Click(IDOK)
                                 .Click(IDCANCEL));
  EXPECT_EQ(Run(), 7);
  EXPECT_EQ(g_seen.initParam.load(), 1234);
  EXPECT_EQ(g_seen.commands.load(), 2);
  EXPECT_EQ(driver->UnplayedSteps(), 1u);  // the Cancel after OK never happened
  // Handles die with the dialog and are not reused.
  EXPECT_FALSE(IsWindow(window));
  EXPECT_FALSE(IsWindow(control));
  EXPECT_EQ(plat::DialogTemplateOf(window), -1);
  EXPECT_EQ(plat::RunningDialogCount(), 0);
}

TEST_F(DialogTest, DigitsOnlyEditRefusesLettersAndCutsAtItsLimit) {
  driver->Add(IDD_CONFIGURE,
              plat::DialogScript().Do([](plat::RunningDialog& d) {
                EXPECT_FALSE(d.Type(IDC_TIMER, "1a2"));  // the letter is refused, the digits stay
                EXPECT_EQ(d.Text(IDC_TIMER), "12");
                EXPECT_FALSE(d.Type(IDC_TIMER, "12345"));
                EXPECT_EQ(d.Text(IDC_TIMER), "123");
                EXPECT_TRUE(d.Type(IDC_TIMER, "016"));
                BOOL ok = FALSE;
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 16u);
                EXPECT_TRUE(ok);
                EXPECT_TRUE(d.Clear(IDC_TIMER));
                ok = TRUE;
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 0u);
                EXPECT_FALSE(ok);
                // The program is not a typing user: its text passes both rules.
                SetDlgItemTextA(d.Window(), IDC_TIMER, "12x4");
                EXPECT_EQ(d.Text(IDC_TIMER), "12x4");
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 0u);
                SetDlgItemTextA(d.Window(), IDC_TIMER, " 42 ");
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 42u);
                SetDlgItemTextA(d.Window(), IDC_TIMER, "-5");
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 0u);
                EXPECT_EQ(static_cast<int>(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, TRUE)), -5);
                SetDlgItemTextA(d.Window(), IDC_TIMER, "4294967296");
                EXPECT_EQ(GetDlgItemInt(d.Window(), IDC_TIMER, &ok, FALSE), 0u);
                EXPECT_FALSE(ok);
                SetDlgItemInt(d.Window(), IDC_TIMER, 4294967295u, FALSE);
                EXPECT_EQ(d.Text(IDC_TIMER), "4294967295");
                // Static texts and group boxes take no typing, check boxes no text.
                EXPECT_FALSE(d.Type(IDC_OFFLINE, "1"));
              }));
  EXPECT_EQ(Run(), 8);  // the script ran out: closed through the close box
  EXPECT_EQ(g_seen.closes.load(), 1);
  EXPECT_EQ(g_seen.lastCommand.load(), IDCANCEL);
}

TEST_F(DialogTest, UpDownStepsItsBuddyWithinItsRange) {
  driver->Add(IDD_CONFIGURE, plat::DialogScript().Do([](plat::RunningDialog& d) {
    HWND w = d.Window();
    EXPECT_EQ(SendDlgItemMessageA(w, IDC_TIMER_SPIN, UDM_GETRANGE, 0, 0), MAKELONG(999, 16));
    SetDlgItemInt(w, IDC_TIMER, 5, FALSE);
    EXPECT_TRUE(d.Spin(IDC_TIMER_SPIN, 1));  // 5 is out of range: the arrow goes to the bottom
    EXPECT_EQ(d.Text(IDC_TIMER), "16");
    EXPECT_TRUE(d.Spin(IDC_TIMER_SPIN, -3));
    EXPECT_EQ(d.Text(IDC_TIMER), "16");
    EXPECT_TRUE(d.Spin(IDC_TIMER_SPIN, 2));
    EXPECT_EQ(d.Text(IDC_TIMER), "18");
    EXPECT_TRUE(d.Type(IDC_TIMER, "998"));
    EXPECT_TRUE(d.Spin(IDC_TIMER_SPIN, 5));
    EXPECT_EQ(d.Text(IDC_TIMER), "999");  // no thousands separator, no wrap
    EXPECT_EQ(LOWORD(SendDlgItemMessageA(w, IDC_TIMER_SPIN, UDM_GETPOS, 0, 0)), 999);
    d.Clear(IDC_TIMER);
    EXPECT_NE(HIWORD(SendDlgItemMessageA(w, IDC_TIMER_SPIN, UDM_GETPOS, 0, 0)), 0);  // no number in the buddy
    EXPECT_FALSE(d.Spin(IDC_TIMER, 1));  // an edit has no arrows
  }).Click(IDOK));
  EXPECT_EQ(Run(), 7);
  EXPECT_EQ(driver->Refusals(), 0);
}

TEST_F(DialogTest, UsersReachOnlyVisibleControlsButProgramsReachAll) {
  driver->Add(IDD_ABOUT, plat::DialogScript()
                             .Click(IDC_INTERNAL)
                             .Mnemonic('i')
                             .Command(IDC_INTERNAL)
                             .Click(4242)
                             .Enter());
  EXPECT_EQ(Run(TestProc, nullptr, IDD_ABOUT), 7);
  auto log = driver->Log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0], "114: click 1021 -> refused");
  EXPECT_EQ(log[1], "114: alt+i -> refused");
  EXPECT_EQ(log[2], "114: command 1021");
  EXPECT_EQ(log[3], "114: click 4242 -> refused");
  EXPECT_EQ(log[4], "114: enter");  // Enter is the default push button, OK
  EXPECT_EQ(g_seen.commands.load(), 2);
}

TEST_F(DialogTest, CheckBoxesToggleAndMnemonicsClickThem) {
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Check(IDC_OFFLINE)
                                 .Check(IDC_OFFLINE)  // already checked: no click
                                 .Mnemonic('P')
                                 .Do([](plat::RunningDialog& d) {
                                   EXPECT_EQ(IsDlgButtonChecked(d.Window(), IDC_OFFLINE), static_cast<UINT>(BST_CHECKED));
                                   EXPECT_EQ(IsDlgButtonChecked(d.Window(), IDC_OUT_OF_PAPER), static_cast<UINT>(BST_CHECKED));
                                   EXPECT_EQ(IsDlgButtonChecked(d.Window(), IDC_NO_RESPONSE), static_cast<UINT>(BST_UNCHECKED));
                                   CheckDlgButton(d.Window(), IDC_OFFLINE, BST_UNCHECKED);
                                   EXPECT_FALSE(d.IsChecked(IDC_OFFLINE));
                                 })
                                 .Escape());
  EXPECT_EQ(Run(), 8);
  EXPECT_EQ(g_seen.commands.load(), 3);  // two clicks and Escape
}

TEST_F(DialogTest, BadTemplatesAndOwnersFail) {
  SetLastError(0);
  EXPECT_EQ(DialogBoxParamA(Instance(), MAKEINTRESOURCEA(999), nullptr, TestProc, 0), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
  HWND host = plat::CreateHostWindow("spooler");
  plat::DestroyHostWindow(host);
  EXPECT_EQ(Run(TestProc, host), -1);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
  EXPECT_EQ(DialogBoxParamA(nullptr, MAKEINTRESOURCEA(IDD_ABOUT), nullptr, TestProc, 0), -1);
  EXPECT_FALSE(EndDialog(host, 1));
  EXPECT_EQ(GetDlgItem(host, IDOK), nullptr);
}

TEST_F(DialogTest, ADialogThatWillNotCloseIsAbandonedWhenTheUserGivesUp) {
  EXPECT_EQ(Run(StubbornProc), -1);
  EXPECT_EQ(driver->Log(), std::vector<std::string>{"210: no script"});
}

INT_PTR CALLBACK OwnerProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM) {
  if (msg == WM_INITDIALOG) return TRUE;
  if (msg != WM_COMMAND) return FALSE;
  if (LOWORD(wParam) == IDC_ABOUT) {
    DialogBoxParamA(Instance(), MAKEINTRESOURCEA(IDD_ABOUT), GetDlgItem(hDlg, IDC_ABOUT), TestProc, 0);
    MessageBoxA(hDlg, "owned", "caption", MB_OK);
    return TRUE;
  }
  if (LOWORD(wParam) == IDCANCEL) EndDialog(hDlg, 3);
  return TRUE;
}

TEST_F(DialogTest, ADialogOwnedByADialogHoldsItsOwnerUntilItEnds) {
  HWND host = plat::CreateHostWindow("spooler");
  HWND configure = nullptr;
  plat::RunningDialog* owner = nullptr;
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([&](plat::RunningDialog& d) {
                                   configure = d.Window();
                                   owner = &d;
                                 })
                                 .Click(IDC_ABOUT)
                                 .Click(IDCANCEL));
  driver->Add(IDD_ABOUT, plat::DialogScript().Do([&](plat::RunningDialog& d) {
    EXPECT_EQ(d.Owner(), configure);  // a control's dialog owns in its place
    EXPECT_FALSE(owner->Click(IDCANCEL));  // the owner takes no input meanwhile
    EXPECT_NE(owner->Render().find("(waiting for a dialog it owns)"), std::string::npos);
    SetForegroundWindow(d.Window());
    EXPECT_NE(d.Render().find("(foreground)"), std::string::npos);
  }).Click(IDOK));
  EXPECT_EQ(Run(OwnerProc, host), 3);
  ASSERT_EQ(messages->Count(), 1u);
  EXPECT_EQ(messages->Messages()[0].ownerTemplate, IDD_CONFIGURE);
  EXPECT_EQ(messages->Messages()[0].request.owner, configure);
  EXPECT_EQ(GetForegroundWindow(), host);  // handed back along the owners as each dialog closed
  plat::DestroyHostWindow(host);
}

TEST_F(DialogTest, DialogsRunAtOnceOnSeveralThreads) {
  std::promise<void> firstOpen, secondDone;
  std::shared_future<void> secondDoneFuture = secondDone.get_future().share();
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Type(IDC_TIMER, "111")
                                 .Do([&](plat::RunningDialog&) {
                                   firstOpen.set_value();
                                   secondDoneFuture.wait();
                                 })
                                 .Do([](plat::RunningDialog& d) { EXPECT_EQ(d.Text(IDC_TIMER), "111"); })
                                 .Click(IDOK));
  driver->Add(IDD_CONFIGURE, plat::DialogScript()
                                 .Do([](plat::RunningDialog& d) {
                                   EXPECT_EQ(plat::RunningDialogCount(), 2);
                                   EXPECT_EQ(d.Text(IDC_TIMER), "");
                                 })
                                 .Type(IDC_TIMER, "222")
                                 .Click(IDCANCEL));
  std::thread first([&] { EXPECT_EQ(Run(), 7); });
  firstOpen.get_future().wait();
  std::thread second([&] {
    EXPECT_EQ(Run(), 8);
    secondDone.set_value();
  });
  second.join();
  first.join();
  EXPECT_EQ(driver->Refusals(), 0);
}

TEST_F(DialogTest, TerminalDriverPlaysTheTypedCommands) {
  std::istringstream in(
      "check off line\n"
      "type 1011 2x0\n"
      "up spin1\n"
      "bogus\n"
      "click 1021\n"
      "click OK\n");
  std::ostringstream out;
  plat::SetDialogDriver(std::make_shared<plat::TerminalDriver>(in, out));
  EXPECT_EQ(Run(), 7);
  std::string screen = out.str();
  EXPECT_NE(screen.find("1007  auto check box \"&Off Line\" [x]"), std::string::npos) << screen;
  EXPECT_NE(screen.find("1011  edit \"21\""), std::string::npos) << screen;  // "20" refused the x, then up
  EXPECT_NE(screen.find("(refused)"), std::string::npos);
  EXPECT_NE(screen.find("commands:"), std::string::npos);
  EXPECT_NE(screen.find("dialog 210> "), std::string::npos);

  std::istringstream empty("");
  plat::SetDialogDriver(std::make_shared<plat::TerminalDriver>(empty, out));
  EXPECT_EQ(Run(), 8);  // end of input closes the dialog
}

TEST_F(DialogTest, HelpGoesToTheSinkOrElseToThePresenter) {
  HWND host = plat::CreateHostWindow("spooler");
  EXPECT_TRUE(WinHelpA(host, "X.HLP>(main2)", HELP_CONTEXT, 4));
  ASSERT_EQ(messages->Count(), 1u);
  EXPECT_EQ(messages->Messages()[0].request.owner, host);
  EXPECT_EQ(messages->Messages()[0].request.text, "Help file X.HLP>(main2), command 1, data 4");
  auto help = std::make_shared<plat::HelpRecorder>();
  plat::SetHelpSink(help);
  EXPECT_TRUE(WinHelpA(host, "Y.HLP", HELP_CONTEXT, 9));
  ASSERT_EQ(help->Requests().size(), 1u);
  EXPECT_EQ(help->Requests()[0].file, "Y.HLP");
  EXPECT_EQ(help->Requests()[0].data, 9u);
  EXPECT_EQ(messages->Count(), 1u);
  EXPECT_FALSE(WinHelpA(host, nullptr, HELP_CONTEXT, 4));
  plat::DestroyHostWindow(host);
}

}  // namespace
