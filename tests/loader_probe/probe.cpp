// A tiny loadable module for the loader tests: counts its DllMain calls in
// globals that a fresh load must start at zero, and can leave a thread running.
#include "platform.h"
#include "host/resources.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

int g_attachCount = 0;
int g_detachCount = 0;
int g_generation = 0;  // bumped by ProbeTouch; 0 again after a fresh load
int g_release = 0;     // the running thread ends when this is set
int g_threadStarted = 0;

const plat::ResourceString kStrings[] = {{7, "probe string"}};

DWORD WINAPI HeldThread(LPVOID) {
  __atomic_store_n(&g_threadStarted, 1, __ATOMIC_RELEASE);
  while (__atomic_load_n(&g_release, __ATOMIC_ACQUIRE) == 0) Sleep(10);
  return 7;
}

}  // namespace

PROBE_EXPORT const plat::ResourceTable TavroResourceTable = {kStrings, 1, nullptr, 0};

PROBE_EXPORT BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    ++g_attachCount;
#ifdef PROBE_REFUSE_ATTACH
    return FALSE;
#endif
    char text[32];
    if (LoadStringA(instance, 7, text, sizeof text) == 0) return FALSE;
  }
  if (reason == DLL_PROCESS_DETACH) ++g_detachCount;
  return TRUE;
}

PROBE_EXPORT int ProbeAttachCount() { return g_attachCount; }
PROBE_EXPORT int ProbeDetachCount() { return g_detachCount; }
PROBE_EXPORT int ProbeTouch() { return ++g_generation; }
PROBE_EXPORT HANDLE ProbeStartThread() {
  return CreateThread(nullptr, 0, HeldThread, nullptr, 0, nullptr);
}
PROBE_EXPORT int ProbeThreadStarted() { return __atomic_load_n(&g_threadStarted, __ATOMIC_ACQUIRE); }
PROBE_EXPORT void ProbeReleaseThread() { __atomic_store_n(&g_release, 1, __ATOMIC_RELEASE); }
