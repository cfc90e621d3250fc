// The compiled resource script: dialogs 114 and 210 as rc2cpp tables them,
// control by control, with the styles the control statements give.
#include <gtest/gtest.h>

#include <string>

#include "base/resource.h"
#include "host/resources.h"
#include "platform.h"

extern "C" const plat::ResourceTable TavroResourceTable;

namespace {

const plat::DialogTemplate* Find(int id) {
  for (std::size_t i = 0; i < TavroResourceTable.dialogCount; ++i)
    if (TavroResourceTable.dialogs[i].id == id) return &TavroResourceTable.dialogs[i];
  return nullptr;
}

struct Expected {
  const char* className;
  const char* text;
  int id;
  int x, y, cx, cy;
  DWORD style;
};

void ExpectControls(const plat::DialogTemplate& t, const std::vector<Expected>& expected) {
  ASSERT_EQ(t.controlCount, expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const plat::DialogControl& c = t.controls[i];
    const Expected& e = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " \"" + e.text + "\"");
    EXPECT_STREQ(c.className, e.className);
    EXPECT_STREQ(c.text, e.text);
    EXPECT_EQ(c.id, e.id);
    EXPECT_EQ(c.x, e.x);
    EXPECT_EQ(c.y, e.y);
    EXPECT_EQ(c.cx, e.cx);
    EXPECT_EQ(c.cy, e.cy);
    EXPECT_EQ(c.style, e.style) << std::hex << c.style << " vs " << e.style;
    EXPECT_EQ(c.exStyle, 0u);
  }
}

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;
constexpr DWORD kModal = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT;

TEST(ResourceScript, AboutDialogHasItsFourControlsAndAHiddenInternalButton) {
  const plat::DialogTemplate* t = Find(IDD_ABOUT);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t->caption, "About Varnhold");
  EXPECT_EQ(t->style, static_cast<std::uint32_t>(kModal));
  EXPECT_EQ(t->cx, 144);
  EXPECT_EQ(t->cy, 97);
  EXPECT_STREQ(t->fontName, "MS Sans Serif");
  EXPECT_EQ(t->fontSize, 8);
  ExpectControls(*t, {
      {"STATIC", "Varnhold", -1, 35, 30, 76, 8, kChild | SS_CENTER | WS_GROUP},
      {"STATIC", "Version 1.04", -1, 32, 42, 80, 8, kChild | SS_CENTER | WS_GROUP},
      {"BUTTON", "OK", IDOK, 54, 72, 36, 14, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
      // NOT WS_VISIBLE takes the bit out of the statement's defaults.
      {"BUTTON", "&Internal", 1021, 9, 6, 10, 11, WS_CHILD | BS_PUSHBUTTON | WS_TABSTOP},
  });
}

TEST(ResourceScript, ConfigureDialogHasEveryControlInTabOrder) {
  const plat::DialogTemplate* t = Find(IDD_CONFIGURE);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t->caption, "Configure Print Server Ports");
  EXPECT_EQ(t->style, static_cast<std::uint32_t>(kModal));
  EXPECT_EQ(t->cx, 201);
  EXPECT_EQ(t->cy, 125);
  EXPECT_STREQ(t->fontName, "MS Sans Serif");
  EXPECT_EQ(t->fontSize, 8);
  const DWORD check = kChild | BS_AUTOCHECKBOX | WS_TABSTOP;
  const DWORD push = kChild | BS_PUSHBUTTON | WS_TABSTOP;
  const DWORD label = kChild | SS_LEFT | WS_GROUP;
  ExpectControls(*t, {
      {"BUTTON", "OK", 1, 144, 7, 50, 14, kChild | BS_DEFPUSHBUTTON | WS_TABSTOP},
      {"BUTTON", "Cancel", 2, 144, 24, 50, 14, push},
      {"BUTTON", "&Off Line", 1007, 15, 22, 56, 10, check},
      {"BUTTON", "Out of &Paper", 1008, 15, 33, 61, 14, check},
      {"BUTTON", "No &Response", 1009, 15, 49, 69, 10, check},
      {"BUTTON", "Popup messages on", -1, 7, 7, 96, 60, kChild | BS_GROUPBOX},
      {"BUTTON", "Printer Status Update Timer", -1, 7, 73, 187, 45, kChild | BS_GROUPBOX},
      {"STATIC", "Printer status will be updated every", -1, 13, 87, 109, 13, label},
      {"STATIC", "seconds", -1, 161, 87, 27, 8, label},
      {"BUTTON", "&About", 1017, 144, 61, 50, 14, push},
      {"STATIC", "This value is used for all Print Server Ports", -1, 13, 102, 152, 8, label},
      {"EDIT", "", 1011, 126, 85, 17, 14, kChild | WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL},
      {"msctls_updown32", "Spin1", 1015, 142, 86, 8, 14,
       kChild | UDS_SETBUDDYINT | UDS_AUTOBUDDY | UDS_ARROWKEYS | UDS_NOTHOUSANDS},
      {"BUTTON", "&Help", 1016, 144, 42, 50, 14, push},
  });
}

TEST(ResourceScript, StringTableKeepsItsEntries) {
  EXPECT_EQ(TavroResourceTable.stringCount, 18u);
  EXPECT_EQ(TavroResourceTable.dialogCount, 2u);
}

}  // namespace
