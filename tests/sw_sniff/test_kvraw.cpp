// Tests of the raw capture stream reader.
#include <gtest/gtest.h>

#include "kvraw.h"
#include "linestates.h"

using kvtest::rawBytes;

namespace {

struct RunOf {
  int val;
  int count;
  uint64_t strt;
  bool operator==(const RunOf&) const = default;
};

std::ostream& operator<<(std::ostream& os, const RunOf& r) {
  return os << "{" << r.val << "," << r.count << "@" << r.strt << "}";
}

std::vector<RunOf> runs(const std::vector<uint8_t>& bytes) {
  Traw raw(bytes);
  std::vector<RunOf> out;
  TrawItem it;
  while (raw.getItem(it)) {
    EXPECT_EQ(it.nxtStrt, it.strt + static_cast<uint64_t>(it.count));
    out.push_back({it.val, it.count, it.strt});
  }
  // End of data stays the end.
  EXPECT_FALSE(raw.getItem(it));
  return out;
}

}  // namespace

TEST(TrawHeader, RejectsShortWrongOrEmptyStreams) {
  EXPECT_TRUE(runs({}).empty());
  EXPECT_TRUE(runs({'K', 'O', 'R', 'V', 'A', 'N', 'E'}).empty());
  EXPECT_TRUE(runs({'K', 'O', 'R', 'V', 'A', 'N', 'E', ',', 0x3F}).empty());
  EXPECT_TRUE(runs(rawBytes({})).empty());
  EXPECT_TRUE(runs(rawBytes({0x80, 0xC5})).empty());
  const auto noSymbol = rawBytes({0x80, 0xC5});
  Traw bad(noSymbol);
  EXPECT_FALSE(bad.headerOk);
  int v = 7, c = 7;
  EXPECT_FALSE(bad.getVal(v, c));
  EXPECT_EQ(v, 0);
  EXPECT_EQ(c, 0);
  EXPECT_FALSE(bad.refill());
  EXPECT_EQ(bad.getNextCount(), 0);
}

TEST(TrawHeader, SkipsCountBytesBeforeTheFirstSymbol) {
  auto bytes = rawBytes({0x85, 0x3F});
  Traw raw(bytes);
  EXPECT_TRUE(raw.headerOk);
  EXPECT_EQ(raw.getRawDataIx(), 9u);
  EXPECT_EQ(runs(bytes), (std::vector<RunOf>{{2, 6, 0}}));
}

TEST(TrawSymbols, OneBitAndTwoBitSamplesInTimeOrder) {
  EXPECT_EQ(runs(rawBytes({0x00})), (std::vector<RunOf>{{1, 6, 0}}));
  EXPECT_EQ(runs(rawBytes({0x15})),
            (std::vector<RunOf>{{1, 1, 0}, {2, 1, 1}, {1, 1, 2}, {2, 1, 3}, {1, 1, 4}, {2, 1, 5}}));
  EXPECT_EQ(runs(rawBytes({0x4D})), (std::vector<RunOf>{{0, 1, 0}, {3, 1, 1}, {1, 1, 2}}));
  // End of packet in one byte: SE0 SE0 J, the J lengthened by the count.
  EXPECT_EQ(runs(rawBytes({0x42, 0x81})), (std::vector<RunOf>{{0, 2, 0}, {2, 2, 2}}));
  // Runs never merge across symbol bytes.
  EXPECT_EQ(runs(rawBytes({0x3F, 0x3F})), (std::vector<RunOf>{{2, 6, 0}, {2, 6, 6}}));
}

TEST(TrawCounts, ExtensionBytes) {
  EXPECT_EQ(runs(rawBytes({0x3F, 0x85})), (std::vector<RunOf>{{2, 11, 0}}));
  EXPECT_EQ(runs(rawBytes({0x3F, 0x81, 0xC1})), (std::vector<RunOf>{{2, 71, 0}}));
  EXPECT_EQ(runs(rawBytes({0x3F, 0x81, 0x82})), (std::vector<RunOf>{{2, 9, 0}}));  // start bytes add
  EXPECT_EQ(runs(rawBytes({0x3F, 0xC2})), (std::vector<RunOf>{{2, 8, 0}}));        // multiplier 1
  // a + 64 b + 4096 c
  EXPECT_EQ(runs(rawBytes({0x3F, 0x83, 0xC2, 0xC1})), (std::vector<RunOf>{{2, 6 + 3 + 128 + 4096, 0}}));
  // Only the latest sample is lengthened: K K K J J J then +5 on the last J.
  EXPECT_EQ(runs(rawBytes({0x07, 0x85})), (std::vector<RunOf>{{1, 3, 0}, {2, 8, 3}}));
}

TEST(TrawCounts, StreamEndingInsideACountHandsOutTheRun) {
  EXPECT_EQ(runs(rawBytes({0x3F, 0x81})), (std::vector<RunOf>{{2, 7, 0}}));
}

TEST(TrawCounts, HugeCountsSaturateInsteadOfOverflowing) {
  auto v = runs(rawBytes({0x3F, 0xBF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF}));
  ASSERT_EQ(v.size(), 1u);
  EXPECT_GT(v[0].count, 0);
  EXPECT_GE(v[0].count, 1 << 30);
  // The run after a saturated one starts where it ended.
  v = runs(rawBytes({0x3F, 0xBF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF, 0xDF, 0x00}));
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1].strt, static_cast<uint64_t>(v[0].count));
}

TEST(TrawCounts, StrayCountByteWhereASymbolIsDueIsSkipped) {
  // 0xE5 (111xxxxx) ends the count; it is no symbol, so the reader steps over it.
  EXPECT_EQ(runs(rawBytes({0x3F, 0x81, 0xE5, 0x00})), (std::vector<RunOf>{{2, 7, 0}, {1, 6, 7}}));
  EXPECT_EQ(runs(rawBytes({0x3F, 0xE0})), (std::vector<RunOf>{{2, 6, 0}}));
}

TEST(TrawProgress, ByteIndexCountsTheHeader) {
  auto bytes = rawBytes({0x3F, 0x81, 0x00});
  Traw raw(bytes);
  TrawItem it;
  ASSERT_TRUE(raw.getItem(it));
  EXPECT_EQ(raw.getRawDataIx(), 10u);
  ASSERT_TRUE(raw.getItem(it));
  EXPECT_EQ(raw.getRawDataIx(), 11u);
  EXPECT_EQ(raw.size(), 11u);
  EXPECT_EQ(raw.total, 7u + 6u);
}
