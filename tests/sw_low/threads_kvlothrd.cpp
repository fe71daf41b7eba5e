// Tests of the capture thread against the probe simulator: requests, capture sizes, flags, faults and shutdown.
#include "kvexthrd.h"
#include "kvlothrd.h"
#include "kvmemory.h"
#include "kvxo2dat.h"
#include "probesim_control.h"
#include "sw_sniff/child_helpers.h"
#include "sw_sniff/pipe_helpers.h"
#include "usbenc.h"
#include "workloads.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Clock = std::chrono::steady_clock;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
/// Sanitizer builds run several times slower: deadlines against hangs grow with them.
constexpr int SLOW = 5;
constexpr bool SANITIZED = true;
#else
constexpr int SLOW = 1;
constexpr bool SANITIZED = false;
#endif

/// Short waits: a 10 ms loop, the USB layer's waits divided by 40, busy waits bounded at 2 s.
const TloWaits FAST{10ms, 40, 2000};
/// The product's loop delay with the USB layer's waits shortened.
const TloWaits PRODUCT_LOOP{250ms, 40, 2000};

constexpr size_t PAD = 2048;
constexpr uint8_t IDLE_BYTE = 0x3F;

/// Polls pred until it holds or the deadline (stretched under the sanitizers) has passed.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = Clock::now() + limit * SLOW;
  while (!pred()) {
    if (Clock::now() > end)
      return pred();
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

/// A probe whose EEPROM holds this build's FPGA checksum (no update), a quick re-enumeration,
/// and extra keys.
std::string probe(const std::string& keys = "") {
  char sum[16];
  std::snprintf(sum, sizeof sum, "0x%08X", static_cast<unsigned>(fpgaConfigChecksum));
  return std::string("reenum_delay_ms = 20\n[probe]\neeprom_checksum = ") + sum + "\n" + keys;
}

/// The simulator's log as a list of steps: control transfers "<type> <request> <value> <length>"
/// (OUT ones with their data), interrupt reads "read <length> got <n>", "cpucs <byte>" for the
/// 8051 reset switch (other 0xA0 requests left out), "close" for a closed handle and bus events
/// by name.
std::vector<std::string> steps(const std::vector<std::string>& log) {
  static const std::regex control(
      R"(^libusb_control_transfer .*type=0x(\w+) request=0x(\w+) value=0x(\w+) .*length=(\d+) data=(\S+))");
  static const std::regex read(R"(^libusb_interrupt_transfer .*length=(\d+) .*transferred=(\d+))");
  static const std::regex event(R"(^event (\w+))");
  std::vector<std::string> out;
  std::smatch m;
  for (const auto& line : log) {
    if (std::regex_search(line, m, control)) {
      if (m.str(2) == "a0") {
        if (m.str(3) == "e600" && m.str(1) == "40")
          out.push_back("cpucs " + m.str(5));
        continue;
      }
      std::string s = m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4);
      if (m.str(1) == "40")
        s += " " + m.str(5);
      out.push_back(s);
    } else if (std::regex_search(line, m, read)) {
      out.push_back("read " + m.str(1) + " got " + m.str(2));
    } else if (std::regex_search(line, m, event)) {
      out.push_back(m.str(1));
    } else if (line.rfind("libusb_close ", 0) == 0) {
      out.push_back("close");
    }
  }
  return out;
}

/// Steps without the idle polls (request 0xC1) and bus-level events.
std::vector<std::string> withoutPolls(const std::vector<std::string>& all) {
  std::vector<std::string> out;
  for (const auto& s : all)
    if (s != "c0 c1 0000 64" && s.find(' ') != std::string::npos)
      out.push_back(s);
  return out;
}

/// Steps after the last occurrence of `mark` (all of them when it does not occur).
std::vector<std::string> after(const std::vector<std::string>& all, const std::string& mark) {
  const auto it = std::find(all.rbegin(), all.rend(), mark);
  return {it.base(), all.end()};
}

/// Steps of the last initialisation: after the last re-enumeration (the close of the handle from
/// before it, logged just after the event, left out).
std::vector<std::string> lastInit(const std::vector<std::string>& all) {
  std::vector<std::string> out = after(all, "reenumerated");
  out.erase(std::remove(out.begin(), out.end(), "close"), out.end());
  return out;
}

