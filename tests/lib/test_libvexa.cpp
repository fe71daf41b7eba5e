// Tests of libvexacore's exports on the probe simulator: version, a handle without a probe, row
// read-out of a loaded sample file, and captures decoded through the library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "kvboxes.h"
#include "kvexthrd.h"
#include "kvlothrd.h"
#include "libvexa.h"
#include "probesim_control.h"
#include "sw_sniff/pipe_helpers.h"
#include "workloads.h"

using namespace kvtest;

namespace {

constexpr uint32_t NO_IX = std::numeric_limits<uint32_t>::max();
/// Bytes each capture reads first and drops.
constexpr size_t FRONT_PAD = 2048;

/// Polls cond until it holds or the deadline (a guard against hangs, wide for the sanitizers).
bool pollUntil(const std::function<bool()>& cond, std::chrono::seconds deadline = std::chrono::seconds(60)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

/// A golden capture of the test data: its raw stream and its row lines.
std::string goldenRows(const std::string& name) { return readFile(captureDir() + "/" + name + ".rows.txt"); }

/// Writes the golden rows of a capture as a sample file; returns its path.
std::string writeSampleFile(const TempDir& tmp, const std::string& name) {
  const std::string rows = goldenRows(name);
  const std::string path = tmp.path(name + ".kvd");
  writeFile(path, "KVFMT01\n" + std::to_string(rows.size()) + "\n" + rows, true);
  return path;
}

/// Every row of a handle as its row line, through getPacketDataRow's two-call pattern.
std::string rowLines(void* h) {
  std::string text;
  for (uint32_t i = 0, n = getPacketDataRowCount(h); i < n; ++i) {
    std::vector<char> buf(getPacketDataRow(h, i, nullptr, 0));
    EXPECT_EQ(getPacketDataRow(h, i, buf.data(), static_cast<uint32_t>(buf.size())), buf.size());
    text += buf.data();
  }
  return text;
}

/// A handle on a probe whose captures stream `stream` (written to a file in tmp), with extra
/// scenario keys; null on failure. Returns once the probe is ready.
void* handleStreaming(const TempDir& tmp, const std::vector<uint8_t>& stream, const std::string& keys = "") {
  const std::string streamFile = tmp.path("stream.raw");
  writeFile(streamFile, std::string(stream.begin(), stream.end()));
  if (ProbeSimControl::configure("[probe]\n" + keys + "capture_file=" + streamFile) != "") return nullptr;
  void* h = sniffInit();
  if (h && !pollUntil([h] { return getHardwareStatus(h) == LIBVEXA_HW_STATUS_OK; })) {
    sniffEnd(h);
    return nullptr;
  }
  return h;
}

/// The row lines of a direct decode of the first n bytes of stream.
std::string decodedLines(const std::vector<uint8_t>& stream, size_t n) {
  return linText(*decodeRaw(std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n))).lin);
}

/// A handle on a bus without a probe, shared by the suite (sniffInit takes 2 seconds).
class LibNoProbe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(ProbeSimControl::loaded()) << "libusb is " << ProbeSimControl::libusbPath();
    ASSERT_EQ(ProbeSimControl::configure(""), "");
    h = sniffInit();
  }
  static void TearDownTestSuite() {
    sniffEnd(h);
    h = nullptr;
  }
  void SetUp() override { ASSERT_NE(h, nullptr); }

  static void* h;
};
void* LibNoProbe::h = nullptr;

}  // namespace

// The version array is 41 bytes: the text and two zero bytes; the X form is the text alone.
TEST(LibVersion, SizesAndText) {
  char buf[48];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(version(nullptr, 0), 41u);
  EXPECT_EQ(version(nullptr, 41), 41u);
  EXPECT_EQ(version(buf, 40), 41u);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(version(buf, 41), 41u);
  EXPECT_EQ(buf[39], '\0');
  EXPECT_EQ(buf[40], '\0');
  EXPECT_EQ(buf[41], 'x');
  const std::string text(buf);
  EXPECT_THAT(text, ::testing::MatchesRegex(
                        "libvexacore DLL/SO,[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4},[0-9]{2}:[0-9]{2}:[0-9]{2}"));
  EXPECT_EQ(text.size(), 39u);
  EXPECT_STREQ(versionX(), text.c_str());
  sniffEnd(nullptr);  // ignored
}

