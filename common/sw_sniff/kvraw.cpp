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

}  // namespace

Traw::Traw(const std::vector<uint8_t>& data) : stream(data) { headerOk = checkHeader(); }

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

int Traw::getNextCount() {
  if (!headerOk)
    return 0;
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
  std::memset(vals, 0, sizeof vals);
  std::memset(counts, 0, sizeof counts);
  // A count byte where a symbol byte is due has no meaning here: it is skipped.
  while (ix < stream.size() && !isSymbol(stream[ix]))
    ++ix;
  if (ix >= stream.size())
    return false;
  const uint8_t sym = stream[ix++];
  int samples[6];
  int n;
  if ((sym & TOP_MASK) == TOP_1BIT) {
    n = 6;
    for (int i = 0; i < 6; ++i)
      samples[i] = (sym >> i) & 1 ? 2 : 1;  // 1 is J, 0 is K
  } else {
    n = 3;
    for (int i = 0; i < 3; ++i)
      samples[i] = (sym >> (2 * i)) & 3;
  }
  top = 0;
  vals[0] = samples[0];
  counts[0] = 1 + getNextCount();
  for (int i = 1; i < n; ++i) {
    if (samples[i] != vals[top])
      vals[++top] = samples[i];
    counts[top] += 1;
  }
  static_assert(TOP_2BIT == 0x40);
  return true;
}

bool Traw::getVal(int& val, int& count) {
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

bool Traw::getItem(TrawItem& item) {
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