size_t countOf(const std::vector<std::string>& all, const std::string& s) {
  return static_cast<size_t>(std::count(all.begin(), all.end(), s));
}

/// Requests of one initialisation pass whose FPGA image is current.
const std::vector<std::string> INIT_REQUESTS = {
    "c0 c0 0000 64",      // identification text 1
    "c0 c1 0000 64",      // identification text 2
    "40 ca 5711 1 e0",    // serial page of the EEPROM...
    "c0 cb 0000 17",      // ...fetched
    "40 ca 5711 1 f0",    // checksum page (FPGA update check)...
    "c0 cb 0000 17",      // ...fetched
    "40 c9 0042 1 01",    // select FPGA register block 1...
    "c0 c8 0042 16",      // ...and read its 16 bytes
    "40 c3 0000 0 -",     // FPGA reset
};
const std::vector<std::string> CAPTURE_START = {"40 c2 0000 0 -", "40 c3 0000 0 -", "40 c9 0042 2 0442"};

/// What the endpoint serves after the pad: the stream, then idle bytes.
std::vector<uint8_t> served(const std::vector<uint8_t>& stream, size_t n) {
  std::vector<uint8_t> out(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(std::min(n, stream.size())));
  out.resize(n, IDLE_BYTE);
  return out;
}

size_t rowsOf(const std::vector<uint8_t>* raw, size_t count = SIZE_MAX) {
  TexThread ex;
  EXPECT_TRUE(ex.startDecode(raw, count));
  EXPECT_TRUE(ex.getSucceeded());
  return ex.pLinearRowVec()->size();
}

class CaptureThread : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded())
        << "libusb in use is " << ProbeSimControl::libusbPath() << ", not the probe simulator";
  }
  void TearDown() override { lo.reset(); }

  void start(const std::string& scenario, TloMode mode = TloMode::desktop, const TloWaits& waits = FAST) {
    ASSERT_EQ(ProbeSimControl::configure(scenario), "");
    lo = std::make_unique<TloThread>(mode, waits);
  }
  /// Starts and waits for the first initialisation to succeed.
  void startReady(const std::string& scenario, TloMode mode = TloMode::desktop, const TloWaits& waits = FAST) {
    start(scenario, mode, waits);
    // The status is current once hardware changed has been consumed, not before: the thread
    // writes the status first and raises the flag after it.
    ASSERT_TRUE(eventually([&] { return lo->consumeHardwareChanged() && lo->getHardwareStatus() == HW_STATUS_OK; }));
  }
  /// One capture of `needed` bytes, from the request to done.
  bool capture(uint32_t needed) {
    lo->setNeeded(needed);
    lo->setRun(true);
    return eventually([&] { return lo->consumeDone(); });
  }
  /// The capture bytes of the buffer: its first capture-count bytes.
  std::vector<uint8_t> captured() {
    const auto& raw = *lo->pRawData();
    const size_t n = std::min<size_t>(raw.size(), lo->getCaptureCount());
    return {raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(n)};
  }

  std::unique_ptr<TloThread> lo;
};

}  // namespace

// ---- requests ------------------------------------------------------------------------------------

// Initialisation, the connect switch and a capture send their requests in this order.
TEST_F(CaptureThread, RequestOrderOfInitialisationConnectAndCapture) {
  startReady(probe());
  EXPECT_EQ(lo->getSerial(), "SIM00001");
  const auto init = lastInit(steps(ProbeSimControl::log()));
  ASSERT_GE(init.size(), INIT_REQUESTS.size());
  EXPECT_THAT(std::vector<std::string>(init.begin(), init.begin() + INIT_REQUESTS.size()),
              ElementsAreArray(INIT_REQUESTS));

  ProbeSimControl::clearLog();
  EXPECT_TRUE(lo->setConnect(true));
  EXPECT_TRUE(lo->setConnect(false));
  EXPECT_THAT(withoutPolls(steps(ProbeSimControl::log())),
              ElementsAre("40 c9 0042 2 0464", "40 c9 0042 2 0441", "40 c9 0042 2 0460", "40 c9 0042 2 0441"));
  EXPECT_THAT(after(steps(ProbeSimControl::log()), "fpga_connected"), testing::Contains("fpga_disconnected"));

  ProbeSimControl::clearLog();
  ASSERT_TRUE(capture(8192));
  auto expected = CAPTURE_START;
  expected.push_back("read 10240 got 10240");
  EXPECT_THAT(withoutPolls(steps(ProbeSimControl::log())), ElementsAreArray(expected));
}

