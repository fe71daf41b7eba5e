// Tests of the probe simulator where the USB layer tests rely on it unchecked: scenario errors, timing, staleness.
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
  // A mistyped scenario must not run silently as a different one.
  EXPECT_THAT(ProbeSimControl::configure("[probe]\nconfig = one\n"), HasSubstr("config needs a number"));
  EXPECT_THAT(ProbeSimControl::configure("[probe]\nfail_open = SOMETIMES\n"), HasSubstr("fail_open"));
  EXPECT_THAT(ProbeSimControl::configure("[gadget]\n"), HasSubstr("line 1"));
  EXPECT_EQ(ProbeSimControl::configure("# nothing\n\n[probe]  # the probe\nmy_extension_key = 7\n"), "");
}

TEST_F(ProbeSim, ScheduledUnplugAndReplugLeaveOldHandlesAndDevicesDead) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\nunplug_at_ms = 500\nreplug_at_ms = 1500\n"), "");
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
  libusb_device* stale = libusb_ref_device(list[0]);
  libusb_free_device_list(list, 1);
  libusb_device_handle* handle = nullptr;
  ASSERT_EQ(libusb_open(stale, &handle), 0);
  int config = -1;
  ASSERT_TRUE(eventually([] { return ProbeSimControl::state(0, "present") == 0; }));
  EXPECT_EQ(libusb_get_configuration(handle, &config), LIBUSB_ERROR_NO_DEVICE);
  ASSERT_TRUE(eventually([] { return ProbeSimControl::state(0, "present") == 1; }));
  // Back as a new appearance: the old handle and device stay dead, a fresh open works.
  EXPECT_EQ(libusb_claim_interface(handle, 0), LIBUSB_ERROR_NO_DEVICE);
  libusb_device_handle* again = nullptr;
  EXPECT_EQ(libusb_open(stale, &again), LIBUSB_ERROR_NO_DEVICE);
  libusb_close(handle);
  libusb_unref_device(stale);
  ASSERT_EQ(libusb_get_device_list(nullptr, &list), 1);
  ASSERT_EQ(libusb_open(list[0], &again), 0);
  libusb_free_device_list(list, 1);
  libusb_close(again);
}
