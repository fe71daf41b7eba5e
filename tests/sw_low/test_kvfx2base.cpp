// Tests of the FX2 USB layer (open sequence, RAM requests, firmware download, reads) against the probe simulator.
#include "kvfx2base.h"
#include "kvfx2bin.h"
#include "probesim_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

namespace {

/// TFX2base whose waits are recorded and shortened a hundredfold, so the reload sequence's
/// seconds of waiting run in milliseconds and its retry budget can be counted.
class TFastFX2 : public TFX2base {
public:
  void milliSleep(unsigned ms) override {
    sleeps.push_back(ms);
    TFX2base::milliSleep(ms / 100);
  }
  std::vector<unsigned> sleeps;
};

/// The log lines of the calls an open decides on, without the "libusb_" prefix.
std::vector<std::string> openSteps() {
  std::vector<std::string> out;
  for (const auto& line : ProbeSimControl::log())
    for (const char* call : {"set_configuration", "get_configuration", "kernel_driver_active", "detach_kernel",
                             "claim_interface", "release_interface", "close"})
      if (line.rfind(std::string("libusb_") + call, 0) == 0)
        out.push_back(line.substr(7));
  return out;
}

/// "type value length result" of each 0xA0 request, e.g. "40 1010 16 16".
std::vector<std::string> ramRequests() {
  static const std::regex fields(R"(type=0x(\w+) request=0xa0 value=0x(\w+) .* length=(\d+) .* result=(\S+))");
  std::vector<std::string> out;
  std::smatch m;
  for (const auto& line : ProbeSimControl::calls("libusb_control_transfer"))
    if (std::regex_search(line, m, fields))
      out.push_back(m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4));
  return out;
}

class FX2Base : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded())
        << "libusb in use is " << ProbeSimControl::libusbPath() << ", not the probe simulator";
  }
  /// Loads the scenario and opens probe `index` with a fresh fx2; returns whether the open worked.
  bool start(const std::string& scenario, int index = 0) {
    EXPECT_EQ(ProbeSimControl::configure(scenario), "");
    ProbeSimControl::clearLog();
    fx2 = std::make_unique<TFastFX2>();
    return fx2->open(FX2_VENDOR_ID, FX2_PRODUCT_ID, index);
  }
  std::unique_ptr<TFastFX2> fx2;
};

}  // namespace

// ---- open ---------------------------------------------------------------------------------------

TEST_F(FX2Base, OpenConfiguresDetachesAndClaimsThenCloseGivesEverythingBack) {
  const std::string set = "set_configuration dev=0 config=1 result=0", get1 = "get_configuration dev=0 config=1 result=0",
                    noDriver = "kernel_driver_active dev=0 interface=0 result=0",
                    driver = "kernel_driver_active dev=0 interface=0 result=1",
                    detach = "detach_kernel_driver dev=0 interface=0 result=0",
                    claim = "claim_interface dev=0 interface=0 result=0";
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"config = 1", {set, get1, noDriver, claim}},
      // Setting configuration 1 lets the kernel driver bind interface 0: detached before the claim.
      {"config = 0\nkernel_driver = 1", {set, get1, driver, detach, claim}},
      // A driver bound while configured makes Linux refuse the set: detached, then set again.
      {"config = 1\nkernel_driver = 1",
       {"set_configuration dev=0 config=1 result=-6(BUSY)", driver, detach, set, get1, noDriver, claim}},
      // Still unconfigured after the first set: configuration 1 is set a second time.
      {"config = 0\nunconfigured_sets = 1", {set, "get_configuration dev=0 config=0 result=0", set, noDriver, claim}},
  };
  for (const auto& [scenario, expected] : cases) {
    SCOPED_TRACE(scenario);
    ASSERT_TRUE(start(std::string("[probe]\n") + scenario + "\n"));
    EXPECT_TRUE(fx2->isOpen());
    EXPECT_EQ(openSteps(), expected);
    EXPECT_EQ(ProbeSimControl::state(0, "config"), 1);
    EXPECT_EQ(ProbeSimControl::state(0, "driver_bound"), 0);
    EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 1);
    EXPECT_THAT(fx2->sleeps, IsEmpty());
    fx2->close();
    EXPECT_FALSE(fx2->isOpen());
    for (const char* key : {"claimed", "open_handles", "refs"})
      EXPECT_EQ(ProbeSimControl::state(0, key), 0) << key;
  }
}

