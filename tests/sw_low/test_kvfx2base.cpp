// Tests of the FX2 USB layer (open sequence, RAM requests, firmware download, reads) against the probe simulator.
#include "kvfx2base.h"
#include "kvfx2bin.h"
#include "probesim_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

/// TFX2base whose waits are shortened by a divisor and recorded, so the reload sequence's
/// seconds of waiting run in milliseconds and its retry budget can be counted.
class TFastFX2 : public TFX2base {
public:
  explicit TFastFX2(unsigned divisor = 100) : divisor_(divisor) {}
  void milliSleep(unsigned ms) override {
    sleeps.push_back(ms);
    TFX2base::milliSleep(ms / divisor_);
  }
  std::vector<unsigned> sleeps;

private:
  unsigned divisor_;
};

/// Opens the probe as the software does.
bool openProbe(TFX2base& fx2, int index = 0) {
  return fx2.open(FX2_VENDOR_ID, FX2_PRODUCT_ID, index);
}

/// The call log with the libusb_ prefix and the per-device descriptor reads left out, which
/// is the sequence of decisions an open makes.
std::vector<std::string> steps() {
  std::vector<std::string> out;
  for (const auto& line : ProbeSimControl::log())
    if (line.rfind("libusb_get_device_descriptor", 0) != 0 && line.rfind("libusb_init", 0) != 0)
      out.push_back(line);
  return out;
}

class FX2Base : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded())
        << "libusb in use is " << ProbeSimControl::libusbPath() << ", not the probe simulator";
  }
  void configure(const std::string& scenario) {
    ASSERT_EQ(ProbeSimControl::configure(scenario), "");
  }
};

} // namespace

TEST_F(FX2Base, RunsAgainstTheSimulator) {
  EXPECT_THAT(ProbeSimControl::libusbPath(), StartsWith(ProbeSimControl::libraryDir()));
}

// ---- open ---------------------------------------------------------------------------------------

TEST_F(FX2Base, OpenSetsConfigurationAndClaimsInterfaceZero) {
  configure("[probe]\nconfig = 1\n");
  TFastFX2 fx2;
  ProbeSimControl::clearLog();
  ASSERT_TRUE(openProbe(fx2));
  EXPECT_TRUE(fx2.isOpen());
  EXPECT_THAT(steps(), ElementsAre(StartsWith("libusb_get_device_list devices=0 result=1"),
                                   "libusb_open dev=0 result=0",
                                   "libusb_free_device_list count=1 unref=1",
                                   "libusb_set_configuration dev=0 config=1 result=0",
                                   "libusb_get_configuration dev=0 config=1 result=0",
                                   "libusb_kernel_driver_active dev=0 interface=0 result=0",
                                   "libusb_claim_interface dev=0 interface=0 result=0"));
  EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 1);
  EXPECT_THAT(fx2.sleeps, IsEmpty());

  fx2.close();
  EXPECT_FALSE(fx2.isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 0);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
  EXPECT_EQ(ProbeSimControl::state(0, "refs"), 0);
}

TEST_F(FX2Base, KernelDriverBoundByTheConfigurationIsDetachedBeforeTheClaim) {
  // Unconfigured at first; setting configuration 1 lets the kernel driver bind interface 0.
  configure("[probe]\nconfig = 0\nkernel_driver = 1\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  const auto calls = steps();
  const auto active = std::find(calls.begin(), calls.end(), "libusb_kernel_driver_active dev=0 interface=0 result=1");
  ASSERT_NE(active, calls.end());
  EXPECT_EQ(*(active + 1), "libusb_detach_kernel_driver dev=0 interface=0 result=0");
  EXPECT_EQ(*(active + 2), "libusb_claim_interface dev=0 interface=0 result=0");
  EXPECT_EQ(ProbeSimControl::state(0, "driver_bound"), 0);
}

TEST_F(FX2Base, DriverBoundWhileConfiguredIsDetachedBeforeTheConfigurationIsSetAgain) {
  configure("[probe]\nconfig = 1\nkernel_driver = 1\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  EXPECT_THAT(ProbeSimControl::calls("libusb_set_configuration"),
              ElementsAre("libusb_set_configuration dev=0 config=1 result=-6(BUSY)",
                          "libusb_set_configuration dev=0 config=1 result=0"));
  EXPECT_THAT(ProbeSimControl::calls("libusb_detach_kernel_driver"),
              ElementsAre("libusb_detach_kernel_driver dev=0 interface=0 result=0"));
  EXPECT_EQ(ProbeSimControl::state(0, "driver_bound"), 0);
  EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 1);
}

