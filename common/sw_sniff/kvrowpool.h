// Row pool: the row objects of one decode or load, carved from large shared chunks.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <new>
#include <utility>

// Why: a decode makes millions of small rows that live as long as the capture. Taken one by one
// from malloc, each costs a malloc call and their first touch costs a page fault per 4 KiB; taken
// from chunks of a few MiB (transparent huge pages where the kernel grants them) they cost a
// pointer bump and a fault per 2 MiB. The chunks come from malloc, so heap statistics still count
// them. The rows stay ordinary shared pointers: each control block holds a reference on the
// chunks, so rows may outlive the pool and be freed on any thread.
//
// The sanitizers see the pool as it ships. Under AddressSanitizer every byte of a chunk that no
// live row holds is poisoned (the room not yet handed out, the gaps between blocks and every
// block given back), so a use of a row after its release is reported like a use after free.
#if defined(__SANITIZE_ADDRESS__)
#define KV_ROWPOOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KV_ROWPOOL_ASAN 1
#endif
#endif
#ifndef KV_ROWPOOL_ASAN
#define KV_ROWPOOL_ASAN 0
#endif

/// Asks for transparent huge pages on the whole pages of a large block about to be filled (the
/// view vectors of a capture); a smaller block, or a kernel without them, changes nothing.
void adviseHugePages(const void* block, size_t bytes) noexcept;

/// The chunks of one pool and the count of their users: the pool itself and every block carved
/// from them. The last user to go frees the chunks, on whatever thread that happens.
class TrowArena {
 public:
  /// Size of the first chunk; each further one doubles, up to MAX_CHUNK.
  static constexpr size_t FIRST_CHUNK = size_t{64} << 10;
  static constexpr size_t MAX_CHUNK = size_t{16} << 20;

  /// A new arena with one user (the caller).
  static TrowArena* create() { return new TrowArena; }

  /// A block of bytes at the alignment; one user more until release. Owner thread only.
  void* allocate(size_t bytes, size_t align);
  /// Gives a block back: one user less; the last one frees the chunks and the arena. Any thread.
  void deallocate(void* block, size_t bytes) noexcept;
  /// One user less; the last one frees the chunks and the arena. Any thread.
  void release() noexcept {
    if (users.fetch_sub(1, std::memory_order_acq_rel) == 1) destroy();
  }

 private:
  TrowArena() = default;
  ~TrowArena() = default;
  void destroy() noexcept;
  void newChunk(size_t atLeast);

  std::atomic<size_t> users{1};
  void* chunks = nullptr;  ///< the newest chunk; each starts with a pointer to the one before
  char* cur = nullptr;
  char* end = nullptr;
  size_t nextChunk = FIRST_CHUNK;
};

/// Allocator of the control blocks of pooled rows: one pointer, stored in every block.
template <class T>
class TrowAlloc {
 public:
  using value_type = T;

  explicit TrowAlloc(TrowArena* a) noexcept : arena(a) {}
  template <class U>
  TrowAlloc(const TrowAlloc<U>& other) noexcept : arena(other.arena) {}  // implicit: rebinding

  T* allocate(size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, size_t n) noexcept { arena->deallocate(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const TrowAlloc<U>& other) const noexcept {
    return arena == other.arena;
  }

 private:
  template <class U>
  friend class TrowAlloc;
  TrowArena* arena;
};

/// Makes the rows of one decode or load. Used by one thread; the rows it made may go anywhere.
class TrowPool {
 public:
  TrowPool() = default;
  ~TrowPool() {
    if (arena) arena->release();
  }
  TrowPool(const TrowPool&) = delete;
  TrowPool& operator=(const TrowPool&) = delete;

  /// A new row of type T from the pool.
  template <class T, class... A>
  std::shared_ptr<T> make(A&&... args) {
    if (!arena) arena = TrowArena::create();
    return std::allocate_shared<T>(TrowAlloc<T>(arena), std::forward<A>(args)...);
  }

  /// A new row from the pool, or a plain make_shared one when there is no pool.
  template <class T, class... A>
  static std::shared_ptr<T> makeIn(TrowPool* pool, A&&... args) {
    return pool ? pool->make<T>(std::forward<A>(args)...) : std::make_shared<T>(std::forward<A>(args)...);
  }

 private:
  TrowArena* arena = nullptr;
};
