// Row pool: the row objects of one decode or load, carved from large shared chunks.
#include "kvrowpool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

#if KV_ROWPOOL_ASAN
#include <sanitizer/asan_interface.h>
#define KV_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KV_POISON(p, n) ((void)(p), (void)(n))
#define KV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

// A chunk is asked for this much below its size: with malloc's own header the mapping of a
// large chunk then spans whole huge pages. Chunks come through operator new (malloc underneath),
// so heap statistics and a program's own allocator both see them.
constexpr size_t MALLOC_HEADROOM = 64;
// Where the rows start in a chunk: after the link to the chunk before.
constexpr size_t CHUNK_HEADER = 16;
// Blocks from this size on are advised for transparent huge pages.
constexpr size_t HUGE_PAGE = size_t{2} << 20;
// Under AddressSanitizer a poisoned gap follows every block, so that a read or write past the
// end of a row is caught before it reaches the next one.
constexpr size_t REDZONE = KV_ROWPOOL_ASAN ? 16 : 0;

uintptr_t alignUp(uintptr_t v, size_t a) { return (v + a - 1) & ~(static_cast<uintptr_t>(a) - 1); }

}  // namespace

void adviseHugePages(const void* block, size_t bytes) noexcept {
  if (!block || bytes < HUGE_PAGE) return;
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t from = alignUp(reinterpret_cast<uintptr_t>(block), page);
  const uintptr_t to = (reinterpret_cast<uintptr_t>(block) + bytes) & ~(static_cast<uintptr_t>(page) - 1);
  if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

void* TrowArena::allocate(size_t bytes, size_t align) {
  const size_t need = bytes + REDZONE;
  uintptr_t p = alignUp(reinterpret_cast<uintptr_t>(cur), align);
  if (!cur || need > reinterpret_cast<uintptr_t>(end) - std::min(p, reinterpret_cast<uintptr_t>(end))) {
    newChunk(need + align);
    p = alignUp(reinterpret_cast<uintptr_t>(cur), align);
  }
  cur = reinterpret_cast<char*>(p + need);
  users.fetch_add(1, std::memory_order_relaxed);
  KV_UNPOISON(reinterpret_cast<void*>(p), bytes);
  return reinterpret_cast<void*>(p);
}

void TrowArena::deallocate(void* block, size_t bytes) noexcept {
  // Poisoned before the release: once the count reaches zero the chunk may be gone.
  KV_POISON(block, bytes);
  release();
}

void TrowArena::newChunk(size_t atLeast) {
  size_t size = nextChunk;
  while (size - MALLOC_HEADROOM - CHUNK_HEADER < atLeast) size *= 2;
  const size_t bytes = size - MALLOC_HEADROOM;
  char* chunk = static_cast<char*>(::operator new(bytes));
  if (nextChunk < MAX_CHUNK) nextChunk *= 2;
  // Huge pages where the kernel grants them: the rows are written once, in order, and one fault
  // per 2 MiB instead of one per page is most of the gain. Only whole pages of the chunk are
  // advised; the call may fail (no THP support), which changes nothing else.
  *reinterpret_cast<void**>(chunk) = chunks;
  adviseHugePages(chunk, bytes);
  KV_POISON(chunk + CHUNK_HEADER, bytes - CHUNK_HEADER);  // nothing handed out yet
  chunks = chunk;
  cur = chunk + CHUNK_HEADER;
  end = chunk + bytes;
}

void TrowArena::destroy() noexcept {
  for (void* c = chunks; c;) {
    void* before = *static_cast<void**>(c);
    ::operator delete(c);
    c = before;
  }
  // Poisoned rows need no unpoisoning here: the allocator resets the shadow of what it takes back.
  delete this;
}