TEST_F(FX2Base, FailingStepRefusesTheOpenAndLeavesNothingOpen) {
  const std::pair<const char*, const char*> cases[] = {
      {"fail_set_configuration = IO", "set_configuration dev=0 config=1 result=-1(IO)"},
      {"fail_get_configuration = PIPE", "get_configuration dev=0 result=-9(PIPE)"},
      {"fail_kernel_driver_active = OTHER", "kernel_driver_active dev=0 interface=0 result=-99(OTHER)"},
      {"config = 0\nkernel_driver = 1\nfail_detach_kernel_driver = ACCESS",
       "detach_kernel_driver dev=0 interface=0 result=-3(ACCESS)"},
      {"config = 1\nkernel_driver = 1\nfail_detach_kernel_driver = ACCESS",
       "detach_kernel_driver dev=0 interface=0 result=-3(ACCESS)"},
      // Another process's claim makes Linux refuse the configuration already.
      {"claimed_elsewhere = 1", "set_configuration dev=0 config=1 result=-6(BUSY)"},
      {"fail_claim_interface = BUSY", "claim_interface dev=0 interface=0 result=-6(BUSY)"},
  };
  for (const auto& [scenario, failing] : cases) {
    SCOPED_TRACE(scenario);
    EXPECT_FALSE(start(std::string("[probe]\n") + scenario + "\n"));
    EXPECT_FALSE(fx2->isOpen());
    auto calls = openSteps();
    const auto at = std::find(calls.begin(), calls.end(), failing);
    ASSERT_NE(at, calls.end());
    // After the failing call only the release attempt and the close (a refused configuration
    // first asks whether a kernel driver is the reason).
    std::vector<std::string> after(at + 1, calls.end());
    if (!after.empty() && after.front().rfind("kernel_driver_active", 0) == 0)
      after.erase(after.begin());
    EXPECT_THAT(after, ElementsAre(StartsWith("release_interface dev=0"), "close dev=0"));
    EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
    EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 0);
    EXPECT_THAT(fx2->sleeps, IsEmpty());
  }
  // No probe, a failed scan or a failed libusb_open wait half a second and configure nothing.
  for (const char* scenario : {"", "[device]\n", "fail_get_device_list = NO_MEM\n[probe]\n", "[probe]\nfail_open = ACCESS\n"}) {
    SCOPED_TRACE(scenario);
    EXPECT_FALSE(start(scenario));
    EXPECT_FALSE(fx2->isOpen());
    EXPECT_THAT(fx2->sleeps, ElementsAre(500u));
    EXPECT_THAT(openSteps(), IsEmpty());
  }
}

TEST_F(FX2Base, IndexCountsOnlyMatchingDevicesInListOrder) {
  const std::string devices = "[device]\n[probe]\n[device]\nvid = 0x04b4\npid = 0x8614\n[probe]\n";
  ASSERT_TRUE(start(devices, 1));
  EXPECT_THAT(ProbeSimControl::calls("libusb_open"), ElementsAre("libusb_open dev=3 result=0"));
  fx2.reset();
  EXPECT_FALSE(start(devices, 2));
  EXPECT_EQ(ProbeSimControl::state(1, "refs"), 0);
  EXPECT_EQ(ProbeSimControl::state(3, "refs"), 0);
}

// ---- RAM requests and firmware download -----------------------------------------------------------