// Without a probe the handle reports status -1 and the serial "unavailable", never raises
// hardware changed, and keeps a run request pending.
TEST_F(LibNoProbe, StatusSerialAndRequests) {
  EXPECT_EQ(getHardwareStatus(h), LIBVEXA_HW_STATUS_NOT_FOUND);
  EXPECT_EQ(getHardwareChanged(h), 0);
  char buf[16];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(getSerial(h, nullptr, 0), 12u);
  EXPECT_EQ(getSerial(h, nullptr, 100), 12u);
  EXPECT_EQ(getSerial(h, buf, 11), 12u);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(getSerial(h, buf, 12), 12u);
  EXPECT_STREQ(buf, "unavailable");
  EXPECT_EQ(buf[12], 'x');
  EXPECT_STREQ(getSerialX(h), "unavailable");

  EXPECT_EQ(setConnect(h, 1), 0);
  EXPECT_EQ(getRun(h), 0);
  setRun(h, 1);
  EXPECT_EQ(getRun(h), 1);  // nobody takes it up without a probe
  setRun(h, 0);
  EXPECT_EQ(getRun(h), 0);
  setStop(h, 7);
  EXPECT_EQ(getStop(h), 1);
  setStop(h, 0);
  EXPECT_EQ(getStop(h), 0);
  EXPECT_EQ(getCaptureDone(h), 0);
  EXPECT_EQ(getCaptureCount(h), 0u);
  EXPECT_EQ(getHardwareChanged(h), 0);
}

// Rows of a sample file read out as row lines, box strings and row pointers; every form of
// the index and buffer boundaries.
TEST_F(LibNoProbe, RowReadOut) {
  TempDir tmp;
  const std::string name = "olimex_stm32-h103_usb_hid";
  const std::string golden = goldenRows(name);
  const auto lines = splitLines(golden);
  ASSERT_EQ(sampleFileRead(h, writeSampleFile(tmp, name).c_str()), lines.size());
  const uint32_t n = getPacketDataRowCount(h);
  ASSERT_EQ(n, lines.size());
  EXPECT_EQ(rowLines(h), golden) << firstDifference(golden, rowLines(h));

  const auto lin = static_cast<TexThread*>(exh(h))->pLinearRowVec();
  for (uint32_t i = 0; i < n; ++i) {
    const char* x = getPacketDataRowX(h, i);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x, lines[i] + "\n");
    const char* boxes = getBoxStrX(h, i);
    ASSERT_NE(boxes, nullptr);
    EXPECT_EQ(boxes, Tboxes().getBoxesString((*lin)[i].row)) << "row " << i;
    const auto* row = static_cast<const Tbase*>(linix2rowptr(h, i));
    ASSERT_EQ(row, (*lin)[i].row.get());
    EXPECT_EQ(row->handle, static_cast<int>(i));
  }

  // Exact and one-short buffers: the text with its zero, or nothing at all.
  const std::string line0 = lines[0] + "\n";
  const uint32_t need = getPacketDataRow(h, 0, nullptr, 0);
  ASSERT_EQ(need, line0.size() + 1);
  std::vector<char> buf(need + 4, 'x');
  EXPECT_EQ(getPacketDataRow(h, 0, buf.data(), need - 1), need);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(getPacketDataRow(h, 0, buf.data(), need), need);
  EXPECT_EQ(std::string(buf.data()), line0);
  EXPECT_EQ(buf[need], 'x');

  // Out of range: 0 and an empty buffer, null from the X and pointer exports, and the X text
  // of the call before stays in place.
  const char* before = getBoxStrX(h, 1);
  ASSERT_NE(before, nullptr);
  const std::string beforeText = before;
  for (uint32_t ix : {n, n + 1, NO_IX}) {
    std::fill(buf.begin(), buf.end(), 'x');
    EXPECT_EQ(getPacketDataRow(h, ix, buf.data(), static_cast<uint32_t>(buf.size())), 0u);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x');
    buf[0] = 'x';
    EXPECT_EQ(getPacketDataRow(h, ix, buf.data(), 0), 0u);
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(getPacketDataRow(h, ix, nullptr, 10), 0u);
    EXPECT_EQ(getPacketDataRowX(h, ix), nullptr);
    EXPECT_EQ(getBoxStrX(h, ix), nullptr);
    EXPECT_EQ(linix2rowptr(h, ix), nullptr);
  }
  EXPECT_EQ(std::string(before), beforeText);

  // An entry that holds no row (only C++ code can make one): no boxes, no pointer.
  lin->emplace_back(nullptr, 0);
  EXPECT_EQ(getBoxStrX(h, n), nullptr);
  EXPECT_EQ(linix2rowptr(h, n), nullptr);
  EXPECT_STREQ(getPacketDataRowX(h, n), "");
  lin->pop_back();
}

