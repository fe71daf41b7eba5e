// Robustness of the sample-file reader and its pipeline caller when memory runs out part way,
// and of the decode when the system has too little memory for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <optional>

#include "kvexthrd.h"
#include "kvmemory.h"
#include "pipe_helpers.h"
#include "robust_alloc.h"

using namespace kvtest;

namespace {

/// A sample file of groups and packets, and its rows as loaded.
const std::string ROWS =
    "0;C:CONTROL;X:2\n"
    "  1;T:SETUP;X:3\n"
    "    2;K:13;TI:100;AD:0;EP:0;5P:02;TL:4\n"
    "    2;D:3;TI:139;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4\n"
    "    2;H:2;TI:251;TL:20\n"
    "  1;T:IN;X:2\n"
    "    2;K:9;TI:300;AD:0;EP:0;5P:0c;TL:6\n"
    "    2;H:10;TI:341;TL:8000\n"
    "0;G:SOFgroup;X:2\n"
    "  1;S:5;TI:9999;FR:3;5P:0c;TL:1\n"
    "  1;S:5;TI:12999;FR:4;5P:0c;TL:1\n"
    "0;Y:Reset;TI:20000;RL:30000;TL:4\n";

std::string sampleFile(const std::string& body) {
  return "KVFMT01\n" + std::to_string(body.size()) + "\n" + body;
}

/// The outcome of one call with memory running out from the n-th allocation on.
template <typename F>
auto withMemoryFailingFrom(long n, F&& f) {
  failAllocationsFrom(n);
  try {
    auto result = f();
    stopFailingAllocations();
    return std::optional<decltype(result)>(result);
  } catch (const std::bad_alloc&) {
    stopFailingAllocations();
    return std::optional<decltype(f())>();
  }
}

}  // namespace

// Memory running out at any allocation of a load lets no exception out: the result is 0 and the
// caller's rows stay as they were, or the load completes.
TEST(SampleFileRobustness, OutOfMemoryAnywhereGivesZeroAndKeepsTheRows) {
  TempDir tmp;
  const std::string path = tmp.path("a.kvd");
  writeFile(path, sampleFile(ROWS), true);
  const size_t rows = splitLines(ROWS).size();

  failAllocationsFrom(-1);
  {
    Views v;
    ASSERT_EQ(TdataIO().loadLinearFile(path, v.roots, v.lin), rows);
  }
  const long needed = allocationsSinceArmed();
  ASSERT_GT(needed, 10);

  for (long n = 0; n <= needed; ++n) {
    Views v;
    *v.lin = TlinRowVec{TlinRow(std::make_shared<Thandshake>(), 0)};
    v.roots->push_back(v.lin->front().row);
    const auto got = withMemoryFailingFrom(n, [&] { return TdataIO().loadLinearFile(path, v.roots, v.lin); });
    ASSERT_TRUE(got) << "an exception left the load, memory failing from allocation " << n;
    if (*got == 0) {
      EXPECT_TRUE(v.lin->size() == 1 && v.roots->size() == 1) << "allocation " << n;
    } else {
      EXPECT_EQ(*got, rows);
      EXPECT_EQ(linText(*v.lin), ROWS);
    }
  }

  TexThread ex;
  writeFile(tmp.path("one.kvd"), sampleFile("0;H:2;TI:1;TL:1\n"), true);
  ASSERT_EQ(ex.sampleFileRead(tmp.path("one.kvd")), 1u);
  for (long n = 0; n <= needed + 4; ++n) {
    const auto lin = ex.pLinearRowVec();
    const auto got = withMemoryFailingFrom(n, [&] { return ex.sampleFileRead(path); });
    ASSERT_TRUE(got) << "an exception left sampleFileRead, memory failing from allocation " << n;
    if (*got == 0) {
      EXPECT_TRUE(ex.pLinearRowVec() == lin && linText(*lin) == "0;H:2;TI:1;TL:1\n") << "allocation " << n;
    } else {
      EXPECT_EQ(linText(*ex.pLinearRowVec()), ROWS);
      ASSERT_EQ(ex.sampleFileRead(tmp.path("one.kvd")), 1u);
    }
  }
}

namespace {

/// The memory seam of the decode tests: the system has `limit` bytes free when the decode
/// starts (at `base` bytes of heap) and loses each byte that the heap takes beyond that.
uint64_t limit = 0;
size_t base = 0;
int questions = 0;
uint64_t limitedMemory() {
  ++questions;
  const size_t grown = heapInUse() - std::min(heapInUse(), base);
  return limit > grown ? limit - grown : 0;
}

}  // namespace

// A capture whose decode would not fit into the memory the system can give fails early, with no
// rows and without taking more than there was: before its first row when even the least it
// needs does not fit, as the rows come when the rest of them does not. What it made is freed,
// and the bytes decode again once the memory is there. A small decode never asks.
TEST(DecodeMemory, CapturesThatWouldNotFitFailEarly) {
  const std::vector<uint8_t> small = readBytes(captureDir() + "/cp2110_serial_over_hid_ut612.raw");
  // The capture's symbol bytes forty times over: about 400,000 events in 4 MB.
  std::vector<uint8_t> raw(small);
  for (int i = 1; i < 40; ++i) raw.insert(raw.end(), small.begin() + 8, small.end());
  const std::string smallRows = linText(*decodeRaw(small).lin);
  const std::string rows = linText(*decodeRaw(raw).lin);
  ASSERT_GT(splitLines(rows).size(), 400000u);
  const std::vector<uint8_t> bytes(raw);

  TexThread ex;
  const struct {
    const char* what;
    const std::vector<uint8_t>* raw;
    uint64_t free;  ///< beyond the headroom
    bool decodes;
    bool rowsMade;  ///< a failed decode got past the check before the first row
  } cases[] = {
      {"not even the events fit", &raw, 1 << 20, false, false},
      {"the rows outgrow what is free", &raw, 48 << 20, false, true},
      {"a small decode asks nothing", &small, 0, true, true},
      {"the same bytes once the memory is there", &raw, uint64_t{4} << 30, true, true},
  };
  for (const auto& c : cases) {
    limit = utils::MEMORY_HEADROOM + c.free;
    questions = 0;
    base = heapInUse();
    resetHeapPeak();
    utils::setMemorySource(&limitedMemory);
    EXPECT_TRUE(ex.startDecode(c.raw));
    utils::setMemorySource(nullptr);
    const size_t peak = heapPeak() - base;
    EXPECT_EQ(ex.getSucceeded(), c.decodes) << c.what;
    EXPECT_LE(peak, limit) << c.what << ": took " << peak << " bytes";
    if (c.decodes) {
      EXPECT_EQ(linText(*ex.pLinearRowVec()), c.raw == &raw ? rows : smallRows) << c.what;
      EXPECT_EQ(questions > 0, c.raw == &raw) << c.what << ": " << questions << " questions";
    } else {
      // Stopped before the first row or on the way, without a pass over the whole stream.
      EXPECT_EQ(ex.getDecodedCount() > 0, c.rowsMade) << c.what;
      EXPECT_LT(ex.getDecodedCount(), raw.size() / 2) << c.what;
      EXPECT_TRUE(ex.pEventVec()->empty() && ex.pTreeRootVec()->empty() && ex.pLinearRowVec()->empty()) << c.what;
      EXPECT_LE(heapInUse(), base + 4096) << c.what << ": what the failed decode made stays";
    }
  }
  EXPECT_TRUE(raw == bytes);
}
