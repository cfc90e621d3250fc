// The window table behind HWND values, host windows, the foreground window,
// the dialog driver and help sink the host registers, and WinHelpA.
#include <cstdio>
#include <iostream>
#include <unordered_map>

#include "../host/dialog.h"
#include "../host/message_box.h"
#include "../win32/kernel.h"
#include "../win32/window.h"
#include "window_system.h"

namespace plat {
namespace detail {
namespace {

struct WindowTable {
  std::mutex mutex;
  std::unordered_map<std::uintptr_t, WindowRef> windows;
  std::uintptr_t next = 0x10000;
  HWND foreground = nullptr;
};

WindowTable& Table() {
  static WindowTable table;
  return table;
}

std::uintptr_t Key(HWND hwnd) { return reinterpret_cast<std::uintptr_t>(hwnd); }

}  // namespace

HWND NewWindowHandle() {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.next += 0x10;
  return reinterpret_cast<HWND>(t.next);
}

void RegisterWindow(HWND hwnd, WindowRef ref) {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.windows[Key(hwnd)] = std::move(ref);
}

void UnregisterWindow(HWND hwnd) {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.windows.erase(Key(hwnd));
  if (t.foreground == hwnd) t.foreground = nullptr;
}

bool FindWindowRef(HWND hwnd, WindowRef* out) {
  if (hwnd == nullptr) return false;
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.windows.find(Key(hwnd));
  if (it == t.windows.end()) return false;
  if (out != nullptr) *out = it->second;
  return true;
}

int CountDialogs() {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  int n = 0;
  for (const auto& [key, ref] : t.windows)
    if (ref.dialog && ref.control == -1) ++n;
  return n;
}

HWND CurrentForeground() {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  return t.foreground;
}

void SetForeground(HWND hwnd) {
  WindowTable& t = Table();
  std::lock_guard lock(t.mutex);
  t.foreground = hwnd;
}

}  // namespace detail

namespace {

// Without a host's driver nobody can answer a dialog: show it and close it.
class ClosingDriver : public DialogDriver {
 public:
  bool Play(RunningDialog& dialog) override {
    std::cerr << "[dialog, closed: no driver]\n" << dialog.Render();
    return false;
  }
};

std::mutex g_hostMutex;
std::shared_ptr<DialogDriver> g_driver;
std::shared_ptr<HelpSink> g_helpSink;

}  // namespace

void SetDialogDriver(std::shared_ptr<DialogDriver> driver) {
  std::lock_guard lock(g_hostMutex);
  g_driver = std::move(driver);
}

std::shared_ptr<DialogDriver> GetDialogDriver() {
  std::lock_guard lock(g_hostMutex);
  if (!g_driver) g_driver = std::make_shared<ClosingDriver>();
  return g_driver;
}

void SetHelpSink(std::shared_ptr<HelpSink> sink) {
  std::lock_guard lock(g_hostMutex);
  g_helpSink = std::move(sink);
}

HWND CreateHostWindow(const std::string& title) {
  HWND hwnd = detail::NewWindowHandle();
  detail::WindowRef ref;
  ref.title = title;
  detail::RegisterWindow(hwnd, std::move(ref));
  return hwnd;
}

void DestroyHostWindow(HWND window) {
  detail::WindowRef ref;
  if (detail::FindWindowRef(window, &ref) && !ref.dialog) detail::UnregisterWindow(window);
}

int RunningDialogCount() { return detail::CountDialogs(); }

int DialogTemplateOf(HWND window) {
  detail::WindowRef ref;
  if (!detail::FindWindowRef(window, &ref) || !ref.dialog || ref.control != -1) return -1;
  return ref.dialog->source->id;
}

}  // namespace plat

BOOL WINAPI SetForegroundWindow(HWND hWnd) {
  if (!plat::detail::FindWindowRef(hWnd, nullptr)) return FALSE;
  plat::detail::SetForeground(hWnd);
  return TRUE;
}

HWND WINAPI GetForegroundWindow(void) { return plat::detail::CurrentForeground(); }

BOOL WINAPI IsWindow(HWND hWnd) { return plat::detail::FindWindowRef(hWnd, nullptr) ? TRUE : FALSE; }

BOOL WINAPI WinHelpA(HWND hWndMain, LPCSTR lpszHelp, UINT uCommand, ULONG_PTR dwData) {
  if (lpszHelp == nullptr && uCommand != HELP_QUIT) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  plat::HelpRequest request{hWndMain, lpszHelp ? lpszHelp : "", uCommand, dwData};
  std::shared_ptr<plat::HelpSink> sink;
  {
    std::lock_guard lock(plat::g_hostMutex);
    sink = plat::g_helpSink;
  }
  if (sink) {
    sink->Show(request);
    return TRUE;
  }
  char text[512];
  std::snprintf(text, sizeof text, "Help file %s, command %u, data %lu", request.file.c_str(), uCommand,
                static_cast<unsigned long>(dwData));
  plat::GetMessagePresenter()->Present({hWndMain, text, "Help", MB_OK});
  return TRUE;
}
