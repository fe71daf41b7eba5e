// Raw capture stream reader: symbol and count bytes to runs of line states.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

/// Line states of one sample.
enum TlineState : int { LS_SE0 = 0, LS_K = 1, LS_J = 2, LS_SE1 = 3 };

/// One run of a line state.
struct TrawItem {
  int val = 0;           ///< line state
  int count = 0;         ///< ticks, at least 1
  uint64_t strt = 0;     ///< tick of the first sample
  uint64_t nxtStrt = 0;  ///< tick after the run: strt + count
};

/// Reads a raw capture stream (magic, symbol bytes, count bytes) as runs. Borrows the bytes,
/// which must outlive the reader and stay unchanged. One thread at a time.
class Traw {
 public:
  static constexpr const char* MAGIC = "KORVANE.";
  static constexpr size_t MAGIC_LEN = 8;

  /// The bytes may be the front of a longer buffer (a capture buffer beyond its capture count).
  explicit Traw(std::span<const uint8_t> data);
  /// The reader keeps a view: a temporary vector would be gone before the first read.
  explicit Traw(std::vector<uint8_t>&&) = delete;

  bool checkHeader();
  /// Hands out the next run; false when there is none.
  bool getItem(TrawItem& item) {
    item.strt = total;
    int count = 0;
    if (!getVal(item.val, count)) {
      item.nxtStrt = total;
      return false;
    }
    item.count = count;
    item.nxtStrt = total;
    assert(item.nxtStrt == (item.strt + item.count));
    return true;
  }
  bool getVal(int& val, int& count) {
    val = 0;
    count = 0;
    if (!headerOk)
      return false;
    if (top < 0 && !refill())
      return false;
    val = vals[top];
    count = counts[top];
    --top;
    total += static_cast<uint64_t>(count);
    return true;
  }
  bool refill();
  /// Fast path of the packet decoder: when no run is queued and the next byte is a symbol byte
  /// of six J/K samples, consumes it with its count bytes as getVal would, and gives its low six
  /// bits (bit 5 the earliest sample, 1 = J) and the extension of its latest sample. False, with
  /// nothing consumed, in every other case.
  bool takeSixSamples(unsigned& levels, int& extension) {
    if (top >= 0 || !headerOk || ix >= stream.size() || (stream[ix] & 0xC0) != 0)
      return false;
    levels = stream[ix++];
    extension = getNextCount();
    total += 6 + static_cast<uint64_t>(extension);
    return true;
  }
  int getNextCount() {
    // Most symbol bytes have no count bytes after them, and most counts are one start byte.
    const size_t n = stream.size();
    if (!headerOk || ix >= n || (stream[ix] & 0x80) == 0)
      return 0;
    const uint8_t b = stream[ix];
    if ((b & 0xC0) == 0x80 && (ix + 1 >= n || (stream[ix + 1] & 0x80) == 0)) {
      ++ix;
      return b & 0x3F;
    }
    return readCount();
  }
  uint64_t size() const { return stream.size(); }
  /// Bytes consumed so far, the header included.
  uint64_t getRawDataIx() const { return ix; }

  const std::span<const uint8_t> stream;
  uint64_t ix = 0;
  int vals[6] = {};
  int counts[6] = {};
  int top = -1;
  bool headerOk = false;
  uint64_t total = 0;

 private:
  int readCount();
};
