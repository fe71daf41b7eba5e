// The capture dialog when a decode or the capture buffer fails: large allocations fail on demand,
// so it runs as a program of its own (it replaces the global allocator).
#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <new>
#include <thread>

#include "capture_driver.h"
#include "workloads.h"

namespace {

/// While armed, allocations of at least FAIL_FROM bytes made on any thread but the GUI thread
/// throw: the decode thread's view vectors outgrow that on a large capture, and so does a large
/// capture's buffer when armed before the capture starts; the capture thread's other and the
/// simulator's own allocations stay far below it.
constexpr size_t FAIL_FROM = size_t{1} << 20;
std::atomic<bool> armed{false};
std::thread::id guiThread;

void* allocate(size_t n) {
  if (n >= FAIL_FROM && armed.load(std::memory_order_acquire) && std::this_thread::get_id() != guiThread)
    throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1))
    return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t n) { return allocate(n); }
void* operator new[](size_t n) { return allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace captest;

class DecodeFailure : public DialogTest {
 protected:
  static void SetUpTestSuite() {
    // Back-to-back traffic: a 2 MiB capture makes more events than a 1 MiB vector holds.
    const std::vector<uint8_t> stream = usbenc::saturatedBus(size_t{2} << 20, 3);
    streamPath = processFile("saturated_stream.raw");
    writeBytes(streamPath, stream);
  }
  static void TearDownTestSuite() { std::remove(streamPath.c_str()); }
  void SetUp() override {
    DialogTest::SetUp();
    guiThread = std::this_thread::get_id();
    scenario(probeScenario("KV-SIM-0001") + "capture_file = " + streamPath + "\ncapture_rate = 2097152\n");
  }
  void TearDown() override {
    armed = false;
    DialogTest::TearDown();
  }

  static std::string streamPath;

  /// Script steps: Start a 2048 KBytes capture whose decode fails; checks what the page shows.
  static void failingCapture(TuiScript& script) {
    script.then("a 2 MiB capture", [] {
            type("2048");
            click(ID_START_BTN);
          })
        .when("the capture under way", [] { return state() == TctlPage::CTL_CAPTURING && wxstr2num(acqText()) > 0; },
              [] { armed = true; })
        .when("the decode", [] { return state() >= TctlPage::CTL_DECODING; }, [] { armed = false; })
        .when("OK enabled", okReady, [] {
          EXPECT_EQ(decText(), "Decode failed");
          EXPECT_EQ(label(ID_START_BTN), "Start");
          click(wxID_OK);
        });
  }
};

std::string DecodeFailure::streamPath;

TEST_F(DecodeFailure, OKKeepsTheRowsOfTheLastDecodeThatSucceeded) {
  std::vector<std::string> firstRows;
  TuiScript script;
  script
      .when("the probe initialised", hardwareOK,
            [] {
              type("64");
              click(ID_START_BTN);
            })
      .when("the first capture decoded", okReady, [&] {
        EXPECT_EQ(decText(), "100%");
        firstRows = rowLines(page()->exThreadRef().pLinearRowVec());
      });
  failingCapture(script);
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  ASSERT_FALSE(firstRows.empty());
  expectSameRows(rowLines(d->linVec), firstRows);
  ASSERT_TRUE(d->treeVec && d->evtVec);
  EXPECT_FALSE(d->treeVec->empty());
}

TEST_F(DecodeFailure, NoRowsWhenTheFirstDecodeFailed) {
  TuiScript script;
  script.when("the probe initialised", hardwareOK);
  failingCapture(script);
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectNoRows(*d);
}

using AllocationFailure = DecodeFailure;

// A capture buffer that cannot be allocated: the capture ends empty, and the footer says why
// until the next capture.
TEST_F(AllocationFailure, TheFooterNamesACaptureBufferThatCouldNotBeAllocated) {
  TuiScript script;
  script
      .when("the probe initialised", hardwareOK,
            [] {
              armed = true;
              type("2048");
              click(ID_START_BTN);
            })
      .when("the empty capture decoded", okReady,
            [] {
              armed = false;
              EXPECT_EQ(statusLine(), "Memory allocation failed");
              EXPECT_EQ(acqText(), "0 Bytes");
              type("64");
              click(ID_START_BTN);
            })
      .when("the next capture", [] { return state() == TctlPage::CTL_CAPTURING; },
            [] { EXPECT_EQ(statusLine(), "Hardware Initialized OK"); })
      .when("the next capture decoded", okReady, [] { click(wxID_CANCEL); });
  auto d = run(script);
  EXPECT_FALSE(d->retOK());
}

}  // namespace
