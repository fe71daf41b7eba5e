// Headless tests of the capture dialog on the probe simulator: the real modal loop with its
// 300 ms timer, driven by a scripted user who posts button, key and text events from inside it.
#include <gmock/gmock.h>

#include <cstdio>
#include <functional>
#include <thread>
#include <utility>

#include "capture_driver.h"
#include "kvexthrd.h"
#include "workloads.h"

namespace {

using namespace captest;

constexpr const char* SERIAL = "KV-SIM-4711";
/// Capture rate of the simulated probe: a 2 MiB capture takes about two seconds.
constexpr long RATE = 1 << 20;
constexpr uint8_t IDLE_BYTE = 0x3F;  // what the simulated bus sends once the stream has run out

class CaptureDialog : public DialogTest {
 protected:
  static void SetUpTestSuite() {
    stream = usbenc::enumerationMix(200000, 7);
    streamPath = processFile("capture_stream.raw");
    writeBytes(streamPath, stream);
  }
  static void TearDownTestSuite() { std::remove(streamPath.c_str()); }

  /// A probe streaming the test's traffic at RATE; extra lines go into its section.
  static void probe(const std::string& extra = "") {
    scenario(probeScenario(SERIAL) + "capture_file = " + streamPath + "\ncapture_rate = " + std::to_string(RATE) +
             "\n" + extra);
  }

  /// The rows a direct decode of the first n captured bytes gives: the stream, then idle bus.
  static std::vector<std::string> expectedRows(size_t n) {
    std::vector<uint8_t> bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(std::min(n, stream.size())));
    bytes.resize(n, IDLE_BYTE);
    TexThread ex;
    EXPECT_TRUE(ex.startDecode(&bytes));
    return rowLines(ex.pLinearRowVec());
  }

  static std::vector<uint8_t> stream;
  static std::string streamPath;
};

std::vector<uint8_t> CaptureDialog::stream;
std::string CaptureDialog::streamPath;

TEST_F(CaptureDialog, CapturesDecodesAndReturnsTheRowsOnOK) {
  probe();
  std::vector<long> acqSeen, gaugeSeen;
  std::string shot;
  TuiScript script;
  script
      .when("the first tick", [] { return state() != TctlPage::CTL_INIT; },
            [] {
              // The probe is still starting: not "not found".
              EXPECT_EQ(statusLine(), "Initializing...");
              EXPECT_EQ(serialLine(), "Initializing...");
              EXPECT_EQ(state(), TctlPage::CTL_HW_ERROR);
              EXPECT_FALSE(enabled(ID_START_BTN));
              EXPECT_EQ(acqText(), "0 Bytes");
              EXPECT_EQ(acqGauge(), 0);
            })
      .when("the probe initialised", hardwareOK,
            [] {
              EXPECT_EQ(serialLine(), wxString("Hardware Serial: ") + SERIAL);
              EXPECT_TRUE(enabled(ID_START_BTN));
              EXPECT_FALSE(enabled(wxID_OK));
              type("2048");
              click(ID_START_BTN);
            })
      .when("the capture started", [] { return state() == TctlPage::CTL_CAPTURING; },
            [] {
              EXPECT_EQ(boxText(), "2_048");
              EXPECT_EQ(page()->getNeededBytes(), 2097152u);
              EXPECT_EQ(label(ID_START_BTN), "Stop");
              EXPECT_FALSE(A::box(*page())->IsEnabled());
              EXPECT_FALSE(enabled(ID_CONNECT_BTN));
            })
      .when("the capture half way",
            [&] {
              acqSeen.push_back(static_cast<long>(wxstr2num(acqText())));
              gaugeSeen.push_back(acqGauge());
              return state() == TctlPage::CTL_CAPTURING && acqGauge() >= 40;
            },
            [&] { shot = kvtest::saveScreenshot(dialog(), "capture_dialog_capturing"); })
      .when("the decode", [] { return state() >= TctlPage::CTL_DECODING; },
            [] {
              EXPECT_EQ(acqText(), "2_097_152 Bytes");
              EXPECT_EQ(acqGauge(), 100);
            })
      .when("OK enabled", okReady,
            [] {
              EXPECT_EQ(decText(), "100%");
              EXPECT_EQ(decGauge(), 100);
              EXPECT_EQ(label(ID_START_BTN), "Start");
              click(wxID_OK);
            });
  auto d = run(script);

  EXPECT_TRUE(d->retOK());
  ASSERT_TRUE(d->linVec && d->treeVec && d->evtVec);
  EXPECT_FALSE(d->linVec->empty());
  expectSameRows(rowLines(d->linVec), expectedRows(2097152));
  // The progress moved: values strictly between nothing and everything were shown.
  EXPECT_TRUE(std::any_of(acqSeen.begin(), acqSeen.end(), [](long v) { return v > 0 && v < 2097152; }));
  EXPECT_TRUE(std::any_of(gaugeSeen.begin(), gaugeSeen.end(), [](long v) { return v > 0 && v < 100; }));
  EXPECT_NE(shot, "") << "no screenshot";
  EXPECT_EQ(logCount("capture start"), 1u);
}

