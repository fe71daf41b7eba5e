// Test helper: the counting allocator of the robustness tests, with out-of-memory on demand.
#pragma once

#include <cstddef>

namespace kvtest {

/// Bytes allocated through operator new and not yet freed.
size_t heapInUse();
/// Restarts the peak at what is in use now.
void resetHeapPeak();
/// Highest heap in use since the last reset.
size_t heapPeak();

/// From the n-th allocation on (0: the next one), every operator new throws std::bad_alloc,
/// until disarmed: memory running out at a chosen point.
void failAllocationsFrom(long n);
void stopFailingAllocations();
/// Allocations made since the last failAllocationsFrom or stopFailingAllocations.
long allocationsSinceArmed();

}  // namespace kvtest