TEST_F(FX2Base, ClosedDeviceTouchesNoLibusbCall) {
  EXPECT_FALSE(start(""));
  ProbeSimControl::clearLog();
  uint8_t buf[40] = {};
  size_t received = 123;
  EXPECT_EQ(fx2->controlMsg(FX2_REQTYPE_IN, 0xC1, 0, 0, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), -1);
  EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf, sizeof buf, received), -1);
  EXPECT_EQ(fx2->WriteRAM(0x1000, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_EQ(fx2->ReadRAM(0x1000, buf, sizeof buf, FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_FALSE(fx2->FX2setResetBit(true));
  EXPECT_FALSE(fx2->FX2reload(fxprog, fxprogLength()));
  EXPECT_THAT(ProbeSimControl::log(), IsEmpty());
}

TEST_F(FX2Base, RamRequestsGoInChunksOfSixteenAndEveryChunkIsTried) {
  // Write requests are counted from 1: the fifth (the second chunk of the second write) stalls.
  ASSERT_TRUE(start("[probe]\nfail_a0_write = 5\n"));
  std::vector<uint8_t> data(40), back(40, 0);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<uint8_t>(i + 1);
  ProbeSimControl::clearLog();
  EXPECT_EQ(fx2->WriteRAM(0x1000, data.data(), data.size(), FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_EQ(fx2->ReadRAM(0x1000, back.data(), back.size(), FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_EQ(back, data);
  EXPECT_EQ(fx2->WriteRAM(0x2000, data.data(), data.size(), FX2_CONTROL_TIMEOUT_MS), 1);
  EXPECT_TRUE(fx2->isOpen());  // a failed control request leaves the device open
  EXPECT_EQ(fx2->WriteRAM(0x3000, data.data(), 0, FX2_CONTROL_TIMEOUT_MS), 0);
  EXPECT_THAT(ramRequests(), ElementsAre("40 1000 16 16", "40 1010 16 16", "40 1020 8 8", "c0 1000 16 16",
                                         "c0 1010 16 16", "c0 1020 8 8", "40 2000 16 16", "40 2010 16 -9(PIPE)",
                                         "40 2020 8 8"));
  EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer")[2],
              HasSubstr("index=0x0000 endpoint=0x00 length=8 data=2122232425262728 timeout=5000"));
}

TEST_F(FX2Base, DownloadStopsAtTheFirstFailingOrDamagedRecord) {
  ASSERT_TRUE(start("[probe]\nfail_a0_addr = 0x0200\n"));
  const uint8_t records[] = {2, 0x01, 0x00, 0xaa, 0xbb,  // 0x0100
                             3, 0x02, 0x00, 1, 2, 3,     // 0x0200: fails
                             1, 0x03, 0x00, 0xcc};       // 0x0300: never sent
  const uint8_t cutData[] = {1, 0x01, 0x00, 0x11, 4, 0x02, 0x00, 1, 2};  // second record lacks 2 bytes
  const uint8_t cutHeader[] = {1, 0x01, 0x00, 0x11, 4, 0x02};
  ProbeSimControl::clearLog();
  EXPECT_FALSE(fx2->programEmbedded(records, sizeof records));
  EXPECT_FALSE(fx2->programEmbedded(cutData, sizeof cutData));
  EXPECT_FALSE(fx2->programEmbedded(cutHeader, sizeof cutHeader));
  EXPECT_THAT(ramRequests(), ElementsAre("40 0100 2 2", "40 0200 3 -9(PIPE)", "40 0100 1 1", "40 0100 1 1"));
}

TEST_F(FX2Base, ReloadDownloadsUnderResetAndReopensAfterReenumeration) {
  // The device comes back 100 ms after the firmware starts: some reopen attempts find nothing.
  ASSERT_TRUE(start("[probe]\nconfig = 0\nreenum_delay_ms = 100\n"));
  ProbeSimControl::clearLog();
  ASSERT_TRUE(fx2->FX2reload(fxprog, fxprogLength()));
  EXPECT_TRUE(fx2->isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "generation"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "claimed"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 1);  // the old handle was closed
  EXPECT_EQ(fxprog[fxprogLength()], 0) << "the image ends with one unsent zero";
  for (size_t p = 0; p < fxprogLength(); p += 3 + fxprog[p]) {
    const std::vector<uint8_t> expected(fxprog + p + 3, fxprog + p + 3 + fxprog[p]);
    ASSERT_EQ(ProbeSimControl::ram(0, fxprog[p + 1] * 256u + fxprog[p + 2], fxprog[p]), expected) << p;
  }
  // Hold, download, release; then the wait for the device to leave and the reopen attempts.
  const auto transfers = ProbeSimControl::calls("libusb_control_transfer");
  EXPECT_THAT(transfers.front(), HasSubstr("value=0xe600 index=0x0000 endpoint=0x00 length=1 data=01"));
  EXPECT_THAT(transfers.back(), HasSubstr("value=0xe600 index=0x0000 endpoint=0x00 length=1 data=00 timeout=5000 result=1"));
  ASSERT_GE(fx2->sleeps.size(), 2u);
  EXPECT_EQ(fx2->sleeps[0], 2000u);
  EXPECT_EQ(fx2->sleeps.back(), 200u) << "the last attempt succeeded";
}

TEST_F(FX2Base, FailedReloadReportsFalse) {
  // Never re-enumerates: false after 25 attempts, 200 ms before each and 500 ms after each miss.
  ASSERT_TRUE(start("[probe]\nreenum = never\n"));
  EXPECT_FALSE(fx2->FX2reload(fxprog, fxprogLength()));
  EXPECT_FALSE(fx2->isOpen());
  std::vector<unsigned> expected{2000};
  for (int i = 0; i < 25; ++i)
    expected.insert(expected.end(), {200, 500});
  EXPECT_EQ(fx2->sleeps, expected);
  EXPECT_EQ(ProbeSimControl::calls("libusb_get_device_list").size(), 26u);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);

  // A failing record or reset bit: the device stays open (in reset), and nothing waits.
  for (const char* fault : {"fail_a0_write = 10", "fail_a0_addr = 0xe600"}) {
    SCOPED_TRACE(fault);
    ASSERT_TRUE(start(std::string("[probe]\n") + fault + "\n"));
    EXPECT_FALSE(fx2->FX2reload(fxprog, fxprogLength()));
    EXPECT_TRUE(fx2->isOpen());
    EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 0);
    EXPECT_THAT(ProbeSimControl::calls("libusb_control_transfer").back(), HasSubstr("result=-9(PIPE)"));
    EXPECT_THAT(fx2->sleeps, IsEmpty());
  }
}

// ---- interrupt reads ------------------------------------------------------------------------------

TEST_F(FX2Base, ReadTimeoutWithPartialDataIsSuccessOtherErrorsClose) {
  ASSERT_TRUE(start("[probe]\n"));
  for (const auto& [data, result] : {std::pair{std::vector<uint8_t>{1, 2, 3, 4}, 0},
                                     std::pair{std::vector<uint8_t>{5, 6}, int{LIBUSB_ERROR_TIMEOUT}},
                                     std::pair{std::vector<uint8_t>{}, int{LIBUSB_ERROR_TIMEOUT}},
                                     std::pair{std::vector<uint8_t>{7}, int{LIBUSB_ERROR_PIPE}}})
    ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, data, result);
  std::vector<uint8_t> buf(512, 0);
  size_t received = 99;
  EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 4, received), 0);
  EXPECT_EQ(received, 4u);
  EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf.data() + 4, 100, received), 0);
  EXPECT_EQ(received, 2u);
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 100, received), 0);
  EXPECT_EQ(received, 0u);
  EXPECT_TRUE(fx2->isOpen());
  EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), 100, received), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(received, 1u);
  EXPECT_FALSE(fx2->isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
  EXPECT_THAT(ProbeSimControl::calls("libusb_interrupt_transfer").front(),
              HasSubstr("endpoint=0x86 length=4 data=01020304 transferred=4 timeout=5000 result=0"));

  // The read timeout grows by 1 ms per 512 bytes beyond 2560512.
  ASSERT_TRUE(start("[probe]\n"));
  buf.resize(2560512 + 512);
  for (size_t len : {size_t{2560511}, size_t{2560512}, size_t{2560512 + 512}}) {
    ProbeSimControl::queueInterrupt(0, FX2_CAPTURE_ENDPOINT, {}, LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(fx2->blockRead(FX2_CAPTURE_ENDPOINT, buf.data(), len, received), 0);
  }
  EXPECT_THAT(ProbeSimControl::calls("libusb_interrupt_transfer"),
              ElementsAre(HasSubstr("timeout=5000 "), HasSubstr("timeout=5001 "), HasSubstr("timeout=5002 ")));
}
