// Tests of the board finder run as a program against the probe simulator: texts, exit codes, USB calls.
#include "probesim_control.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <tuple>

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

namespace fs = std::filesystem;

struct OvfindRun {
  std::string out;
  int exitCode = -1;
  std::vector<std::string> log;  ///< simulator call log without the time column
};

/// Runs ovfind with the scenario; the simulator comes from LD_LIBRARY_PATH, which the test inherits.
OvfindRun runOvfind(const std::string& scenario) {
  const fs::path dir = fs::temp_directory_path() / ("kv_ovfind_" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "scenario.txt") << scenario;
  const std::string command = "PROBESIM_CONFIG='" + (dir / "scenario.txt").string() + "' PROBESIM_LOG='" +
                              (dir / "calls.log").string() + "' '" KV_OVFIND_PATH "' ignored arguments";
  OvfindRun run;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n = 0; (n = fread(buf, 1, sizeof buf, pipe)) > 0;)
      run.out.append(buf, n);
    const int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::ifstream in(dir / "calls.log");
  for (std::string line; std::getline(in, line);)
    run.log.push_back(line.substr(line.find(' ', line.find_first_not_of(' ')) + 1));
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
  std::copy_if(run.log.begin(), run.log.end(), std::back_inserter(out),
               [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  return out;
}

class Ovfind : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded()) << "run with LD_LIBRARY_PATH=" << ProbeSimControl::libraryDir();
  }
};

} // namespace

TEST_F(Ovfind, WholeOutputsAndExitCodes) {
  const std::string banner = "ovfind [Version: <date>]\n\nscanning for USB devices... ";
  const std::tuple<const char*, std::string, int> cases[] = {
      {"", "0 USB devices detected\n\n\ncould not detect a Cypress board.\n\nFAILED\n", 1},
      {"[device]\nvid = 0x1d6b\npid = 0x0002\nbcd = 0x0601\n[probe]\nbcd = 0xA0C1\n",
       "2 USB devices detected\n"
       "\n   0  VID=1d6b  PID=0002  bcdDevice=0601"
       "\n   1  VID=04b4  PID=8613  bcdDevice=a0c1  *** Cypress ***"
       "\n\nCypress board (#1) detected... attempting to open... opened/closed OK.\n\nSUCCEEDED\n",
       0},
      // A failed scan (or libusb_init) ends without a verdict.
      {"fail_get_device_list = NO_MEM\n[probe]\n", "error when scanning\n", 1},
      {"fail_init = OTHER\n[probe]\n", "error when scanning\n", 1},
  };
  for (const auto& [scenario, text, code] : cases) {
    SCOPED_TRACE(scenario);
    const OvfindRun run = runOvfind(scenario);
    EXPECT_EQ(masked(run.out), banner + text);
    EXPECT_EQ(run.exitCode, code);
    // Everything taken is given back.
    EXPECT_EQ(callsOf(run, "libusb_close").size(), callsOf(run, "libusb_open").size());
    EXPECT_THAT(callsOf(run, "libusb_free_device_list"), Each(HasSubstr("unref=1")));
    EXPECT_THAT(callsOf(run, "libusb_release_interface"), Each(HasSubstr("result=0")));
  }
}

TEST_F(Ovfind, OnlyTheFirstOfTwoProbesIsMarkedAndOpened) {
  std::string scenario;
  for (int i = 0; i < 12; ++i)
    scenario += (i == 4 || i == 11) ? "[probe]\n" : "[device]\n";
  const OvfindRun run = runOvfind(scenario);
  EXPECT_THAT(run.out, HasSubstr(" 12 USB devices detected\n"));
  EXPECT_THAT(run.out, HasSubstr("\n   4  VID=04b4  PID=8613  bcdDevice=a001  *** Cypress ***\n"));
  EXPECT_THAT(run.out, HasSubstr("\n  11  VID=04b4  PID=8613  bcdDevice=a001\n\nCypress board (#4) detected"));
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_THAT(callsOf(run, "libusb_open"), ElementsAre("libusb_open dev=4 result=0"));
}

TEST_F(Ovfind, ConfiguresOnlyWhenUnconfiguredAndLeavesABoundDriverDetached) {
  const std::tuple<const char*, size_t, size_t> cases[] = {
      {"config = 1", 0, 0}, {"config = 0", 1, 0}, {"config = 1\nkernel_driver = 1", 0, 1}};
  for (const auto& [scenario, sets, detaches] : cases) {
    SCOPED_TRACE(scenario);
    const OvfindRun run = runOvfind(std::string("[probe]\n") + scenario + "\n");
    EXPECT_THAT(run.out, HasSubstr("attempting to open... opened/closed OK.\n\nSUCCEEDED\n"));
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(callsOf(run, "libusb_set_configuration dev=0 config=1 result=0").size(), sets);
    EXPECT_EQ(callsOf(run, "libusb_detach_kernel_driver dev=0 interface=0 result=0").size(), detaches);
    EXPECT_THAT(callsOf(run, "libusb_attach_kernel_driver"), IsEmpty());
  }
}

TEST_F(Ovfind, FailingOpenStepsGiveCouldNotBeOpened) {
  for (const char* scenario : {"claimed_elsewhere = 1", "fail_open = ACCESS", "fail_get_configuration = IO",
                               "config = 0\nfail_set_configuration = BUSY", "fail_kernel_driver_active = OTHER",
                               "kernel_driver = 1\nfail_detach_kernel_driver = IO", "fail_claim_interface = BUSY"}) {
    SCOPED_TRACE(scenario);
    const OvfindRun run = runOvfind(std::string("[probe]\n") + scenario + "\n");
    EXPECT_THAT(run.out, HasSubstr("\n\nCypress board (#0) detected... attempting to open... could not be opened."
                                   "\n\nFAILED\n"));
    EXPECT_EQ(run.exitCode, 1);
    // No libusb error text reaches the user, and an opened handle is closed again.
    EXPECT_THAT(run.out, Not(HasSubstr("LIBUSB")));
    EXPECT_EQ(callsOf(run, "libusb_close").size(), callsOf(run, "libusb_open dev=0 result=0").size());
  }
}
