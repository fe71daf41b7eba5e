// Tests of the row pool: rows outliving their decoder and pool, freed on another thread.
#include <gtest/gtest.h>

#include <thread>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "kvexthrd.h"
#include "kvrowpool.h"
#include "kvrowutils.h"
#include "usbenc.h"

namespace {

std::vector<std::string> lines(const TlinRowVec& lin) {
  std::vector<std::string> out;
  for (const auto& r : lin) out.push_back(rowutils::toString(r.row));
  return out;
}

size_t heapInUse() {
#if defined(__GLIBC__)
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
#else
  return 0;
#endif
}

}  // namespace

// The views of a decode stay whole after the pipeline object, its decoder and its grouper are
// gone: the rows keep their chunks alive.
TEST(TrowPool, RowsOutliveTheirDecoder) {
  usbenc::RandomOptions opt;
  opt.faultRate = 0.1;
  const auto capture = usbenc::encode(usbenc::randomEvents(7, 4000, opt));
  std::shared_ptr<TlinRowVec> lin;
  std::vector<std::string> whileAlive;
  {
    TexThread ex;
    ASSERT_TRUE(ex.startDecode(&capture.stream));
    lin = ex.pLinearRowVec();
    whileAlive = lines(*lin);
  }
  ASSERT_GT(whileAlive.size(), 4000u);
  EXPECT_EQ(lines(*lin), whileAlive);
}

// Rows released on another thread while the owner keeps making rows from the same pool, through
// several chunks; every chunk goes back once the pool and the last row are gone.
TEST(TrowPool, ReleaseOnAnotherThreadWhileTheOwnerAllocates) {
  constexpr int N = 60000;  // about 12 MB of rows: chunks of 64 KiB to 8 MiB
  const size_t before = heapInUse();
  {
    auto pool = std::make_unique<TrowPool>();
    std::vector<std::shared_ptr<Tdata>> first, second;
    first.reserve(N);
    second.reserve(N);
    for (int i = 0; i < N; ++i) {
      first.push_back(pool->make<Tdata>());
      first.back()->strt = static_cast<uint64_t>(i);
      first.back()->data.assign(static_cast<size_t>(i % 70), static_cast<uint8_t>(i));
    }
    std::thread dropper([&first] {
      for (size_t i = 0; i < first.size(); i += 2) first[i].reset();
    });
    for (int i = 0; i < N; ++i) second.push_back(pool->make<Tdata>());
    dropper.join();
    for (size_t i = 1; i < first.size(); i += 2) {
      ASSERT_EQ(first[i]->strt, i);
      ASSERT_EQ(first[i]->data.size(), i % 70);
    }
    pool.reset();  // the rows still hold the chunks
    TrowPtr last = first[N - 1];
    first.clear();
    second.clear();
    EXPECT_EQ(static_cast<Tdata&>(*last).strt, static_cast<uint64_t>(N - 1));
    std::thread([l = std::move(last)]() mutable { l.reset(); }).join();
  }
  // Nothing of the pool is left: the heap is back where it was, give or take gtest's own use.
  EXPECT_LT(heapInUse(), before + (size_t{1} << 20));
}

// Under AddressSanitizer the pool's free memory is poisoned: reading a row after its last
// holder let it go, here on another thread while the pool lives on, is reported at once.
TEST(TrowPoolDeathTest, UseAfterReleaseIsCaughtUnderAsan) {
#if KV_ROWPOOL_ASAN
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TrowPool pool;
  auto keep = pool.make<Tdata>();
  auto row = pool.make<Tdata>();
  row->strt = 42;
  volatile uint64_t* strt = &row->strt;
  std::thread([r = std::move(row)]() mutable { r.reset(); }).join();
  EXPECT_EQ(keep->strt, MAX_TICK);  // the live row beside it is still readable
  EXPECT_DEATH((void)*strt, "use-after-poison");
#else
  GTEST_SKIP() << "only an AddressSanitizer build sees the poisoned memory";
#endif
}