TEST_F(CaptureDialog, CancelRightAfterOpeningReturnsOnceTheThreadLeftItsStep) {
  probe();
  TuiScript script;
  script.then("Cancel", [] { click(wxID_CANCEL); });
  auto d = run(script);
  EXPECT_FALSE(d->retOK());
  expectNoRows(*d);
  // The capture thread was joined and the USB layer released before the constructor returned:
  // the program's last call is libusb_exit. The simulator's own events are skipped, since a
  // probe that took its firmware comes back on the bus on the simulator's clock, which reading
  // the log advances, also after the program let go of it.
  auto log = ProbeSimControl::log();
  std::erase_if(log, [](const std::string& line) { return line.rfind("event ", 0) == 0; });
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back().rfind("libusb_exit", 0), 0u) << log.back();
  EXPECT_EQ(logCount("capture start"), 0u);
}

TEST_F(CaptureDialog, WithoutProbeStartStaysDisabledAndEscapeCancels) {
  ASSERT_EQ(ProbeSimControl::configure(""), "");
  TuiScript script;
  script.when("the first tick", [] { return state() != TctlPage::CTL_INIT; })
      .then("Start", [] { click(ID_START_BTN); })
      .when("the first search ended", [] { return statusLine() == "Sniffer hardware not found"; })
      .when("a few more ticks", afterMs(900),
            [] {
              EXPECT_EQ(state(), TctlPage::CTL_HW_ERROR);
              EXPECT_EQ(serialLine(), "Hardware Serial: unavailable");
              EXPECT_FALSE(enabled(ID_START_BTN));
              EXPECT_FALSE(enabled(ID_CONNECT_BTN));
              EXPECT_FALSE(enabled(ID_DISCONN_BTN));
              EXPECT_FALSE(enabled(wxID_OK));
              EXPECT_TRUE(enabled(wxID_CANCEL));
              EXPECT_TRUE(A::box(*page())->IsEnabled());
              pressEscape();
            });
  auto d = run(script);
  EXPECT_FALSE(d->retOK());
}

TEST_F(CaptureDialog, StartBeforeTheFirstTickStartsOnTheFirstReadyTick) {
  probe();
  std::vector<int> states;
  TuiScript script;
  script.then("Start at once", [] { click(ID_START_BTN); })
      .when("the capture started",
            [&] {
              if (states.empty() || states.back() != state())
                states.push_back(state());
              return state() == TctlPage::CTL_CAPTURING;
            },
            [] {
              EXPECT_EQ(page()->getBufferKB(), 32u) << "the box held the validator's 32";
              EXPECT_EQ(boxText(), "32");
            })
      .when("OK enabled", okReady, [] { click(wxID_OK); });
  auto d = run(script);
  // Straight from the hardware error of the first tick into the capture: the refresh that found
  // the probe ready started it in the same tick.
  EXPECT_EQ(states, (std::vector<int>{TctlPage::CTL_INIT, TctlPage::CTL_HW_ERROR, TctlPage::CTL_CAPTURING}));
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(32768));
}

TEST_F(CaptureDialog, StopEndsTheCaptureOnceAndDecodesWhatWasCaptured) {
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK, [] {
          type("8192");
          click(ID_START_BTN);
        })
      .when("some bytes captured", [] { return state() == TctlPage::CTL_CAPTURING && wxstr2num(acqText()) > 0; },
            [] { click(ID_START_BTN); })
      .when("the stopped capture decoded", okReady,
            [] {
              const uint32_t captured = wxstr2num(acqText());
              EXPECT_GT(captured, 0u);
              EXPECT_LT(captured, 8192u * 1024);
              EXPECT_EQ(decText(), "100%") << "measured against the bytes captured";
              EXPECT_EQ(boxText(), "8_192");
              expectSameRows(rowLines(page()->exThreadRef().pLinearRowVec()), expectedRows(captured));
              // A second Start runs to its end: the one Stop was used up by the first capture.
              type("64");
              click(ID_START_BTN);
            })
      .when("the second capture under way", [] { return state() == TctlPage::CTL_CAPTURING; })
      .when("the second capture decoded", okReady, [] { click(wxID_OK); });
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(65536));
  EXPECT_EQ(logCount("capture start"), 2u);
}