// A load that yields no rows keeps the rows there were, pointers included; a good load replaces them.
TEST_F(LibNoProbe, FailedSampleFileReadKeepsRows) {
  TempDir tmp;
  const std::string first = "usb_failed_setup_fullspeed";
  const std::string second = "cp2102_setup_with_outdata_nak";
  const uint32_t n = sampleFileRead(h, writeSampleFile(tmp, first).c_str());
  ASSERT_GT(n, 0u);
  const void* row0 = linix2rowptr(h, 0);
  writeFile(tmp.path("plain.kvd"), "not a sample file\n");
  writeFile(tmp.path("norows.kvd"), "KVFMT01\n0\n", true);
  const std::string missing = tmp.path("missing.kvd"), plain = tmp.path("plain.kvd"),
                    norows = tmp.path("norows.kvd"), dir = tmp.path("");
  for (const char* path : {missing.c_str(), plain.c_str(), norows.c_str(), dir.c_str(), "",
                           static_cast<const char*>(nullptr)}) {
    EXPECT_EQ(sampleFileRead(h, path), 0u) << (path ? path : "(null)");
    EXPECT_EQ(getPacketDataRowCount(h), n);
    EXPECT_EQ(linix2rowptr(h, 0), row0);
  }
  EXPECT_EQ(rowLines(h), goldenRows(first));
  const uint32_t m = sampleFileRead(h, writeSampleFile(tmp, second).c_str());
  EXPECT_EQ(m, splitLines(goldenRows(second)).size());
  EXPECT_EQ(getPacketDataRowCount(h), m);
  EXPECT_EQ(rowLines(h), goldenRows(second));
}

// Decoding before any capture decodes nothing: no rows, done, and done stays readable.
TEST_F(LibNoProbe, DecodeWithoutCapture) {
  TempDir tmp;
  ASSERT_GT(sampleFileRead(h, writeSampleFile(tmp, "olimex_stm32-h103_usb_hid").c_str()), 0u);
  EXPECT_EQ(startDecode(h), 1);
  EXPECT_EQ(getPacketDataRowCount(h), 0u);
  EXPECT_EQ(getDecodedCount(h), 0u);
  EXPECT_EQ(getDecodeDone(h), 1);
  EXPECT_EQ(getDecodeDone(h), 1);
  EXPECT_EQ(linix2rowptr(h, 0), nullptr);
}

// The library decodes without changing its client's malloc settings: a block this large is
// still a mapping of its own afterwards (as the desktop program's heap placement would not have it).
TEST_F(LibNoProbe, DecodeLeavesTheClientsMallocSettingsAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers bring a malloc of their own";
#else
  EXPECT_EQ(startDecode(h), 1);
  constexpr size_t LARGE = size_t{64} << 20;
  const size_t mappedBefore = mallinfo2().hblks;
  void* block = std::malloc(LARGE);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(mallinfo2().hblks, mappedBefore + 1);
  std::free(block);
#endif
}