// ---- sizes and content ---------------------------------------------------------------------------

// Every capture reads the rounded size plus the pad in reads of at most 102400 bytes, keeps what
// came after the pad (a fresh stream each time, then the idle bus) and drops the pad.
TEST_F(CaptureThread, SizesAndContentOfCaptures) {
  startReady(probe("capture_traffic = saturatedBus\ncapture_traffic_bytes = 20000\ncapture_seed = 7\n"));
  const std::vector<uint8_t> stream = usbenc::saturatedBus(20000, 7);
  struct Case {
    uint32_t needed;
    std::vector<std::string> reads;
    size_t kept;
  };
  const Case cases[] = {
      {8192, {"read 10240 got 10240"}, 8192},
      {5000, {"read 6144 got 6144"}, 4096},
      {1023, {"read 2048 got 2048"}, 0},
      {0, {"read 2048 got 2048"}, 0},
      {204800, {"read 102400 got 102400", "read 102400 got 102400", "read 2048 got 2048"}, 204800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needed);
    ProbeSimControl::clearLog();
    ASSERT_TRUE(capture(c.needed));
    auto expected = CAPTURE_START;
    expected.insert(expected.end(), c.reads.begin(), c.reads.end());
    EXPECT_THAT(withoutPolls(steps(ProbeSimControl::log())), ElementsAreArray(expected));
    EXPECT_EQ(lo->getCaptureCount(), c.kept);
    EXPECT_EQ(lo->pRawData()->size(), c.kept);
    EXPECT_TRUE(captured() == served(stream, c.kept)) << "captured bytes differ from the stream served";
    EXPECT_EQ(lo->getCaptureEnd(), TcaptureEnd::complete);
  }
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_OK);
  EXPECT_FALSE(lo->consumeHardwareChanged());
}

// ---- run and stop requests -----------------------------------------------------------------------

// A stop made while idle, or after a capture filled its buffer, ends the next capture before its
// first read; one made during a capture ends it after the read in progress.
TEST_F(CaptureThread, StopRequests) {
  startReady(probe("capture_traffic = saturatedBus\ncapture_rate = 400000\n"));
  const std::vector<uint8_t> stream = usbenc::saturatedBus(65536, 1);

  lo->setStop(true);
  ProbeSimControl::clearLog();
  ASSERT_TRUE(capture(8192));
  EXPECT_EQ(lo->getCaptureCount(), 0u);
  EXPECT_THAT(withoutPolls(steps(ProbeSimControl::log())), ElementsAreArray(CAPTURE_START));

  ASSERT_TRUE(capture(8192));
  EXPECT_EQ(lo->getCaptureCount(), 8192u);
  lo->setStop(true);  // after the buffer filled: pending for the next capture
  ProbeSimControl::clearLog();
  ASSERT_TRUE(capture(8192));
  EXPECT_EQ(lo->getCaptureCount(), 0u);
  EXPECT_THAT(withoutPolls(steps(ProbeSimControl::log())), ElementsAreArray(CAPTURE_START));

  lo->setNeeded(4u << 20);
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->getCaptureCount() > 0; }));
  lo->setStop(true);
  ASSERT_TRUE(eventually([&] { return lo->consumeDone(); }));
  EXPECT_EQ(lo->getCaptureEnd(), TcaptureEnd::stopped);
  EXPECT_GT(lo->getCaptureCount(), 0u);
  EXPECT_LT(lo->getCaptureCount(), 4u << 20);
  EXPECT_TRUE(captured() == served(stream, captured().size()));
}