TEST_F(CaptureDialog, AStopThatCameAfterTheBufferFilledDoesNotCutTheNextCaptureShort) {
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK, [] {
          type("256");
          click(ID_START_BTN);
        })
      .when("the buffer full, done not yet taken",
            [] {
              return state() == TctlPage::CTL_CAPTURING && A::loThread(*page()).getCaptureCount() == 256u * 1024;
            },
            [] { click(ID_START_BTN); })  // Stop, too late for this capture
      .when("the first capture decoded", okReady,
            [] {
              EXPECT_EQ(acqText(), "262_144 Bytes");
              type("64");
              click(ID_START_BTN);
            })
      .when("the second capture under way", [] { return state() == TctlPage::CTL_CAPTURING; })
      .when("the second capture decoded", okReady, [] {
        EXPECT_EQ(acqText(), "65_536 Bytes") << "the late stop ended the next capture";
        click(wxID_OK);
      });
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(65536));
}

TEST_F(CaptureDialog, HardwareChangeResetsTheDisplaysAndWithdrawsTheRun) {
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK,
              [] {
                ASSERT_TRUE(ProbeSimControl::unplug(0));
                click(ID_START_BTN);  // before the capture thread has noticed
              })
      .when("the hardware change shown", [] { return state() == TctlPage::CTL_HW_ERROR; },
            [] {
              // When the capture thread took the run before it noticed the unplug, that capture
              // ended at its first read, and the footer says so.
              EXPECT_THAT(statusLine().ToStdString(),
                          testing::AnyOf("Sniffer hardware not found", "Capture ended early: probe unplugged"));
              EXPECT_EQ(acqText(), "0 Bytes");
              EXPECT_EQ(acqGauge(), 0);
              EXPECT_EQ(decText(), "0%");
              EXPECT_EQ(decGauge(), 0);
              EXPECT_FALSE(enabled(ID_START_BTN));
              EXPECT_EQ(label(ID_START_BTN), "Start");
              ASSERT_TRUE(ProbeSimControl::replug(0));
            })
      .when("the probe back", hardwareOK)
      .when("a few idle passes of the capture thread", afterMs(1500),
            [] {
              EXPECT_EQ(state(), TctlPage::CTL_READY) << "no capture was started";
              click(wxID_CANCEL);
            });
  auto d = run(script);
  EXPECT_FALSE(d->retOK());
  EXPECT_EQ(probeState("fpga_captures"), 0) << "the withdrawn run request started a capture";
  EXPECT_EQ(logCount("capture start"), 0u);
}

// A read error mid-capture: the bytes captured before it are decoded, the footer says why the
// capture ended until the next capture, and OK hands over the rows of the last decode.
TEST_F(CaptureDialog, AReadErrorKeepsTheBytesCapturedAndTheFooterSaysWhy) {
  constexpr size_t SERVED = 300000;  // front pad included
  constexpr size_t KEPT = SERVED - 2048;
  probe("capture_fail = IO*1\ncapture_fail_after = " + std::to_string(SERVED) + "\n");
  TuiScript script;
  script.when("the probe initialised", hardwareOK,
              [] {
                type("2048");
                click(ID_START_BTN);
              })
      .when("the cut capture decoded", okReady,
            [] {
              EXPECT_EQ(statusLine(), "Capture ended early: read error");
              EXPECT_EQ(acqText(), wxString(num2str(KEPT) + " Bytes"));
              EXPECT_EQ(decText(), "100%");
              expectSameRows(rowLines(page()->exThreadRef().pLinearRowVec()), expectedRows(KEPT));
            })
      .when("a few more ticks", afterMs(1000),
            [] {
              EXPECT_EQ(statusLine(), "Capture ended early: read error");
              type("64");
              click(ID_START_BTN);
            })
      .when("the next capture", [] { return state() == TctlPage::CTL_CAPTURING; },
            [] { EXPECT_EQ(statusLine(), "Hardware Initialized OK"); })
      .when("the next capture decoded", okReady, [] {
        EXPECT_EQ(statusLine(), "Hardware Initialized OK");
        click(wxID_OK);
      });
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(65536));
}

