// Tests of the board finder run as a program against the probe simulator: texts, exit codes, USB calls.
#include "probesim_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

struct OvfindRun {
  std::string out;
  int exitCode = -1;
  std::vector<std::string> log; ///< simulator call log without the time column
};

/// Runs ovfind with the scenario; the simulator comes from LD_LIBRARY_PATH, which the test inherits.
OvfindRun runOvfind(const std::string& scenario) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const fs::path dir = fs::temp_directory_path() /
                       ("kv_ovfind_" + std::to_string(getpid()) + "_" + info->name());
  fs::create_directories(dir);
  const fs::path config = dir / "scenario.txt";
  const fs::path log = dir / "calls.log";
  std::ofstream(config) << scenario;
  fs::remove(log);

  OvfindRun run;
  const std::string command = "PROBESIM_CONFIG='" + config.string() + "' PROBESIM_LOG='" + log.string() +
                              "' '" KV_OVFIND_PATH "' ignored arguments";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr)
    return run;
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
    run.out.append(buf, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;

  std::ifstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    const auto start = line.find_first_not_of(' ');
    run.log.push_back(line.substr(line.find(' ', start) + 1));
  }
  fs::remove_all(dir);
  return run;
}

/// The banner with its build date and time masked.
std::string masked(const std::string& out) {
  static const std::regex banner(R"(^ovfind \[Version: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\]\n)");
  return std::regex_replace(out, banner, "ovfind [Version: <date>]\n", std::regex_constants::format_first_only);
}

std::vector<std::string> callsOf(const OvfindRun& run, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& line : run.log)
    if (line.rfind(prefix, 0) == 0)
      out.push_back(line);
  return out;
}

class Ovfind : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded()) << "run with LD_LIBRARY_PATH=" << ProbeSimControl::libraryDir();
  }
};

} // namespace

