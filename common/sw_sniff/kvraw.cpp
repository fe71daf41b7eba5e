// Raw capture stream reader: symbol and count bytes to runs of line states.
#include "kvraw.h"

#include <cassert>
#include <cstring>
#include <limits>

namespace {

constexpr uint8_t TOP_MASK = 0xC0;
constexpr uint8_t TOP_1BIT = 0x00;  // six 1-bit samples
constexpr uint8_t TOP_2BIT = 0x40;  // three 2-bit samples

inline bool isSymbol(uint8_t b) { return (b & 0x80) == 0; }

// Longest extension a run may get: leaves room for the five samples that can merge into the
// same run, so a count never overflows its int.
constexpr int64_t MAX_EXTENSION = std::numeric_limits<int>::max() - 6;
// Beyond this the multiplier stops growing: any non-zero digit then saturates the count anyway.
constexpr uint64_t MAX_MULTIPLIER = uint64_t{1} << 40;

// The runs of each symbol byte before its count bytes, queued as refill leaves them: entry 0 is
// the latest run, entry top the earliest, neighbouring samples of one state merged.
struct TsymbolRuns {
  int vals[6];
  int counts[6];
  int top;
};

constexpr TsymbolRuns symbolRuns(unsigned sym) {
  TsymbolRuns r{};
  int samples[6] = {};
  int n;
  if ((sym & TOP_MASK) == TOP_1BIT) {
    n = 6;
    for (int i = 0; i < 6; ++i)
      samples[i] = (sym >> i) & 1 ? 2 : 1;  // 1 is J, 0 is K
  } else {
    n = 3;
    for (int i = 0; i < 3; ++i)
      samples[i] = static_cast<int>((sym >> (2 * i)) & 3);
  }
  r.top = 0;
  r.vals[0] = samples[0];
  r.counts[0] = 1;
  for (int i = 1; i < n; ++i) {
    if (samples[i] != r.vals[r.top])
      r.vals[++r.top] = samples[i];
    r.counts[r.top] += 1;
  }
  return r;
}

struct TsymbolTable {
  TsymbolRuns runs[128];
  constexpr TsymbolTable() : runs{} {
    for (unsigned s = 0; s < 128; ++s)
      runs[s] = symbolRuns(s);
  }
  constexpr const TsymbolRuns& operator[](unsigned s) const { return runs[s & 0x7F]; }
};

constexpr TsymbolTable SYMBOL_RUNS;
static_assert(TOP_2BIT == 0x40);
static_assert(SYMBOL_RUNS[0x15].top == 5 && SYMBOL_RUNS[0x07].counts[0] == 3 && SYMBOL_RUNS[0x42].vals[1] == 0);

}  // namespace

Traw::Traw(std::span<const uint8_t> data) : stream(data) { headerOk = checkHeader(); }

bool Traw::checkHeader() {
  if (stream.size() < MAGIC_LEN)
    return false;
  if (std::memcmp(stream.data(), MAGIC, MAGIC_LEN) != 0)
    return false;
  ix = MAGIC_LEN;
  while (ix < stream.size() && !isSymbol(stream[ix]))
    ++ix;
  return ix < stream.size();
}

int Traw::readCount() {
  int64_t e = 0;
  uint64_t mult = 1;
  const size_t n = stream.size();
  while (ix < n) {
    const uint8_t b = stream[ix];
    if ((b & TOP_MASK) == 0x80) {
      e += b & 0x3F;
      mult = 64;
    } else if ((b & 0xE0) == 0xC0) {
      e += static_cast<int64_t>((b & 0x1F) * mult);
      if (mult < MAX_MULTIPLIER)
        mult <<= 6;
    } else {
      break;
    }
    if (e > MAX_EXTENSION)
      e = MAX_EXTENSION;
    ++ix;
  }
  return static_cast<int>(e);
}

bool Traw::refill() {
  if (!headerOk)
    return false;
  // A count byte where a symbol byte is due has no meaning here: it is skipped.
  const size_t n = stream.size();
  while (ix < n && !isSymbol(stream[ix]))
    ++ix;
  if (ix >= n) {
    std::memset(vals, 0, sizeof vals);
    std::memset(counts, 0, sizeof counts);
    return false;
  }
  const TsymbolRuns& r = SYMBOL_RUNS[stream[ix++]];
  std::memcpy(vals, r.vals, sizeof vals);
  std::memcpy(counts, r.counts, sizeof counts);
  top = r.top;
  counts[0] += getNextCount();
  return true;
}