// The probe unplugged mid-capture, while the GUI thread goes on ticking and while it is busy
// until the capture thread has reported the change (done and the change then come in one tick):
// either way the bytes captured before are decoded, OK stays available with the probe gone and
// hands them over, and the footer says why the capture ended.
TEST_F(CaptureDialog, AnUnplugMidCaptureKeepsTheBytesCapturedForOK) {
  for (const bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "GUI busy" : "GUI ticking");
    probe();
    uint64_t count = 0;
    TuiScript script;
    script.when("the probe initialised", hardwareOK,
                [] {
                  type("8192");
                  click(ID_START_BTN);
                })
        .when("the capture under way", [] { return state() == TctlPage::CTL_CAPTURING && wxstr2num(acqText()) > 0; },
              [busy] {
                ASSERT_TRUE(ProbeSimControl::unplug(0));
                TloThread& lo = A::loThread(*page());
                const auto deadline = Clock::now() + std::chrono::seconds(20);
                while (busy && lo.getHardwareStatus() != HW_STATUS_NOT_FOUND && Clock::now() < deadline)
                  std::this_thread::sleep_for(std::chrono::milliseconds(5));
              })
        .when("the change shown", [] { return state() == TctlPage::CTL_HW_ERROR; },
              [&, busy] {
                count = A::loThread(*page()).getCaptureCount();
                EXPECT_GT(count, 0u);
                EXPECT_LT(count, 8192u * 1024);
                EXPECT_EQ(statusLine(), "Capture ended early: probe unplugged");
                if (busy) {  // the refresh that decoded the capture shows it (a later one resets)
                  EXPECT_EQ(acqText(), wxString(num2str(count) + " Bytes"));
                  EXPECT_EQ(decText(), "100%");
                }
                EXPECT_FALSE(enabled(ID_START_BTN));
                EXPECT_TRUE(enabled(wxID_OK));
                click(wxID_OK);
              });
    auto d = run(script);
    EXPECT_TRUE(d->retOK());
    EXPECT_FALSE(d->linVec->empty());
    expectSameRows(rowLines(d->linVec), expectedRows(count));
  }
}

// Closing the dialog while the probe is stuck: its configuration port never leaves busy during
// the FPGA update, or it never comes back on the bus after the firmware download.
TEST_F(CaptureDialog, ClosingWhileTheProbeIsStuckReturnsWithinSeconds) {
  const std::pair<const char*, std::function<bool()>> cases[] = {
      {"cfg_stuck_busy = 1\n", [] { return probeState("cfg_busy_polls") >= 3; }},
      {"reenum = never\n", [] { return logCount("event left_bus_for_reenumeration") == 1; }},
  };
  for (const auto& [keys, stuck] : cases) {
    SCOPED_TRACE(keys);
    scenario(std::string("reenum_delay_ms = 300\n[probe]\n") + keys);  // no FPGA checksum: an update
    Clock::time_point closedAt;
    TuiScript script;
    script.when("the probe stuck", stuck, [&] {
      closedAt = Clock::now();
      closeWindow();
    });
    auto d = run(script);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closedAt).count();
    EXPECT_FALSE(d->retOK());
    RecordProperty(keys[0] == 'c' ? "stuck_busy_close_ms" : "never_back_close_ms", static_cast<int>(took));
    EXPECT_LT(took, 3000) << "the dialog waited " << took << " ms for its capture thread";
  }
}

TEST_F(CaptureDialog, OKDuringASecondCaptureReturnsTheRowsOfTheFirst) {
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK,
              [] {
                type("1024");
                click(ID_START_BTN);
              })
      .when("the first capture decoded", okReady,
            [] {
              EXPECT_EQ(boxText(), "1_024");
              focusInAndOut();
            })
      .when("the box kept its text across focus changes", afterMs(100),
            [] {
              EXPECT_EQ(boxText(), "1_024");
              click(ID_START_BTN);
            })
      .when("the second capture under way",
            [] { return state() == TctlPage::CTL_CAPTURING && wxstr2num(acqText()) > 0; },
            [] {
              EXPECT_EQ(page()->getBufferKB(), 1024u) << "2_048-style text reads back as its number";
              EXPECT_EQ(page()->getNeededBytes(), 1048576u);
              EXPECT_TRUE(enabled(wxID_OK)) << "OK stays on through later captures";
              click(wxID_OK);
            });
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(1048576));
  EXPECT_EQ(logCount("capture start"), 2u);
}