// A run made before the probe is initialised waits for it; one made during a capture starts
// another after it.
TEST_F(CaptureThread, RunRequests) {
  start(probe("capture_rate = 400000\n"));
  lo->setNeeded(102400);
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->getCaptureCount() > 0; }));
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->consumeDone(); }));
  ASSERT_TRUE(eventually([&] { return lo->consumeDone(); }));
  EXPECT_EQ(lo->getCaptureCount(), 102400u);
  const auto all = after(steps(ProbeSimControl::log()), "reenumerated");
  EXPECT_EQ(countOf(all, "fpga_capture_started"), 2u);
  // The first capture starts only after the whole initialisation.
  const auto lastInit = std::find(all.begin(), all.end(), INIT_REQUESTS.back());
  const auto firstStart = std::find(all.begin(), all.end(), "fpga_capture_started");
  EXPECT_LT(lastInit - all.begin(), firstStart - all.begin());
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_OK);
}

// ---- probe presence ------------------------------------------------------------------------------

// The end of the first initialisation pass is announced after the status change it made, so an
// owner that sees the pass ended and then looks for the change finds it.
TEST_F(CaptureThread, FirstInitialisationEndsAfterItsChange) {
  start(probe());
  ASSERT_TRUE(eventually([&] { return lo->firstInitEnded(); }));
  EXPECT_TRUE(lo->consumeHardwareChanged());
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_OK);
}

// Without a probe (an empty bus, another device, or no libusb at all) the status stays -1, the
// serial "unavailable", hardware changed is never raised and setConnect fails at once.
TEST_F(CaptureThread, NoProbe) {
  for (const char* scenario : {"", "[device]\n", "fail_init = OTHER\n[probe]\n"}) {
    SCOPED_TRACE(scenario);
    start(scenario);
    const auto t0 = Clock::now();
    EXPECT_FALSE(lo->setConnect(true));
    EXPECT_LT(msSince(t0), 1000);
    // Several passes of the loop (each about 50 ms here).
    while (msSince(t0) < 300) {
      ASSERT_FALSE(lo->consumeHardwareChanged());
      ASSERT_EQ(lo->getHardwareStatus(), HW_STATUS_NOT_FOUND);
      ASSERT_EQ(lo->getSerial(), "unavailable");
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(lo->firstInitEnded()) << "the passes that found no probe ended";
    lo.reset();
    for (const auto& line : ProbeSimControl::log())
      EXPECT_EQ(line.find("misuse"), std::string::npos) << line;
  }
}

// Unplugged while idle: hardware changed with -1 within about a second (product waits); plugged
// in again: status 0 after a fresh firmware download.
TEST_F(CaptureThread, UnplugAndReplug) {
  startReady(probe(), TloMode::desktop, TloWaits{});
  ASSERT_TRUE(ProbeSimControl::unplug(0));
  const auto t0 = Clock::now();
  ASSERT_TRUE(eventually([&] { return lo->consumeHardwareChanged(); }, 2s));
  EXPECT_LT(msSince(t0), 1500 * SLOW);
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_NOT_FOUND);
  EXPECT_EQ(lo->getSerial(), "unavailable");

  ASSERT_TRUE(ProbeSimControl::replug(0));
  ASSERT_TRUE(eventually([&] { return lo->consumeHardwareChanged(); }, 15s));
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_OK);
  EXPECT_EQ(lo->getSerial(), "SIM00001");
  const auto since = after(steps(ProbeSimControl::log()), "replug");
  const auto download = std::find(since.begin(), since.end(), "cpucs 01");
  ASSERT_NE(download, since.end());
  EXPECT_NE(std::find(download, since.end(), "reenumerated"), since.end());
}

// ---- faults --------------------------------------------------------------------------------------

