// Decode pipeline object: owns the three views of a capture and decodes on a thread of its own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kvdataio.h"
#include "kvgroup.h"

/// Holds the event rows, the tree roots and the flat list of one capture. startDecode and
/// sampleFileRead are called by the owner's thread only; getDone and getDecodedCount may be
/// called from any thread, also during a decode.
class TexThread {
 public:
  TexThread();
  ~TexThread();
  TexThread(const TexThread&) = delete;
  TexThread& operator=(const TexThread&) = delete;

  /// Empties the three views in place and refills them from the raw stream on the decode
  /// thread; returns when it has finished. Only the first `count` bytes are decoded (all of them
  /// by default): a capture buffer may hold older bytes beyond its capture count. The bytes are
  /// borrowed and read in place, never copied, and must not change meanwhile; null decodes as an empty stream. Returns the done
  /// flag, which is true after every run; getSucceeded() tells whether the run got to its end.
  /// A decode that would not fit into the memory the system can give fails early, before it
  /// has taken that memory; the bytes stay as they were, so they can be decoded again.
  bool startDecode(const std::vector<uint8_t>* rawBytes, size_t count = SIZE_MAX);
  /// Loads a sample file. When it yields flat rows the new flat list and roots are swapped in
  /// whole (holders of the old pointers keep the old vectors) and their number is returned;
  /// otherwise nothing changes and the result is 0. The event rows are never touched.
  size_t sampleFileRead(const std::string& path);

  /// The last decode has finished (successfully or not).
  bool getDone() const { return done.load(std::memory_order_acquire); }
  /// The last decode ran all its steps (false after one that failed, out of memory; the views
  /// are then empty, and what the decode had made is freed).
  bool getSucceeded() const { return succeeded.load(std::memory_order_acquire); }
  /// Raw byte position that the packet decoder has reached.
  size_t getDecodedCount() const { return decoded.load(std::memory_order_acquire); }

  std::shared_ptr<TrowVec> pEventVec() const { return events; }
  std::shared_ptr<TrowVec> pTreeRootVec() const { return roots; }
  std::shared_ptr<TlinRowVec> pLinearRowVec() const { return lin; }

 private:
  void threadFunc();
  void setDecoded(size_t n) { decoded.store(n, std::memory_order_release); }
  void setDone(bool d) { done.store(d, std::memory_order_release); }

  std::shared_ptr<TrowVec> events;
  std::shared_ptr<TrowVec> roots;
  std::shared_ptr<TlinRowVec> lin;
  const std::vector<uint8_t>* raw = nullptr;
  size_t rawCount = SIZE_MAX;  ///< bytes of *raw to decode
  std::atomic<size_t> decoded{0};
  std::atomic<bool> done{false};
  std::atomic<bool> succeeded{false};
  std::thread* thread = nullptr;
};