TEST_F(CaptureDialog, ConnectAndDisconnectWriteTheProbeRegister) {
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK, [] { click(ID_CONNECT_BTN); })
      .when("connected", [] { return probeState("fpga_connected") == 1; },
            [] { click(ID_DISCONN_BTN); })
      .when("disconnected", [] { return probeState("fpga_connected") == 0; }, [] { click(wxID_CANCEL); });
  auto d = run(script);
  // Register 4 (select 0x04) gets 0x24 then 1 (connect), then 0x20 then 1 (disconnect); on the
  // register port a value byte carries 0x40.
  std::vector<std::string> writes;
  for (const auto& line : ProbeSimControl::calls("libusb_control_transfer"))
    if (line.find("request=0xc9 value=0x0042") != std::string::npos)
      writes.push_back(line.substr(line.find("data=") + 5, line.find(' ', line.find("data=")) - line.find("data=") - 5));
  ASSERT_GE(writes.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(writes.end() - 4, writes.end()),
            (std::vector<std::string>{"0464", "0441", "0460", "0441"}));
  std::vector<std::string> events;
  for (const auto& line : ProbeSimControl::log())
    if (line.find("event fpga_") != std::string::npos)
      events.push_back(line.substr(line.find("fpga_")));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].rfind("fpga_connected", 0), 0u);
  EXPECT_EQ(events[1].rfind("fpga_disconnected", 0), 0u);
  EXPECT_EQ(probeState("fpga_connected"), 0);
}

TEST_F(CaptureDialog, OpeningAgainBuildsEverythingAfresh) {
  probe();
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    TuiScript script;
    script
        .when("the first tick", [] { return state() != TctlPage::CTL_INIT; },
              [] {
                EXPECT_EQ(statusLine(), "Initializing...");
                EXPECT_EQ(serialLine(), "Initializing...");
                EXPECT_FALSE(enabled(wxID_OK));
                EXPECT_EQ(acqText(), "0 Bytes");
                EXPECT_EQ(page()->getBufferKB(), 32u);
              })
        .when("the probe initialised", hardwareOK, [] { click(wxID_CANCEL); });
    auto d = run(script);
    EXPECT_FALSE(d->retOK());
  }
  EXPECT_EQ(logCount("libusb_init"), 2u);
  EXPECT_EQ(logCount("libusb_exit"), 2u);
}

TEST_F(CaptureDialog, TheTimerTicksEvery300ms) {
  probe();
  std::vector<int> intervals;
  std::vector<Clock::time_point> times;
  TuiScript script;
  script
      .then("watch the ticks",
            [&] {
              // Bound after the panel's own handler, so called before it; it passes the tick on.
              kvtest::findWindow(ID_SNIFFER_GUI)->Bind(wxEVT_TIMER, [&](wxTimerEvent& event) {
                intervals.push_back(event.GetInterval());
                times.push_back(Clock::now());
                event.Skip();
              });
            })
      .when("six ticks", [&] { return times.size() >= 6 && state() != TctlPage::CTL_INIT; },
            [] { click(wxID_CANCEL); });
  auto d = run(script);
  ASSERT_GE(times.size(), 6u);
  for (int interval : intervals)
    EXPECT_EQ(interval, 300);
  // A repeating timer: five periods took at least five times 300 ms (less a timer's slack).
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(times[5] - times[0]).count(), 5 * 300 - 50);
}

TEST_F(CaptureDialog, StartClampsTheSizeAtTheSettingsLimit) {
  _G.maxBufferKB = 128;  // restored by TearDown
  probe();
  TuiScript script;
  script.when("the probe initialised", hardwareOK,
              [] {
                type("1000");
                click(ID_START_BTN);
              })
      .when("the capture started", [] { return state() == TctlPage::CTL_CAPTURING; },
            [] {
              EXPECT_EQ(boxText(), "128");
              EXPECT_EQ(page()->getBufferKB(), 128u);
              EXPECT_EQ(page()->getNeededBytes(), 131072u);
            })
      .when("the capture decoded", okReady,
            [] {
              EXPECT_EQ(acqText(), "131_072 Bytes");
              click(wxID_OK);
            });
  auto d = run(script);
  EXPECT_TRUE(d->retOK());
  expectSameRows(rowLines(d->linVec), expectedRows(131072));
}

TEST_F(CaptureDialog, ClosingTheWindowMidCaptureReturnsWithinOneReadTimeout) {
  probe("capture_silent_after = 8192\n");
  Clock::time_point closedAt;
  TuiScript script;
  script.when("the probe initialised", hardwareOK, [] { click(ID_START_BTN); })
      .when("the capture waits for data", [] { return state() == TctlPage::CTL_CAPTURING && wxstr2num(acqText()) > 0; })
      .when("a while", afterMs(300),
            [&] {
              closedAt = Clock::now();
              closeWindow();
            });
  auto d = run(script);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - closedAt).count();
  EXPECT_FALSE(d->retOK());
  RecordProperty("close_to_return_ms", static_cast<int>(took));
  EXPECT_LT(took, 6500) << "the dialog waited " << took << " ms for its capture thread";
}

}  // namespace
