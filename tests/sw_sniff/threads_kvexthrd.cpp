// Tests of the decode pipeline object: the decode thread, its progress atomics and its views.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "kvexthrd.h"
#include "pipe_helpers.h"

using namespace kvtest;

namespace {

/// A capture's raw stream and its golden flat list.
struct Golden {
  std::vector<uint8_t> raw;
  std::string rows;
};

Golden golden(size_t i) {
  const std::string base = captureDir() + "/" + captureNames().at(i);
  return {readBytes(base + ".raw"), readFile(base + ".rows.txt")};
}

}  // namespace

// A holder of a view pointer sees it emptied and refilled by each decode; sampleFileRead swaps
// in new lists only when the file gives rows, and the old list stays whole for its holder.
TEST(TexThread, ViewsAcrossDecodesAndSampleFileReads) {
  TexThread ex;
  EXPECT_FALSE(ex.getDone());
  const std::vector<uint8_t> none;
  for (const std::vector<uint8_t>* raw : {&none, static_cast<const std::vector<uint8_t>*>(nullptr)}) {
    EXPECT_TRUE(ex.startDecode(raw));
    EXPECT_TRUE(ex.getDone());
    EXPECT_EQ(ex.getDecodedCount(), 0u);
    EXPECT_TRUE(ex.pEventVec()->empty() && ex.pTreeRootVec()->empty() && ex.pLinearRowVec()->empty());
  }
  const auto lin = ex.pLinearRowVec();
  const auto events = ex.pEventVec();
  const auto roots = ex.pTreeRootVec();
  const Golden a = golden(0);
  const Golden b = golden(1);
  for (const Golden* g : {&b, &a}) {
    ASSERT_TRUE(ex.startDecode(&g->raw));
    EXPECT_EQ(linText(*lin), g->rows) << firstDifference(g->rows, linText(*lin));
    EXPECT_FALSE(events->empty() || roots->empty());
    EXPECT_GT(ex.getDecodedCount(), 0u);
    EXPECT_LE(ex.getDecodedCount(), g->raw.size());
    EXPECT_TRUE(lin == ex.pLinearRowVec() && events == ex.pEventVec() && roots == ex.pTreeRootVec());
  }

  TempDir tmp;
  const size_t eventCount = events->size();
  writeFile(tmp.path("short.kvd"), "KVFMT01");
  writeFile(tmp.path("empty.kvd"), "KVFMT01\n0\n", true);
  writeFile(tmp.path("dashes.kvd"), "KVFMT01\n4\n-\n-\n", true);
  writeFile(tmp.path("b.kvd"), "KVFMT01\n" + std::to_string(b.rows.size()) + "\n" + b.rows, true);
  for (const char* name : {"short.kvd", "empty.kvd", "dashes.kvd", "missing.kvd"}) {
    EXPECT_EQ(ex.sampleFileRead(tmp.path(name)), 0u) << name;
    EXPECT_TRUE(ex.pLinearRowVec() == lin && ex.pTreeRootVec() == roots) << name;
    EXPECT_EQ(linText(*lin), a.rows) << name;
  }
  EXPECT_EQ(ex.sampleFileRead(tmp.path("b.kvd")), splitLines(b.rows).size());
  EXPECT_TRUE(ex.pLinearRowVec() != lin && ex.pTreeRootVec() != roots);
  EXPECT_EQ(linText(*ex.pLinearRowVec()), b.rows);
  EXPECT_EQ(linText(*lin), a.rows);
  EXPECT_FALSE(roots->empty());
  EXPECT_TRUE(ex.pEventVec() == events && events->size() == eventCount);  // the last decode's events stay
}

// Another thread watches the progress while the owner is blocked in startDecode.
TEST(TexThread, ProgressIsReadableDuringDecode) {
  const Golden a = golden(0);
  // The capture's symbol and count bytes repeated make a long stream of the same traffic.
  std::vector<uint8_t> raw(a.raw.begin(), a.raw.end());
  for (int i = 0; i < 200; ++i) raw.insert(raw.end(), a.raw.begin() + 8, a.raw.end());

  TexThread ex;
  std::atomic<bool> started{false};
  std::atomic<bool> monotonic{true};
  std::thread watcher([&] {
    size_t last = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!started.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    while (!ex.getDone() && std::chrono::steady_clock::now() < deadline) {
      const size_t now = ex.getDecodedCount();
      if (now < last) monotonic = false;
      last = now;
      std::this_thread::yield();
    }
  });
  started = true;
  EXPECT_TRUE(ex.startDecode(&raw));
  watcher.join();
  EXPECT_TRUE(monotonic.load());
  EXPECT_GT(ex.getDecodedCount(), a.raw.size());
  EXPECT_LE(ex.getDecodedCount(), raw.size());
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

/// Runs in a child process: a stream of SE0 samples, for which the decode reserves room for an
/// event per eight bytes, more than the limited address space leaves, so the decode throws.
[[noreturn]] void failingDecodeChild(const std::vector<uint8_t>& capture) {
  std::vector<uint8_t> big(256u << 20, 0x40);
  std::copy(capture.begin(), capture.begin() + 8, big.begin());
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
  const rlimit rl{limit, limit};
  if (pages == 0 || setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(2);
  TexThread failing;
  const bool done = failing.startDecode(&big, big.size() - 1);
  std::_Exit(done && failing.getDone() && !failing.getSucceeded() ? 0 : 1);
}

}  // namespace
#endif

// Only the first `count` bytes are decoded (a capture buffer may hold older bytes beyond its
// capture count); and a decode that fails (out of memory) still raises done, with succeeded false.
TEST(TexThread, DecodesTheCountAndFinishesAlsoWhenItFails) {
  const Golden a = golden(0);
  TexThread ex;
  for (const size_t count : {size_t{0}, size_t{7}}) {
    EXPECT_TRUE(ex.startDecode(&a.raw, count));
    EXPECT_TRUE(ex.getSucceeded());
    EXPECT_TRUE(ex.pLinearRowVec()->empty()) << count;
  }
  for (const size_t count : {a.raw.size(), a.raw.size() + 1, SIZE_MAX}) {
    EXPECT_TRUE(ex.startDecode(&a.raw, count));
    EXPECT_EQ(linText(*ex.pLinearRowVec()), a.rows) << count;
  }
  // The capture followed by a second copy of its symbol bytes: counted, only the first shows.
  std::vector<uint8_t> longer(a.raw);
  longer.insert(longer.end(), a.raw.begin() + 8, a.raw.end());
  EXPECT_TRUE(ex.startDecode(&longer, a.raw.size()));
  EXPECT_EQ(linText(*ex.pLinearRowVec()), a.rows);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators abort instead of throwing";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(failingDecodeChild(a.raw), ::testing::ExitedWithCode(0), "");
#endif
}