TEST_F(FX2Base, UnconfiguredAfterTheFirstSetIsSetASecondTime) {
  configure("[probe]\nconfig = 0\nunconfigured_sets = 1\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  EXPECT_THAT(ProbeSimControl::calls("libusb_set_configuration"),
              ElementsAre("libusb_set_configuration dev=0 config=1 result=0",
                          "libusb_set_configuration dev=0 config=1 result=0"));
  EXPECT_EQ(ProbeSimControl::state(0, "config"), 1);
}

TEST_F(FX2Base, FailingStepsRefuseTheOpenAndLeaveNothingOpen) {
  struct Case {
    const char* scenario;
    const char* failingCall;
  };
  const Case cases[] = {
      {"fail_set_configuration = IO", "libusb_set_configuration dev=0 config=1 result=-1(IO)"},
      {"fail_get_configuration = PIPE", "libusb_get_configuration dev=0 result=-9(PIPE)"},
      {"fail_kernel_driver_active = OTHER", "libusb_kernel_driver_active dev=0 interface=0 result=-99(OTHER)"},
      {"config = 0\nkernel_driver = 1\nfail_detach_kernel_driver = ACCESS",
       "libusb_detach_kernel_driver dev=0 interface=0 result=-3(ACCESS)"},
      // Another process's claim makes Linux refuse the configuration already.
      {"claimed_elsewhere = 1", "libusb_set_configuration dev=0 config=1 result=-6(BUSY)"},
      {"fail_claim_interface = BUSY", "libusb_claim_interface dev=0 interface=0 result=-6(BUSY)"},
      // A bound driver that cannot be detached keeps the configuration refused.
      {"config = 1\nkernel_driver = 1\nfail_detach_kernel_driver = ACCESS",
       "libusb_detach_kernel_driver dev=0 interface=0 result=-3(ACCESS)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.scenario);
    configure(std::string("[probe]\n") + c.scenario + "\n");
    TFastFX2 fx2;
    EXPECT_FALSE(openProbe(fx2));
    EXPECT_FALSE(fx2.isOpen());
    const auto calls = steps();
    ASSERT_FALSE(calls.empty());
    // The failing call is followed only by the release attempt and the close.
    const auto failing = std::find(calls.begin(), calls.end(), c.failingCall);
    ASSERT_NE(failing, calls.end());
    // (A refused configuration first asks whether a kernel driver is the reason.)
    std::vector<std::string> after(failing + 1, calls.end());
    if (!after.empty() && after.front().rfind("libusb_kernel_driver_active", 0) == 0)
      after.erase(after.begin());
    EXPECT_THAT(after, ElementsAre(StartsWith("libusb_release_interface dev=0"), "libusb_close dev=0"));
    EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
    EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 0);
    // Only a failed enumeration or libusb_open waits.
    EXPECT_THAT(fx2.sleeps, IsEmpty());
  }
}

TEST_F(FX2Base, NoDeviceFailedOpenOrFailedScanWaitsHalfASecond) {
  for (const char* scenario : {"", "[device]\n", "fail_get_device_list = NO_MEM\n[probe]\n",
                               "[probe]\nfail_open = ACCESS\n"}) {
    SCOPED_TRACE(scenario);
    configure(scenario);
    TFastFX2 fx2;
    EXPECT_FALSE(openProbe(fx2));
    EXPECT_FALSE(fx2.isOpen());
    EXPECT_THAT(fx2.sleeps, ElementsAre(500u));
    EXPECT_THAT(ProbeSimControl::calls("libusb_set_configuration"), IsEmpty());
  }
}

TEST_F(FX2Base, IndexCountsOnlyMatchingDevicesInListOrder) {
  configure("[device]\n[probe]\nbcd = 1\n[device]\nvid = 0x04b4\npid = 0x8614\n[probe]\nbcd = 2\n");
  {
    TFastFX2 fx2;
    ASSERT_TRUE(openProbe(fx2, 1));
    EXPECT_THAT(ProbeSimControl::calls("libusb_open"), ElementsAre("libusb_open dev=3 result=0"));
  }
  ProbeSimControl::clearLog();
  {
    TFastFX2 fx2;
    ASSERT_TRUE(openProbe(fx2, 0));
    EXPECT_THAT(ProbeSimControl::calls("libusb_open"), ElementsAre("libusb_open dev=1 result=0"));
  }
  TFastFX2 fx2;
  EXPECT_FALSE(openProbe(fx2, 2));
  EXPECT_EQ(ProbeSimControl::state(1, "refs"), 0);
  EXPECT_EQ(ProbeSimControl::state(3, "refs"), 0);
}

