// Test helper: every allocation of the robustness test program goes through here, so a step's
// peak heap is known and memory can be made to run out at any chosen allocation.
#include "robust_alloc.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_inUse{0};
std::atomic<size_t> g_peak{0};
std::atomic<long> g_count{0};
std::atomic<long> g_failFrom{-1};  // -1: never fail
constexpr size_t HEADER = 16;      // keeps the returned block aligned for any fundamental type

void* countedAlloc(size_t n) {
  const long index = g_count.fetch_add(1, std::memory_order_relaxed);
  const long failFrom = g_failFrom.load(std::memory_order_relaxed);
  if (failFrom >= 0 && index >= failFrom) throw std::bad_alloc();
  auto* p = static_cast<unsigned char*>(std::malloc(n + HEADER));
  if (!p) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(p) = n;
  const size_t now = g_inUse.fetch_add(n, std::memory_order_relaxed) + n;
  size_t peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
  return p + HEADER;
}

void countedFree(void* q) {
  if (!q) return;
  auto* p = static_cast<unsigned char*>(q) - HEADER;
  g_inUse.fetch_sub(*reinterpret_cast<size_t*>(p), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

void* operator new(size_t n) { return countedAlloc(n); }
void* operator new[](size_t n) { return countedAlloc(n); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }

namespace kvtest {

size_t heapInUse() { return g_inUse.load(); }
void resetHeapPeak() { g_peak.store(g_inUse.load()); }
size_t heapPeak() { return g_peak.load(); }

void failAllocationsFrom(long n) {
  g_count.store(0);
  g_failFrom.store(n);
}

void stopFailingAllocations() {
  g_failFrom.store(-1);
  g_count.store(0);
}

long allocationsSinceArmed() { return g_count.load(); }

}  // namespace kvtest