// A capture through the exports, polled from another thread than the one that started it;
// done is reported once, the decode's done stays, a setNeeded keeps the capture decodable, and a
// second capture of the same size that
// a pending stop ends at once keeps the first capture's bytes beyond its count of 0 (moved up
// by the dropped front pad) and decodes to nothing.
TEST(LibCapture, CaptureDecodeAndSecondCapture) {
  ASSERT_TRUE(ProbeSimControl::loaded()) << "libusb is " << ProbeSimControl::libusbPath();
  TempDir tmp;
  const std::vector<uint8_t> stream = usbenc::enumerationMix(32 * 1024, 7);
  void* h = handleStreaming(tmp, stream);
  ASSERT_NE(h, nullptr);
  constexpr uint32_t SIZE = 8192;

  // One capture: run on this thread, polled to its end on another.
  setNeeded(h, SIZE);
  setRun(h, 1);
  bool done = false;
  uint64_t lastCount = 0;
  std::thread poller([&] {
    done = pollUntil([&] {
      lastCount = getCaptureCount(h);
      return getCaptureDone(h) != 0;
    });
  });
  poller.join();
  ASSERT_TRUE(done);
  EXPECT_EQ(getCaptureDone(h), 0);
  EXPECT_EQ(getRun(h), 0);
  ASSERT_EQ(getCaptureCount(h), SIZE);
  EXPECT_EQ(lastCount, SIZE);
  const std::vector<uint8_t>& raw = *static_cast<TloThread*>(loh(h))->pRawData();
  const std::vector<uint8_t> first(stream.begin(), stream.begin() + SIZE);
  ASSERT_EQ(raw, first);

  EXPECT_EQ(startDecode(h), 1);
  EXPECT_EQ(getDecodeDone(h), 1);
  EXPECT_EQ(getDecodeDone(h), 1);
  EXPECT_GT(getDecodedCount(h), 0u);
  EXPECT_LE(getDecodedCount(h), SIZE);
  const std::string expected = linText(*decodeRaw(first).lin);
  EXPECT_GT(splitLines(expected).size(), 10u);
  EXPECT_EQ(rowLines(h), expected) << firstDifference(expected, rowLines(h));

  // setNeeded sets the size only: the count stays, and the capture decodes again to the same rows.
  setNeeded(h, SIZE);
  EXPECT_EQ(getCaptureCount(h), SIZE);
  EXPECT_EQ(startDecode(h), 1);
  EXPECT_EQ(rowLines(h), expected) << firstDifference(expected, rowLines(h));

  // The second capture: a stop made while idle ends it before its first read.
  setStop(h, 1);
  setRun(h, 1);
  ASSERT_TRUE(pollUntil([h] { return getCaptureDone(h) != 0; }));
  EXPECT_EQ(getStop(h), 0);
  EXPECT_EQ(getCaptureCount(h), 0u);
  // The capture drops its front pad, so the earlier bytes stand that much further forward.
  std::vector<uint8_t> kept(first.begin() + FRONT_PAD, first.end());
  kept.resize(SIZE, 0);
  EXPECT_EQ(raw, kept);
  EXPECT_EQ(startDecode(h), 1);
  EXPECT_EQ(getPacketDataRowCount(h), 0u);
  EXPECT_EQ(getDecodeDone(h), 1);
  sniffEnd(h);
}

// A second capture, larger than the first, requested from another thread while startDecode
// reads the first: the capture thread leaves the buffer alone until the decode has ended (the
// run request stays pending meanwhile), so the decode gives the first capture's rows, and the
// second capture follows.
TEST(LibCapture, SecondCaptureRequestedDuringADecodeWaitsForIt) {
  ASSERT_TRUE(ProbeSimControl::loaded()) << "libusb is " << ProbeSimControl::libusbPath();
  constexpr uint32_t FIRST = 8u << 20;
  constexpr uint32_t SECOND = 2 * FIRST;  // a larger buffer moves to new memory
  TempDir tmp;
  const std::vector<uint8_t> stream = usbenc::enumerationMix(FIRST, 3);
  void* h = handleStreaming(tmp, stream);
  ASSERT_NE(h, nullptr);
  setNeeded(h, FIRST);
  setRun(h, 1);
  ASSERT_TRUE(pollUntil([h] { return getCaptureDone(h) != 0; }));
  ASSERT_EQ(getCaptureCount(h), FIRST);
  const std::string expected = decodedLines(stream, FIRST);

  bool requested = false, takenDuringDecode = false, decodeEndedFirst = false;
  std::thread other([&] {
    if (!pollUntil([h] { return getDecodedCount(h) > 0; })) return;
    setNeeded(h, SECOND);
    setRun(h, 1);
    requested = true;
    // Until the run is taken or the decode has ended; a run taken while the decode still runs
    // would resize the buffer under it.
    pollUntil([h] { return getRun(h) == 0 || getDecodeDone(h) != 0; });
    takenDuringDecode = getRun(h) == 0 && getDecodeDone(h) == 0;
    decodeEndedFirst = getDecodeDone(h) != 0;
  });
  const int decoded = startDecode(h);
  other.join();
  ASSERT_TRUE(requested) << "the decode ended before the other thread saw it run";
  EXPECT_EQ(decoded, 1);
  EXPECT_FALSE(takenDuringDecode);
  EXPECT_TRUE(decodeEndedFirst);
  EXPECT_EQ(rowLines(h), expected) << firstDifference(expected, rowLines(h));
  ASSERT_TRUE(pollUntil([h] { return getCaptureDone(h) != 0; }));
  EXPECT_EQ(getCaptureCount(h), SECOND);
  sniffEnd(h);
}