// A read error mid-capture: done is raised, the bytes that arrived are kept without the pad (and
// decode), the device is initialised again and the next capture works.
TEST_F(CaptureThread, ReadErrorMidCapture) {
  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host);
  const std::vector<uint8_t> stream = bus.takeStream();
  const std::string file = ::testing::TempDir() + "/read_error_" + std::to_string(getpid()) + ".raw";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(stream.data()),
                                               static_cast<std::streamsize>(stream.size()));
  ASSERT_GT(stream.size(), 2000u);
  startReady(probe("capture_file = " + file + "\ncapture_fail = IO*1\ncapture_fail_after = 4048\n"));

  ProbeSimControl::clearLog();
  ASSERT_TRUE(capture(8192));
  EXPECT_EQ(lo->getCaptureEnd(), TcaptureEnd::readError);
  EXPECT_EQ(lo->getCaptureCount(), 2000u);
  EXPECT_TRUE(captured() == served(stream, 2000)) << "captured bytes differ from the stream served";
  const auto capturedBytes = captured();
  EXPECT_EQ(rowsOf(lo->pRawData(), lo->getCaptureCount()), rowsOf(&capturedBytes));
  EXPECT_GT(rowsOf(&capturedBytes), 0u);

  // Initialised again: a new firmware download, and the status never left 0.
  ASSERT_TRUE(eventually([&] {
    const auto all = steps(ProbeSimControl::log());
    return countOf(all, "reenumerated") == 1 && lastInit(all).size() >= INIT_REQUESTS.size();
  }));
  const auto init = lastInit(steps(ProbeSimControl::log()));
  EXPECT_THAT(std::vector<std::string>(init.begin(), init.begin() + INIT_REQUESTS.size()),
              ElementsAreArray(INIT_REQUESTS));
  ASSERT_TRUE(capture(8192));
  EXPECT_EQ(lo->getCaptureEnd(), TcaptureEnd::complete);
  EXPECT_EQ(lo->getCaptureCount(), 8192u);
  EXPECT_TRUE(captured() == served(stream, 8192));
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 1);
  std::remove(file.c_str());
}

// Unplugged mid-capture: done is raised with the bytes captured before kept (they decode), the
// end says why, and the change to "not found" follows.
TEST_F(CaptureThread, UnplugMidCapture) {
  startReady(probe("capture_traffic = saturatedBus\ncapture_rate = 400000\n"));
  const std::vector<uint8_t> stream = usbenc::saturatedBus(65536, 1);
  lo->setNeeded(4u << 20);
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->getCaptureCount() > 8192; }));
  ASSERT_TRUE(ProbeSimControl::unplug(0));
  ASSERT_TRUE(eventually([&] { return lo->consumeDone(); }));
  EXPECT_EQ(lo->getCaptureEnd(), TcaptureEnd::unplugged);
  const auto bytes = captured();
  EXPECT_GT(bytes.size(), 8192u);
  EXPECT_LT(bytes.size(), 4u << 20);
  EXPECT_TRUE(bytes == served(stream, bytes.size())) << "captured bytes differ from the stream served";
  EXPECT_GT(rowsOf(&bytes), 0u);
  ASSERT_TRUE(eventually([&] { return lo->consumeHardwareChanged(); }));
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_NOT_FOUND);
  EXPECT_EQ(lo->getCaptureCount(), bytes.size()) << "the count outlives the change";
}

// A failed initialisation step gives -2 and the next pass initialises again: the earlier handle
// goes first, so the probe's interface is free for the new one.
TEST_F(CaptureThread, FailedInitialisationStepRepeats) {
  start(probe("fail_req_c0 = PIPE*1\n"));
  std::vector<int> seen{lo->getHardwareStatus()};
  ASSERT_TRUE(eventually([&] {
    const int s = lo->getHardwareStatus();
    if (s != seen.back())
      seen.push_back(s);
    return s == HW_STATUS_OK;
  }));
  EXPECT_THAT(seen, ElementsAre(HW_STATUS_NOT_FOUND, HW_STATUS_INIT_FAILED, HW_STATUS_OK));
  EXPECT_TRUE(lo->consumeHardwareChanged());
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 1);
  for (const auto& line : ProbeSimControl::calls("libusb_set_configuration"))
    EXPECT_THAT(line, testing::EndsWith("result=0"));
}

