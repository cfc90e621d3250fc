// LocalAlloc/LocalFree over the C heap, with injectable failures for tests.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "../host/heap.h"
#include "../win32/kernel.h"

namespace {

std::atomic<std::uint64_t> g_failCountdown{0};
std::atomic<bool> g_failAll{false};
std::atomic<std::int64_t> g_live{0};

bool ShouldFail() {
  if (g_failAll.load()) return true;
  std::uint64_t n = g_failCountdown.load();
  while (n != 0) {
    if (g_failCountdown.compare_exchange_weak(n, n - 1)) return n == 1;
  }
  return false;
}

}  // namespace

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (ShouldFail()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // Windows hands out a block for size 0 too.
  void* p = (uFlags & LMEM_ZEROINIT) ? std::calloc(1, uBytes ? uBytes : 1) : std::malloc(uBytes ? uBytes : 1);
  if (p == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  g_live.fetch_add(1);
  return p;
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem != nullptr) {
    g_live.fetch_sub(1);
    std::free(hMem);
  }
  return nullptr;
}

namespace plat {

void FailNthAllocation(std::uint64_t n) { g_failCountdown.store(n); }
void FailAllAllocations(bool fail) { g_failAll.store(fail); }
void ResetAllocationFaults() {
  g_failCountdown.store(0);
  g_failAll.store(false);
}
std::int64_t LiveLocalBlocks() { return g_live.load(); }

}  // namespace plat