// ---- transfers ----------------------------------------------------------------------------------

TEST_F(FX2Base, ClosedDeviceTouchesNoLibusbCall) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ProbeSimControl::clearLog();
  uint8_t buf[40] = {};
  size_t received = 123;
  EXPECT_EQ(fx2.controlMsg(FX2_REQTYPE_IN, 0xC1, 0, 0, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), -1);
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf, sizeof buf, received), -1);
  EXPECT_EQ(fx2.WriteRAM(0x1000, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_EQ(fx2.ReadRAM(0x1000, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_FALSE(fx2.FX2setResetBit(true));
  EXPECT_FALSE(fx2.FX2reload(fxprog, fxprogLength()));
  EXPECT_THAT(ProbeSimControl::log(), IsEmpty());
}

TEST_F(FX2Base, RamRequestsGoInChunksOfSixteen) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  std::vector<uint8_t> data(40);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i + 1);
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2.WriteRAM(0x1000, data.data(), data.size(), FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"),
              ElementsAre(AllOf(HasSubstr("type=0x40 request=0xa0 value=0x1000 index=0x0000"),
                                HasSubstr("length=16 data=0102030405060708090a0b0c0d0e0f10"),
                                HasSubstr("timeout=5000 result=16")),
                          AllOf(HasSubstr("value=0x1010"), HasSubstr("length=16 data=1112"), HasSubstr("result=16")),
                          AllOf(HasSubstr("value=0x1020"), HasSubstr("length=8 data=2122232425262728 "),
                                HasSubstr("result=8"))));
  EXPECT_EQ(ProbeSimControl::ram(0, 0x1000, data.size()), data);

  std::vector<uint8_t> back(40, 0);
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2.ReadRAM(0x1000, back.data(), back.size(), FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_EQ(back, data);
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"),
              ElementsAre(HasSubstr("type=0xc0 request=0xa0 value=0x1000"), HasSubstr("value=0x1010"),
                          AllOf(HasSubstr("value=0x1020"), HasSubstr("length=8"))));

  // Exactly one chunk at the boundary, and nothing at all for zero bytes.
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2.WriteRAM(0x2000, data.data(), 16, FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_EQ(fx2.WriteRAM(0x2000, data.data(), 0, FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_EQ(ProbeSimControl::calls("libusb_control_transfer").size(), 1u);
}

TEST_F(FX2Base, EveryChunkIsTriedAfterAFailedOne) {
  // Write requests are counted from 1: the second chunk stalls.
  configure("[probe]\nfail_a0_write = 2\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  std::vector<uint8_t> data(40, 0x5a);
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2.WriteRAM(0x1000, data.data(), data.size(), FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"),
              ElementsAre(HasSubstr("result=16"), HasSubstr("result=-9(PIPE)"), HasSubstr("result=8")));
  // A failed control request leaves the device open.
  EXPECT_TRUE(fx2.isOpen());
}

TEST_F(FX2Base, ResetBitWritesCpucs) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::clearLog();
  EXPECT_TRUE(fx2.FX2setResetBit(true));
  EXPECT_EQ(ProbeSimControl::state(0, "in_reset"), 1);
  // Released without a download: the 8051 runs and the device stays on the bus.
  EXPECT_TRUE(fx2.FX2setResetBit(false));
  EXPECT_EQ(ProbeSimControl::state(0, "in_reset"), 0);
  EXPECT_EQ(ProbeSimControl::state(0, "present"), 1);
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"),
              ElementsAre(AllOf(HasSubstr("type=0x40 request=0xa0 value=0xe600"), HasSubstr("length=1 data=01"),
                                HasSubstr("result=1")),
                          AllOf(HasSubstr("value=0xe600"), HasSubstr("data=00"), HasSubstr("result=1"))));

  configure("[probe]\nfail_a0_addr = 0xe600\n");
  TFastFX2 failing;
  ASSERT_TRUE(openProbe(failing));
  EXPECT_FALSE(failing.FX2setResetBit(true));
}

// ---- firmware ------------------------------------------------------------------------------------

TEST(FX2Firmware, ImageIsAStreamOfRecordsInsideTheFirmwareArea) {
  const size_t len = fxprogLength();
  ASSERT_GT(len, 0u);
  EXPECT_EQ(fxprog[len], 0) << "the image ends with one unsent zero";
  std::vector<bool> written(0x10000, false);
  size_t p = 0;
  size_t records = 0;
  while (p < len) {
    ASSERT_LE(p + 3, len) << "record " << records << " cut short";
    const size_t count = fxprog[p];
    const size_t address = fxprog[p + 1] * 256u + fxprog[p + 2];
    ASSERT_GE(count, 1u);
    ASSERT_LE(count, 32u);
    ASSERT_LE(p + 3 + count, len) << "record " << records << " runs past the end";
    ASSERT_LE(address + count, 0x13E9u) << "record " << records;
    for (size_t a = address; a < address + count; ++a) {
      ASSERT_FALSE(written[a]) << "records overlap at " << a;
      written[a] = true;
    }
    p += 3 + count;
    ++records;
  }
  EXPECT_EQ(p, len);
}

TEST_F(FX2Base, DownloadStopsAtTheFirstFailingRecord) {
  const uint8_t records[] = {2, 0x01, 0x00, 0xaa, 0xbb,  // 0x0100
                             3, 0x02, 0x00, 1, 2, 3,     // 0x0200: fails
                             1, 0x03, 0x00, 0xcc};       // 0x0300: never sent
  configure("[probe]\nfail_a0_addr = 0x0200\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::clearLog();
  EXPECT_FALSE(fx2.programEmbedded(records, sizeof records));
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"),
              ElementsAre(HasSubstr("value=0x0100"), AllOf(HasSubstr("value=0x0200"), HasSubstr("result=-9(PIPE)"))));

  // Without the fault the same stream goes out whole.
  configure("[probe]\n");
  TFastFX2 ok;
  ASSERT_TRUE(openProbe(ok));
  EXPECT_TRUE(ok.programEmbedded(records, sizeof records));
  EXPECT_EQ(ProbeSimControl::ram(0, 0x0100, 2), (std::vector<uint8_t>{0xaa, 0xbb}));
  EXPECT_EQ(ProbeSimControl::ram(0, 0x0300, 1), (std::vector<uint8_t>{0xcc}));
}

TEST_F(FX2Base, DamagedRecordAtTheEndIsNotSent) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  const uint8_t cutData[] = {1, 0x01, 0x00, 0x11, 4, 0x02, 0x00, 1, 2};  // second record lacks 2 bytes
  const uint8_t cutHeader[] = {1, 0x01, 0x00, 0x11, 4, 0x02};
  for (const auto& [data, len] : {std::pair{cutData, sizeof cutData}, std::pair{cutHeader, sizeof cutHeader}}) {
    ProbeSimControl::clearLog();
    EXPECT_FALSE(fx2.programEmbedded(data, len));
    EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer"), ElementsAre(HasSubstr("value=0x0100")));
  }
}

TEST_F(FX2Base, ReloadDownloadsUnderResetAndReopensAfterReenumeration) {
  // The device comes back 100 ms after the firmware starts: some reopen attempts find nothing.
  configure("[probe]\nconfig = 0\nreenum_delay_ms = 100\nbcd_after_reenum = 0x0001\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::clearLog();
  ASSERT_TRUE(fx2.FX2reload(fxprog, fxprogLength()));
  EXPECT_TRUE(fx2.isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "generation"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 1);

  // Every record landed where its address says.
  for (size_t p = 0; p < fxprogLength(); p += 3 + fxprog[p]) {
    const std::vector<uint8_t> expected(fxprog + p + 3, fxprog + p + 3 + fxprog[p]);
    ASSERT_EQ(ProbeSimControl::ram(0, fxprog[p + 1] * 256u + fxprog[p + 2], fxprog[p]), expected) << p;
  }

  // Hold, download, release, then the wait and the reopen attempts.
  const auto transfers = ProbeSimControl::calls("libusb_control_transfer");
  ASSERT_GE(transfers.size(), 3u);
  EXPECT_THAT(transfers.front(), AllOf(HasSubstr("value=0xe600"), HasSubstr("data=01")));
  EXPECT_THAT(transfers.back(), AllOf(HasSubstr("value=0xe600"), HasSubstr("data=00"), HasSubstr("result=1")));
  ASSERT_GE(fx2.sleeps.size(), 2u);
  EXPECT_EQ(fx2.sleeps[0], 2000u);
  EXPECT_EQ(fx2.sleeps[1], 200u);
  EXPECT_EQ(fx2.sleeps.back(), 200u) << "the last attempt succeeded";
  const auto log = ProbeSimControl::log();
  const auto left = std::find(log.begin(), log.end(), "event left_bus_for_reenumeration dev=0");
  const auto back = std::find(log.begin(), log.end(), "event reenumerated dev=0");
  ASSERT_NE(left, log.end());
  ASSERT_NE(back, log.end());
  EXPECT_LT(left, back);
  // The old handle is closed and the new one claims interface 0 of the new appearance.
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 1);
}

TEST_F(FX2Base, ReloadOfAProbeThatNeverComesBackFailsAfterTheRetryBudget) {
  configure("[probe]\nreenum = never\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::clearLog();
  EXPECT_FALSE(fx2.FX2reload(fxprog, fxprogLength()));
  EXPECT_FALSE(fx2.isOpen());
  std::vector<unsigned> expected{2000};
  for (int i = 0; i < 25; ++i) {
    expected.push_back(200);
    expected.push_back(500);
  }
  EXPECT_EQ(fx2.sleeps, expected);
  EXPECT_EQ(ProbeSimControl::calls("libusb_get_device_list").size(), 25u);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
}

TEST_F(FX2Base, ReloadWithAFailingRecordKeepsTheDeviceOpenAndInReset) {
  configure("[probe]\nfail_a0_write = 10\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::clearLog();
  EXPECT_FALSE(fx2.FX2reload(fxprog, fxprogLength()));
  EXPECT_TRUE(fx2.isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "in_reset"), 1);
  const auto transfers = ProbeSimControl::calls("libusb_control_transfer");
  EXPECT_THAT(transfers.back(), HasSubstr("result=-9(PIPE)"));
  EXPECT_THAT(fx2.sleeps, IsEmpty());
}

// ---- interrupt reads ------------------------------------------------------------------------------

TEST_F(FX2Base, TimeoutWithPartialDataIsSuccessOtherErrorsClose) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {1, 2, 3, 4}, 0);
  ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {5, 6}, LIBUSB_ERROR_TIMEOUT);
  ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {}, LIBUSB_ERROR_TIMEOUT);
  ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {7}, LIBUSB_ERROR_PIPE);

  std::vector<uint8_t> buf(512, 0);
  size_t received = 99;
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 4, received), 0);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf.data() + 4, 100, received), 0);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 100, received), 0);
  EXPECT_EQ(received, 0u);
  EXPECT_TRUE(fx2.isOpen());
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 100, received), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(received, 1u);
  EXPECT_FALSE(fx2.isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
  EXPECT_THAT(ProbeSimControl::calls("libusb_interrupt_transfer"),
              ElementsAre(AllOf(HasSubstr("endpoint=0x86 length=4 data=01020304 transferred=4"),
                                HasSubstr("timeout=5000 result=0")),
                          HasSubstr("data=0506 transferred=2"), HasSubstr("transferred=0"),
                          HasSubstr("result=-9(PIPE)")));
}