// Each FPGA update erases the configuration flash: after three failed ones in a row no more are
// tried (status -2) until the probe has left the bus.
TEST_F(CaptureThread, FailedFpgaUpdatesStopAfterThree) {
  ASSERT_EQ(ProbeSimControl::configure(""), "");
  const std::string scenario = "reenum_delay_ms = 20\n[probe]\ncfg_fail_row = 0\ncfg_busy_polls = 0\n";
  start(scenario);
  const std::string erase = "40 c9 0040 4 0e050000";
  ASSERT_TRUE(eventually([&] { return countOf(steps(ProbeSimControl::log()), "c0 c0 0000 64") >= 5; }, 20s));
  EXPECT_EQ(lo->getHardwareStatus(), HW_STATUS_INIT_FAILED);
  EXPECT_EQ(countOf(steps(ProbeSimControl::log()), erase), 3u);

  ASSERT_TRUE(ProbeSimControl::unplug(0));
  ASSERT_TRUE(eventually([&] { return lo->getHardwareStatus() == HW_STATUS_NOT_FOUND; }));
  ASSERT_TRUE(ProbeSimControl::replug(0));
  ASSERT_TRUE(eventually([&] { return countOf(steps(ProbeSimControl::log()), erase) >= 4; }, 20s));
}

// ---- owner side against the running thread -------------------------------------------------------

// setNeeded keeps the capture count in the library behaviour and sets it to 0 in the desktop one.
// The library behaviour keeps the first capture's bytes beyond a later capture's count (they
// move up by the pad that the capture drops), the desktop one leaves zeros there; either way only
// the captured bytes are decoded.
TEST_F(CaptureThread, BytesBeyondTheCountByBehaviour) {
  for (const TloMode mode : {TloMode::library, TloMode::desktop}) {
    SCOPED_TRACE(mode == TloMode::library ? "library" : "desktop");
    startReady(probe("capture_traffic = enumerateHid\n"), mode);
    ASSERT_TRUE(capture(8192));
    const std::vector<uint8_t> first = *lo->pRawData();
    ASSERT_GT(rowsOf(&first), 0u);
    lo->setNeeded(4096);
    EXPECT_EQ(lo->getCaptureCount(), mode == TloMode::library ? 8192u : 0u);

    lo->setStop(true);
    ASSERT_TRUE(capture(8192));
    EXPECT_EQ(lo->getCaptureCount(), 0u);
    EXPECT_EQ(rowsOf(lo->pRawData(), lo->getCaptureCount()), 0u);
    if (mode == TloMode::library) {
      std::vector<uint8_t> kept(first.begin() + PAD, first.end());
      kept.resize(first.size(), 0);
      EXPECT_TRUE(*lo->pRawData() == kept);
      EXPECT_TRUE(lo->getRun() == false && lo->getStop() == false);
    } else {
      EXPECT_TRUE(*lo->pRawData() == std::vector<uint8_t>(8192, 0));
    }
    lo.reset();
  }
}

// setConnect from the owner's thread while captures end in read errors (closing the device) and
// initialisations run: no transfer on a closed handle, and neither side's register sequence is
// split by the other's writes.
TEST_F(CaptureThread, SetConnectAgainstTheCaptureThread) {
  startReady(probe("capture_fail = IO\ncapture_fail_after = 3048\n"));
  int connected = 0;
  for (int capture = 0; capture < 4; ++capture) {
    lo->setNeeded(8192);
    lo->setRun(true);
    const auto end = Clock::now() + 10s * SLOW;
    for (int i = 0; !lo->consumeDone(); ++i) {
      ASSERT_LT(Clock::now(), end);
      connected += lo->setConnect(i % 2 == 0);
    }
  }
  EXPECT_GT(connected, 0);
  ASSERT_TRUE(eventually([&] { return lo->getHardwareStatus() == HW_STATUS_OK && lo->setConnect(true); }));
  lo.reset();

  std::vector<std::string> registerTraffic;
  for (const auto& s : steps(ProbeSimControl::log()))
    if (s.rfind("40 c2", 0) == 0 || s.rfind("40 c3", 0) == 0 || s.rfind("40 c9 0042", 0) == 0 ||
        s.rfind("c0 c8 0042", 0) == 0 || s == "close")
      registerTraffic.push_back(s);
  // A read error may close the device inside setConnect's pair: its second write then fails
  // without a transfer.
  for (size_t i = 0; i + 1 < registerTraffic.size(); ++i) {
    const std::string& s = registerTraffic[i];
    if (s == "40 c9 0042 1 01") {
      EXPECT_EQ(registerTraffic[i + 1], "c0 c8 0042 16") << "at " << i;
    }
    if (s == "40 c9 0042 2 0464" || s == "40 c9 0042 2 0460") {
      EXPECT_THAT(registerTraffic[i + 1], testing::AnyOf("40 c9 0042 2 0441", "close")) << "at " << i;
    }
  }
  for (const auto& line : ProbeSimControl::log())
    EXPECT_EQ(line.find("misuse"), std::string::npos) << line;
}

