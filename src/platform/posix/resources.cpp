// String resources of module instances, and MessageBoxA through the host's presenter.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "../host/message_box.h"
#include "../host/resources.h"
#include "../win32/kernel.h"
#include "../win32/window.h"
#include "instance.h"

namespace plat {
namespace {

class StderrPresenter : public MessagePresenter {
 public:
  int Present(const MessageBoxRequest& request) override {
    std::fprintf(stderr, "[message box] %s: %s\n", request.caption.c_str(), request.text.c_str());
    return IDOK;
  }
};

std::mutex g_presenterMutex;
std::shared_ptr<MessagePresenter> g_presenter;

}  // namespace

HINSTANCE MakeModuleInstance(const ResourceTable* table) {
  // Kept for the life of the process, as a loaded module's instance would be.
  auto* instance = new HINSTANCE__();
  instance->resources = table;
  return instance;
}

const ResourceTable* ResourcesOf(HINSTANCE instance) {
  return instance == nullptr ? nullptr : instance->resources;
}

void SetMessagePresenter(std::shared_ptr<MessagePresenter> presenter) {
  std::lock_guard lock(g_presenterMutex);
  g_presenter = std::move(presenter);
}

std::shared_ptr<MessagePresenter> GetMessagePresenter() {
  std::lock_guard lock(g_presenterMutex);
  if (!g_presenter) g_presenter = std::make_shared<StderrPresenter>();
  return g_presenter;
}

}  // namespace plat

int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax) {
  const plat::ResourceTable* table = plat::ResourcesOf(hInstance);
  if (table == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  if (lpBuffer == nullptr || cchBufferMax <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  for (std::size_t i = 0; i < table->stringCount; ++i) {
    if (table->strings[i].id != uID) continue;
    std::size_t length = std::strlen(table->strings[i].text);
    std::size_t n = std::min(length, static_cast<std::size_t>(cchBufferMax - 1));
    std::memcpy(lpBuffer, table->strings[i].text, n);
    lpBuffer[n] = '\0';
    return static_cast<int>(n);
  }
  lpBuffer[0] = '\0';
  SetLastError(1814);  // ERROR_RESOURCE_NAME_NOT_FOUND
  return 0;
}

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  plat::MessageBoxRequest request{hWnd, lpText ? lpText : "", lpCaption ? lpCaption : "Error", uType};
  return plat::GetMessagePresenter()->Present(request);
}

void WINAPI InitCommonControls(void) {}

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) { return picce != nullptr; }