TEST_F(FX2Base, ReadTimeoutGrowsOnlyForVeryLargeReads) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  std::vector<uint8_t> buf(2560512 + 512);
  size_t received = 0;
  for (size_t len : {size_t{2560511}, size_t{2560512}, size_t{2560512 + 512}}) {
    ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {}, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), len, received), 0);
  }
  EXPECT_THAT(ProbeSimControl::calls("libusb_interrupt_transfer"),
              ElementsAre(HasSubstr("timeout=5000 "), HasSubstr("timeout=5001 "), HasSubstr("timeout=5002 ")));
}

TEST_F(FX2Base, UnpluggedProbeFailsRequestsAndReadsCloseIt) {
  configure("[probe]\n");
  TFastFX2 fx2;
  ASSERT_TRUE(openProbe(fx2));
  ASSERT_TRUE(ProbeSimControl::unplug(0));
  uint8_t buf[64];
  EXPECT_EQ(fx2.controlMsg(FX2_REQTYPE_IN, 0xC1, 0, 0, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS),
            LIBUSB_ERROR_NO_DEVICE);
  EXPECT_TRUE(fx2.isOpen());
  size_t received = 0;
  EXPECT_EQ(fx2.blockRead(FX2_CAPTURE_ENDPOINT, buf, sizeof buf, received), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_FALSE(fx2.isOpen());

  // Plugged back in, the probe opens again.
  ASSERT_TRUE(ProbeSimControl::replug(0));
  EXPECT_TRUE(openProbe(fx2));
}