// A capture stopped at about half of a large buffer (an idle bus after a few rows) decodes its
// counted bytes in place: the decode adds far less than those bytes to the peak memory, and gives
// the rows that a decode of a copy of them gives.
TEST_F(CaptureThread, StoppedCaptureDecodesInPlace) {
  constexpr size_t MiB = size_t{1} << 20;
  // Under the sanitizers only the rows are compared: their shadow memory hides the figure.
  const uint32_t size = static_cast<uint32_t>((SANITIZED ? 16 : 256) * MiB);
  // The first half arrives in about a second, the second in another: room to stop in between.
  startReady(probe("capture_traffic = enumerateHid\ncapture_rate = " + std::to_string(size / 2) + "\n"));
  lo->setNeeded(size);
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->getCaptureCount() >= size / 2; }, 30s));
  lo->setStop(true);
  ASSERT_TRUE(eventually([&] { return lo->consumeDone(); }));
  const size_t count = lo->getCaptureCount();
  ASSERT_GE(count, size / 2);
  ASSERT_LT(count, size);

  TexThread ex;
  const size_t before = kvtest::procStatusBytes("VmRSS");
  const bool peakKnown = kvtest::resetPeakMemory() && before > 0;
  ASSERT_TRUE(ex.startDecode(lo->pRawData(), count));
  const size_t peak = kvtest::procStatusBytes("VmHWM");
  if (peakKnown && !SANITIZED) {
    EXPECT_LT(peak - std::min(peak, before), 32 * MiB) << "peak " << peak / MiB << " MiB, before " << before / MiB;
  }
  const std::vector<uint8_t> counted(lo->pRawData()->begin(), lo->pRawData()->begin() + static_cast<std::ptrdiff_t>(count));
  const std::string rows = kvtest::linText(*kvtest::decodeRaw(counted).lin);
  EXPECT_GT(kvtest::splitLines(rows).size(), 10u);
  EXPECT_EQ(kvtest::linText(*ex.pLinearRowVec()), rows);
}

// ---- destruction ---------------------------------------------------------------------------------

// Destroyed while the thread sleeps: back within one loop delay.
TEST_F(CaptureThread, DestructionWhileSleeping) {
  startReady(probe(), TloMode::desktop, PRODUCT_LOOP);
  const size_t polls = ProbeSimControl::calls("libusb_control_transfer").size();
  ASSERT_TRUE(eventually([&] { return ProbeSimControl::calls("libusb_control_transfer").size() > polls; }));
  const auto t0 = Clock::now();
  lo.reset();
  EXPECT_LT(msSince(t0), 250 + 250 * SLOW);
}

// A capture whose data stops: setNeeded in the desktop behaviour does not touch the buffer the
// thread still writes (the count reads 0 at once), and destruction ends the capture after the
// read in progress times out (5 s).
TEST_F(CaptureThread, DestructionDuringACaptureWithoutData) {
  startReady(probe("capture_silent_after = 6144\n"));
  lo->setNeeded(1u << 20);
  lo->setRun(true);
  ASSERT_TRUE(eventually([&] { return lo->getCaptureCount() == 4096; }));
  lo->setNeeded(8192);
  EXPECT_EQ(lo->getCaptureCount(), 0u);
  const auto t0 = Clock::now();
  lo.reset();
  EXPECT_LT(msSince(t0), 7000);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
}

