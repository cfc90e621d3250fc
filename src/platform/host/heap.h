// Controls of the LocalAlloc stand-in for tests.
#pragma once

#include <cstdint>

namespace plat {

// The nth LocalAlloc from now (1 = the next one) fails; 0 clears it.
void FailNthAllocation(std::uint64_t n);
// Every LocalAlloc fails while set.
void FailAllAllocations(bool fail);
// Clears both kinds of injected failure.
void ResetAllocationFaults();
// Blocks handed out by LocalAlloc and not yet freed.
std::int64_t LiveLocalBlocks();

}  // namespace plat