TEST_F(Ovfind, NoDeviceAtAll) {
  const OvfindRun run = runOvfind("");
  EXPECT_EQ(masked(run.out),
            "ovfind [Version: <date>]\n"
            "\nscanning for USB devices... 0 USB devices detected\n"
            "\n\ncould not detect a Cypress board."
            "\n\nFAILED\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(callsOf(run, "libusb_exit"), ElementsAre("libusb_exit ctx=default"));
}

TEST_F(Ovfind, ProbeOpensWholeOutput) {
  const OvfindRun run = runOvfind("[device]\nvid = 0x1d6b\npid = 0x0002\nbcd = 0x0601\n[probe]\nbcd = 0xA0C1\n");
  EXPECT_EQ(masked(run.out),
            "ovfind [Version: <date>]\n"
            "\nscanning for USB devices... 2 USB devices detected\n"
            "\n   0  VID=1d6b  PID=0002  bcdDevice=0601"
            "\n   1  VID=04b4  PID=8613  bcdDevice=a0c1  *** Cypress ***"
            "\n\nCypress board (#1) detected... attempting to open... opened/closed OK."
            "\n\nSUCCEEDED\n");
  EXPECT_EQ(run.exitCode, 0);
  // Everything taken is given back.
  EXPECT_THAT(callsOf(run, "libusb_release_interface"), ElementsAre(HasSubstr("result=0")));
  EXPECT_THAT(callsOf(run, "libusb_close"), ElementsAre("libusb_close dev=1"));
  EXPECT_THAT(callsOf(run, "libusb_free_device_list"), ElementsAre("libusb_free_device_list count=2 unref=1"));
}

TEST_F(Ovfind, BannerCarriesTheBuildDateAndTime) {
  const OvfindRun run = runOvfind("");
  EXPECT_NE(masked(run.out), run.out) << run.out;
}

TEST_F(Ovfind, OnlyTheFirstOfTwoProbesIsMarkedAndOpened) {
  std::string scenario;
  for (int i = 0; i < 12; ++i)
    scenario += (i == 4 || i == 11) ? "[probe]\n" : "[device]\n";
  const OvfindRun run = runOvfind(scenario);
  EXPECT_THAT(run.out, HasSubstr("\n   4  VID=04b4  PID=8613  bcdDevice=a001  *** Cypress ***\n"));
  EXPECT_THAT(run.out, HasSubstr("\n  11  VID=04b4  PID=8613  bcdDevice=a001\n\nCypress board (#4) detected"));
  EXPECT_THAT(run.out, HasSubstr(" 12 USB devices detected\n"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_THAT(callsOf(run, "libusb_open"), ElementsAre("libusb_open dev=4 result=0"));
}

TEST_F(Ovfind, ConfigurationIsSetOnlyWhenUnconfigured) {
  const OvfindRun configured = runOvfind("[probe]\nconfig = 1\n");
  EXPECT_EQ(configured.exitCode, 0);
  EXPECT_THAT(callsOf(configured, "libusb_set_configuration"), IsEmpty());

  const OvfindRun unconfigured = runOvfind("[probe]\nconfig = 0\n");
  EXPECT_EQ(unconfigured.exitCode, 0);
  EXPECT_THAT(callsOf(unconfigured, "libusb_set_configuration"),
              ElementsAre("libusb_set_configuration dev=0 config=1 result=0"));
}

TEST_F(Ovfind, BoundKernelDriverIsDetachedAndStaysDetached) {
  const OvfindRun run = runOvfind("[probe]\nconfig = 1\nkernel_driver = 1\n");
  EXPECT_THAT(run.out, HasSubstr("attempting to open... opened/closed OK.\n\nSUCCEEDED\n"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_THAT(callsOf(run, "libusb_detach_kernel_driver"),
              ElementsAre("libusb_detach_kernel_driver dev=0 interface=0 result=0"));
  EXPECT_THAT(callsOf(run, "libusb_attach_kernel_driver"), IsEmpty());
}

TEST_F(Ovfind, FailingOpenStepsGiveCouldNotBeOpened) {
  for (const char* scenario : {"claimed_elsewhere = 1", "fail_open = ACCESS", "fail_get_configuration = IO",
                               "config = 0\nfail_set_configuration = BUSY", "fail_kernel_driver_active = OTHER",
                               "kernel_driver = 1\nfail_detach_kernel_driver = IO",
                               "fail_claim_interface = BUSY"}) {
    SCOPED_TRACE(scenario);
    const OvfindRun run = runOvfind(std::string("[probe]\n") + scenario + "\n");
    EXPECT_THAT(run.out, HasSubstr("\n\nCypress board (#0) detected... attempting to open... could not be opened."
                                   "\n\nFAILED\n"));
    EXPECT_EQ(run.exitCode, 1);
    // No libusb error text reaches the user, and an opened handle is closed again.
    EXPECT_THAT(run.out, Not(HasSubstr("LIBUSB")));
    EXPECT_EQ(callsOf(run, "libusb_open").size(), 1u);
    if (callsOf(run, "libusb_open dev=0 result=0").size() == 1) {
      EXPECT_EQ(callsOf(run, "libusb_close").size(), 1u);
    }
  }
}

TEST_F(Ovfind, FailedScanEndsWithoutVerdict) {
  const OvfindRun run = runOvfind("fail_get_device_list = NO_MEM\n[probe]\n");
  EXPECT_EQ(masked(run.out), "ovfind [Version: <date>]\n\nscanning for USB devices... error when scanning\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(callsOf(run, "libusb_exit"), IsEmpty());
}

TEST_F(Ovfind, FailedInitIsReportedAsAFailedScan) {
  const OvfindRun run = runOvfind("fail_init = OTHER\n[probe]\n");
  EXPECT_EQ(masked(run.out), "ovfind [Version: <date>]\n\nscanning for USB devices... error when scanning\n");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(callsOf(run, "libusb_get_device_list"), IsEmpty());
}