// What a client gets when the probe is unplugged mid-capture: the capture is reported done with
// the count of the bytes captured before, which decode; then the change to "not found".
TEST(LibCapture, UnplugMidCapture) {
  ASSERT_TRUE(ProbeSimControl::loaded()) << "libusb is " << ProbeSimControl::libusbPath();
  TempDir tmp;
  const std::vector<uint8_t> stream = usbenc::enumerationMix(1 << 20, 5);
  void* h = handleStreaming(tmp, stream, "capture_rate=262144\n");
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(pollUntil([h] { return getHardwareChanged(h) != 0; }));
  setNeeded(h, 1 << 20);
  setRun(h, 1);
  ASSERT_TRUE(pollUntil([h] { return getCaptureCount(h) >= 65536; }));
  ASSERT_TRUE(ProbeSimControl::unplug(0));
  ASSERT_TRUE(pollUntil([h] { return getCaptureDone(h) != 0; }));
  const uint64_t count = getCaptureCount(h);
  EXPECT_GE(count, 65536u);
  EXPECT_LT(count, 1u << 20);
  EXPECT_EQ(startDecode(h), 1);
  const std::string expected = decodedLines(stream, count);
  EXPECT_GT(getPacketDataRowCount(h), 0u);
  EXPECT_EQ(rowLines(h), expected) << firstDifference(expected, rowLines(h));
  ASSERT_TRUE(pollUntil([h] { return getHardwareChanged(h) != 0; }));
  EXPECT_EQ(getHardwareStatus(h), LIBVEXA_HW_STATUS_NOT_FOUND);
  EXPECT_EQ(getCaptureCount(h), count);
  sniffEnd(h);
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

/// Runs in a child process: with the address space limited to what is mapped now, the decode
/// thread's stack cannot be mapped, so the decode fails and leaves no rows; the capture's bytes
/// stay, and once the limit is lifted the same handle decodes them.
[[noreturn]] void failingDecodeChild(void* h) {
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1) pages = 0;
    std::fclose(f);
  }
  rlimit old{};
  if (pages == 0 || getrlimit(RLIMIT_AS, &old) != 0) std::_Exit(2);
  const rlimit rl{static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)), old.rlim_max};
  if (setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(2);
  const bool failed = startDecode(h) == 0 && getDecodeDone(h) == 0 && getPacketDataRowCount(h) == 0;
  if (setrlimit(RLIMIT_AS, &old) != 0) std::_Exit(2);
  const bool again = startDecode(h) == 1 && getDecodeDone(h) == 1 && getPacketDataRowCount(h) > 0;
  std::_Exit(failed && again ? 0 : 1);
}

}  // namespace
#endif

// A decode that fails (no memory) is reported as failed by startDecode and getDecodeDone, and a
// later startDecode decodes the same capture.
TEST(LibCapture, FailedDecodeReportsZero) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
#else
  ASSERT_TRUE(ProbeSimControl::loaded());
  ASSERT_EQ(ProbeSimControl::configure("[probe]\ncapture_traffic=enumerateHid"), "");
  void* h = sniffInit();
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(pollUntil([h] { return getHardwareStatus(h) == LIBVEXA_HW_STATUS_OK; }));
  setNeeded(h, 2048);
  setRun(h, 1);
  ASSERT_TRUE(pollUntil([h] { return getCaptureDone(h) != 0; }));
  ASSERT_EQ(getCaptureCount(h), 2048u);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(failingDecodeChild(h), ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(startDecode(h), 1);  // here, without the limit
  EXPECT_GT(getPacketDataRowCount(h), 0u);
  sniffEnd(h);
#endif
}
