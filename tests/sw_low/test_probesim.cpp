// Tests of the probe simulator's own model where the USB layer tests do not reach: timing, staleness, scenarios.
#include "probesim_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <functional>
#include <thread>

using ::testing::HasSubstr;

namespace {

/// Polls cond until it holds or the deadline passes.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > end)
      return false;
    std::this_thread::yield();
  }
  return true;
}

/// Opens the first device of the list on the default context.
libusb_device_handle* openFirst() {
  libusb_device** list = nullptr;
  libusb_device_handle* handle = nullptr;
  if (libusb_get_device_list(nullptr, &list) > 0 && libusb_open(list[0], &handle) != 0)
    handle = nullptr;
  if (list != nullptr)
    libusb_free_device_list(list, 1);
  return handle;
}

class ProbeSim : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded());
    ASSERT_EQ(libusb_init(nullptr), 0);
  }
  void TearDown() override { libusb_exit(nullptr); }
};

} // namespace

TEST_F(ProbeSim, ScenarioErrorsNameTheProblem) {
  EXPECT_THAT(ProbeSimControl::configure("[probe]\nconfig = one\n"), HasSubstr("config needs a number"));
  EXPECT_THAT(ProbeSimControl::configure("[probe]\nfail_open = SOMETIMES\n"), HasSubstr("fail_open"));
  EXPECT_THAT(ProbeSimControl::configure("[gadget]\n"), HasSubstr("line 1"));
  EXPECT_THAT(ProbeSimControl::configure("[probe]\nreenum = later\n"), HasSubstr("reenum"));
  EXPECT_EQ(ProbeSimControl::configure("# nothing\n\n[probe]  # the probe\nmy_extension_key = 7\n"), "");
}

TEST_F(ProbeSim, ScheduledUnplugAndReplugHappenOnTime) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\nunplug_at_ms = 30\nreplug_at_ms = 60\n"), "");
  libusb_device_handle* handle = openFirst();
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(eventually([] { return ProbeSimControl::state(0, "present") == 0; }));
  int config = -1;
  EXPECT_EQ(libusb_get_configuration(handle, &config), LIBUSB_ERROR_NO_DEVICE);
  ASSERT_TRUE(eventually([] { return ProbeSimControl::state(0, "present") == 1; }));
  // The old handle stays dead; a fresh open works.
  EXPECT_EQ(libusb_get_configuration(handle, &config), LIBUSB_ERROR_NO_DEVICE);
  libusb_close(handle);
  handle = openFirst();
  ASSERT_NE(handle, nullptr);
  libusb_close(handle);
}

TEST_F(ProbeSim, DeviceOfAFormerAppearanceCannotBeOpened) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\nreenum_delay_ms = 0\n"), "");
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
  libusb_device* stale = libusb_ref_device(list[0]);
  libusb_free_device_list(list, 1);
  libusb_device_handle* handle = nullptr;
  ASSERT_EQ(libusb_open(stale, &handle), 0);
  unsigned char byte = 0x55;
  ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0xA0, 0x0000, 0, &byte, 1, 5000), 1);
  byte = 0;
  ASSERT_EQ(libusb_control_transfer(handle, 0x40, 0xA0, 0xE600, 0, &byte, 1, 5000), 1);
  // Firmware started: it left the bus and (delay 0) is back as a new device.
  libusb_device_handle* again = nullptr;
  EXPECT_EQ(libusb_open(stale, &again), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(ProbeSimControl::state(0, "present"), 1);
  EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 1);
  EXPECT_EQ(ProbeSimControl::ram(0, 0, 1), std::vector<uint8_t>{0x55});
  libusb_close(handle);
  libusb_unref_device(stale);
}

TEST_F(ProbeSim, OwnClaimBlocksConfigurationChangesUntilReleased) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\n"), "");
  libusb_device_handle* first = openFirst();
  libusb_device_handle* second = openFirst();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(libusb_claim_interface(first, 0), 0);
  EXPECT_EQ(libusb_claim_interface(first, 0), 0);
  EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_set_configuration(second, 1), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_release_interface(second, 0), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_release_interface(first, 0), 0);
  EXPECT_EQ(libusb_set_configuration(second, 1), 0);
  libusb_close(first);
  libusb_close(second);
  EXPECT_EQ(ProbeSimControl::state(0, "open_handles"), 0);
}

TEST_F(ProbeSim, FaultCountsLimitHowOftenACallFails) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\nfail_open = ACCESS*2\n"), "");
  EXPECT_EQ(openFirst(), nullptr);
  EXPECT_EQ(openFirst(), nullptr);
  libusb_device_handle* handle = openFirst();
  EXPECT_NE(handle, nullptr);
  libusb_close(handle);
}
