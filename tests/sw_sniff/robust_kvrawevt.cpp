// Robustness of the packet decoder on random and mutated streams, with a counting allocator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "kvrawevt.h"
#include "kvrowutils.h"
#include "robust_alloc.h"

namespace {

constexpr size_t MiB = 1 << 20;

// Decodes the stream and returns its row lines; checks the heap that the decode needed.
std::string decodeChecked(const std::vector<uint8_t>& raw) {
  const size_t base = kvtest::heapInUse();
  kvtest::resetHeapPeak();
  std::string text;
  {
    Tevents ev(raw);
    TrowVec rows;
    ev.getEvents(rows);
    const size_t peak = kvtest::heapPeak() - base;
    EXPECT_LE(peak, 64 * raw.size() + MiB) << "stream of " << raw.size() << " bytes";
    for (const auto& r : rows)
      text += rowutils::toString(r);
  }
  return text;
}

std::vector<uint8_t> magic() { return {'K', 'O', 'R', 'V', 'A', 'N', 'E', '.'}; }

std::vector<uint8_t> validStream() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  std::ifstream f(std::string(env ? env : KV_TEST_DATA_DIR) + "/captures/usb_failed_setup_fullspeed.raw",
                  std::ios::binary);
  std::vector<uint8_t> v{std::istreambuf_iterator<char>(f), {}};
  if (v.size() > 512)
    v.resize(512);
  return v;
}

}  // namespace

TEST(DecoderRobustness, RandomBytesAfterTheMagic) {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> raw = magic();
    const size_t n = rng() % 4096;
    for (size_t i = 0; i < n; ++i)
      raw.push_back(static_cast<uint8_t>(rng()));
    const std::string first = decodeChecked(raw);
    ASSERT_EQ(decodeChecked(raw), first) << "seed " << seed;
  }
}

// Every truncation, and a sample of single-byte changes at every position (four values each,
// drawn from a fixed seed): within the heap bound, and the same rows on a second run.
TEST(DecoderRobustness, TruncationsAndByteChangesOfAValidStream) {
  const std::vector<uint8_t> valid = validStream();
  ASSERT_EQ(valid.size(), 512u);
  EXPECT_FALSE(decodeChecked(valid).empty());
  for (size_t len = 0; len <= valid.size(); ++len) {
    // An exact-size copy, so that ASan catches a read one past the data.
    std::vector<uint8_t> cut(valid.begin(), valid.begin() + static_cast<long>(len));
    decodeChecked(cut);
  }
  std::mt19937 rng(11);
  std::vector<uint8_t> mutated = valid;
  for (size_t pos = 0; pos < valid.size(); ++pos) {
    for (int k = 0; k < 4; ++k) {
      const auto v = static_cast<uint8_t>(valid[pos] ^ (1 + rng() % 255));
      mutated[pos] = v;
      const std::string a = decodeChecked(mutated);
      if (k == 0 && pos % 8 == 0) {
        ASSERT_EQ(decodeChecked(mutated), a) << "pos " << pos << " value " << int{v};
      }
    }
    mutated[pos] = valid[pos];
  }
}

TEST(DecoderRobustness, StreamsClaimingHugeRunsInsidePackets) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    std::vector<uint8_t> raw = magic();
    for (int k = 0; k < 64; ++k) {
      raw.push_back(static_cast<uint8_t>(rng() % 0x80));  // a symbol byte
      if (rng() % 2) {
        raw.push_back(0xBF);
        for (int e = static_cast<int>(rng() % 8); e > 0; --e)
          raw.push_back(0xDF);
      }
    }
    const std::string first = decodeChecked(raw);
    ASSERT_EQ(decodeChecked(raw), first) << "round " << round;
  }
}
