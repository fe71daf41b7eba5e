// Raw capture stream reader: symbol and count bytes to runs of line states.
#pragma once

#include <cstddef>
#include <cstdint>
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

/// Reads a raw capture stream (magic, symbol bytes, count bytes) as runs. Borrows the vector,
/// which must outlive the reader and stay unchanged. One thread at a time.
class Traw {
 public:
  static constexpr const char* MAGIC = "KORVANE.";
  static constexpr size_t MAGIC_LEN = 8;

  explicit Traw(const std::vector<uint8_t>& data);

  bool checkHeader();
  /// Hands out the next run; false when there is none.
  bool getItem(TrawItem& item);
  bool getVal(int& val, int& count);
  bool refill();
  int getNextCount();
  uint64_t size() const { return stream.size(); }
  /// Bytes consumed so far, the header included.
  uint64_t getRawDataIx() const { return ix; }

  const std::vector<uint8_t>& stream;
  uint64_t ix = 0;
  int vals[6] = {};
  int counts[6] = {};
  int top = -1;
  bool headerOk = false;
  uint64_t total = 0;
};
