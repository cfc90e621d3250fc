// Checks rc2cpp's table of testdata/sample.rc field by field.
#include <cstdio>
#include <cstring>

#include "host/resources.h"

extern "C" const plat::ResourceTable SampleResourceTable;

namespace {

int g_failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "FAILED: %s\n", what);
    ++g_failures;
  }
}

}  // namespace

int main() {
  const plat::ResourceTable& t = SampleResourceTable;
  Check(t.stringCount == 1 && std::strcmp(t.strings[0].text, "one \"quoted\" \\ two") == 0, "string");
  Check(t.dialogCount == 2, "two dialogs");
  const plat::DialogTemplate& d = t.dialogs[0];
  Check(d.id == 300 && d.x == 1 && d.y == 2 && d.cx == 30 && d.cy == 40, "dialog header");
  Check(d.style == (0x80000000u | 0x40u), "NOT clears WS_CAPTION from the style; FONT adds DS_SETFONT");
  Check(d.exStyle == 0x8u, "EXSTYLE");
  Check(std::strcmp(d.caption, "Sample") == 0 && std::strcmp(d.fontName, "Tahoma") == 0 && d.fontSize == 9, "caption, font");
  Check(d.controlCount == 4, "four controls");
  const plat::DialogControl* c = d.controls;
  Check(std::strcmp(c[0].className, "BUTTON") == 0 && c[0].id == 1000 && c[0].style == (0x50000000u | 0x3u | 0x10000u) &&
            c[0].exStyle == 0x200u && c[0].cy == 4,
        "CONTROL with a class word and an extended style");
  Check(std::strcmp(c[1].className, "EDIT") == 0 && c[1].id == 1001 && c[1].style == (0x50000000u | 0x10000u | 0x2000u),
        "EDITTEXT: NOT WS_BORDER clears a default; DIALOGEX help id skipped");
  Check(c[2].id == -1 && c[2].x == 16 && c[2].y == 11 && c[2].style == (0x50000000u | 0x2u | 0x20000u), "RTEXT, expressions");
  Check(std::strcmp(c[3].className, "msctls_updown32") == 0 && c[3].style == 0x50000001u, "CONTROL with a class string");
  const plat::DialogTemplate& plain = t.dialogs[1];
  Check(plain.style == (0x80000000u | 0x00800000u | 0x00080000u | 0x00C00000u) && plain.controlCount == 0,
        "a dialog without STYLE is a pop-up with border and system menu; CAPTION adds WS_CAPTION");
  if (g_failures == 0) std::puts("rc2cpp sample: all checks passed");
  return g_failures == 0 ? 0 : 1;
}