// Destroyed while the probe is stuck, with the product's waits: a configuration port that never
// leaves busy during the FPGA update (each busy wait is bounded at 30 s), and a probe that never
// comes back on the bus after its firmware download (25 reopen attempts). Either way the
// destructor returns within about a second.
TEST_F(CaptureThread, DestructionWhileTheProbeIsStuck) {
  struct Case {
    const char* keys;
    std::function<bool()> stuck;
  };
  const std::string busyPoll = "40 ca 4002 4 f0000000";
  const Case cases[] = {
      {"cfg_stuck_busy = 1\n", [&] { return countOf(steps(ProbeSimControl::log()), busyPoll) >= 3; }},
      {"reenum = never\n",
       [] { return countOf(steps(ProbeSimControl::log()), "left_bus_for_reenumeration") == 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keys);
    // The EEPROM holds no checksum, so the FPGA is programmed.
    start(std::string("[probe]\n") + c.keys, TloMode::desktop, TloWaits{});
    ASSERT_TRUE(eventually(c.stuck, 20s));
    const auto t0 = Clock::now();
    lo.reset();
    const long long took = msSince(t0);
    RecordProperty(c.keys[0] == 'c' ? "stuck_busy_destroy_ms" : "never_back_destroy_ms", static_cast<int>(took));
    EXPECT_LT(took, 1000 * SLOW);
    EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
  }
}

// ---- allocation failure --------------------------------------------------------------------------

namespace {

/// Runs in a child process: with the address space limited, capture sizes whose buffer cannot
/// be allocated (the largest ones, clamped so that they do not wrap) end empty with status -5.
[[noreturn]] void noMemoryChild() {
  if (!ProbeSimControl::configure(probe()).empty())
    std::_Exit(2);
  TloThread lo(TloMode::desktop, FAST);
  if (!eventually([&] { return lo.getHardwareStatus() == HW_STATUS_OK; }))
    std::_Exit(3);
  lo.consumeHardwareChanged();
  long pages = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld", &pages) != 1)
      pages = 0;
    std::fclose(f);
  }
  const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (256u << 20);
  const rlimit rl{limit, limit};
  if (pages == 0 || setrlimit(RLIMIT_AS, &rl) != 0)
    std::_Exit(4);
  for (const uint32_t needed : {UINT32_MAX, 4294965248u, TloThread::MAX_NEEDED}) {
    lo.setNeeded(needed);
    lo.setRun(true);
    if (!eventually([&] { return lo.consumeDone(); }))
      std::_Exit(5);
    if (lo.getHardwareStatus() != HW_STATUS_NO_MEMORY || lo.getCaptureCount() != 0 || lo.consumeHardwareChanged())
      std::_Exit(6);
  }
  std::_Exit(0);
}

}  // namespace

// A buffer that would not fit into the memory the system can give (which the seam reports as
// 1 GiB here) is refused before anything is allocated or sent: status -5, nothing captured, no
// buffer, no hardware change. A capture that fits runs as before.
TEST_F(CaptureThread, BufferThatWouldNotFitIsRefusedUnallocated) {
  startReady(probe());
  utils::setMemorySource([]() -> uint64_t { return uint64_t{1} << 30; });
  ProbeSimControl::clearLog();
  const bool ended = capture(1u << 30);
  const auto sent = withoutPolls(steps(ProbeSimControl::log()));
  const size_t capacity = lo->pRawData()->capacity();
  const int status = lo->getHardwareStatus();
  const uint64_t count = lo->getCaptureCount();
  const bool fitting = capture(8192);
  utils::setMemorySource(nullptr);
  ASSERT_TRUE(ended);
  EXPECT_EQ(status, HW_STATUS_NO_MEMORY);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(capacity, 0u);
  EXPECT_THAT(sent, ElementsAre());
  EXPECT_FALSE(lo->consumeHardwareChanged());
  ASSERT_TRUE(fitting);
  EXPECT_EQ(lo->getCaptureCount(), 8192u);
}

TEST_F(CaptureThread, BufferThatCannotBeAllocated) {
  if (SANITIZED)
    GTEST_SKIP() << "the sanitizers' allocators abort instead of throwing, and need the address space";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(noMemoryChild(), ::testing::ExitedWithCode(0), "");
}
