// Tests of the decode pipeline object: the decode thread, its progress atomics and its views.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "kvexthrd.h"
#include "pipe_helpers.h"

using namespace kvtest;

namespace {

std::vector<uint8_t> capture(const std::string& name) { return readBytes(captureDir() + "/" + name + ".raw"); }

/// The first capture and its golden flat list.
struct Golden {
  std::vector<uint8_t> raw;
  std::string rows;
};

Golden golden(size_t i) {
  const auto names = captureNames();
  if (i >= names.size()) return {};
  return {capture(names[i]), readFile(captureDir() + "/" + names[i] + ".rows.txt")};
}

}  // namespace

TEST(TexThread, EmptyStreamGivesEmptyViews) {
  TexThread ex;
  EXPECT_FALSE(ex.getDone());
  const std::vector<uint8_t> none;
  EXPECT_TRUE(ex.startDecode(&none));
  EXPECT_TRUE(ex.getDone());
  EXPECT_EQ(ex.getDecodedCount(), 0u);
  EXPECT_TRUE(ex.pEventVec()->empty() && ex.pTreeRootVec()->empty() && ex.pLinearRowVec()->empty());
  EXPECT_TRUE(ex.startDecode(nullptr));
  EXPECT_TRUE(ex.pLinearRowVec()->empty());
}

TEST(TexThread, HeldViewsAreEmptiedAndRefilled) {
  const Golden a = golden(0);
  const Golden b = golden(1);
  ASSERT_FALSE(a.raw.empty());
  ASSERT_FALSE(b.raw.empty());
  TexThread ex;
  auto lin = ex.pLinearRowVec();
  auto events = ex.pEventVec();
  auto roots = ex.pTreeRootVec();
  ASSERT_TRUE(ex.startDecode(&a.raw));
  EXPECT_EQ(linText(*lin), a.rows) << firstDifference(a.rows, linText(*lin));
  EXPECT_FALSE(events->empty());
  EXPECT_FALSE(roots->empty());
  EXPECT_GT(ex.getDecodedCount(), 0u);
  EXPECT_LE(ex.getDecodedCount(), a.raw.size());

  ASSERT_TRUE(ex.startDecode(&b.raw));
  EXPECT_EQ(lin, ex.pLinearRowVec());
  EXPECT_EQ(linText(*lin), b.rows) << firstDifference(b.rows, linText(*lin));
  EXPECT_EQ(events, ex.pEventVec());
  EXPECT_EQ(roots, ex.pTreeRootVec());
}

// Another thread watches the progress while the owner is blocked in startDecode.
TEST(TexThread, ProgressIsReadableDuringDecode) {
  const Golden a = golden(0);
  ASSERT_FALSE(a.raw.empty());
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

TEST(TexThread, SampleFileReadSwapsOnlyOnRows) {
  const Golden a = golden(0);
  const Golden b = golden(1);
  TexThread ex;
  ASSERT_TRUE(ex.startDecode(&a.raw));
  auto oldLin = ex.pLinearRowVec();
  auto oldRoots = ex.pTreeRootVec();
  auto events = ex.pEventVec();
  const size_t eventCount = events->size();

  TempDir tmp;
  // Files that give no rows change nothing.
  writeFile(tmp.path("short.kvd"), "KVFMT01");
  writeGz(tmp.path("empty.kvd"), "KVFMT01\n0\n");
  writeGz(tmp.path("dashes.kvd"), "KVFMT01\n4\n-\n-\n");
  for (const char* name : {"short.kvd", "empty.kvd", "dashes.kvd", "missing.kvd"}) {
    std::string path = tmp.path(name);
    EXPECT_EQ(ex.sampleFileRead(path), 0u) << name;
    EXPECT_EQ(ex.pLinearRowVec(), oldLin) << name;
    EXPECT_EQ(ex.pTreeRootVec(), oldRoots) << name;
    EXPECT_EQ(linText(*oldLin), a.rows) << name;
  }

  // A file with rows is swapped in whole; the old list stays whole for its holder.
  writeGz(tmp.path("b.kvd"), "KVFMT01\n" + std::to_string(b.rows.size()) + "\n" + b.rows);
  std::string path = tmp.path("b.kvd");
  const size_t n = ex.sampleFileRead(path);
  EXPECT_EQ(n, splitLines(b.rows).size());
  EXPECT_NE(ex.pLinearRowVec(), oldLin);
  EXPECT_NE(ex.pTreeRootVec(), oldRoots);
  EXPECT_EQ(linText(*ex.pLinearRowVec()), b.rows);
  EXPECT_EQ(linText(*oldLin), a.rows);
  EXPECT_FALSE(oldRoots->empty());
  EXPECT_EQ(ex.pEventVec(), events);  // the event rows of the last decode stay
  EXPECT_EQ(events->size(), eventCount);
}
