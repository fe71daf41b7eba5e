// Tests of the probe command set, the facade and the FPGA image update against the probe simulator.
#include "kvlow.h"
#include "kvxo2dat.h"
#include "libkvlow.h"
#include "probesim_cmd.h"
#include "probesim_control.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <regex>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

/// TkvLow whose pauses are recorded and skipped.
class TFastLow : public TkvLow {
public:
  void milliSleep(unsigned ms) override { sleeps.push_back(ms); }
  std::vector<unsigned> sleeps;
};

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i)
    s += {"0123456789abcdef"[p[i] >> 4], "0123456789abcdef"[p[i] & 15]};
  return s;
}

/// "type request value length data" of each control transfer, e.g. "40 c9 0042 2 0464".
std::vector<std::string> brief() {
  static const std::regex fields(R"(type=0x(\w+) request=0x(\w+) value=0x(\w+) .* length=(\d+) data=(\S+))");
  std::vector<std::string> out;
  std::smatch m;
  for (const auto& line : ProbeSimControl::calls("libusb_control_transfer"))
    if (std::regex_search(line, m, fields))
      out.push_back(m.str(1) + " " + m.str(2) + " " + m.str(3) + " " + m.str(4) + " " + m.str(5));
  return out;
}

/// What reached the configuration port: "W:<bytes>" for a write, "R<n+1>:<bytes>" for a
/// write-then-read; a run of busy polls shows as one "poll*<count>".
std::vector<std::string> configPortTraffic() {
  std::vector<std::string> out;
  for (const auto& b : brief()) {
    const std::string data = b.substr(b.rfind(' ') + 1);
    std::string item;
    if (b.rfind("40 c9 0040 ", 0) == 0)
      item = "W:" + data;
    else if (b.rfind("40 ca 40", 0) == 0)
      item = "R" + std::to_string(std::stoi(b.substr(8, 2), nullptr, 16)) + ":" + data;
    else
      continue;
    if (item != "R2:f0000000")
      out.push_back(item);
    else if (!out.empty() && out.back().rfind("poll*", 0) == 0)
      out.back() = "poll*" + std::to_string(std::stoi(out.back().substr(5)) + 1);
    else
      out.push_back("poll*1");
  }
  return out;
}

/// The simulator's bridge state and memories (looked up at run time in the loaded libusb).
long bridgeState(const char* name) {
  auto* fn = reinterpret_cast<decltype(&probesim_cmd_state)>(dlsym(RTLD_DEFAULT, "probesim_cmd_state"));
  return fn != nullptr ? fn(0, name) : -100;
}
std::string storedChecksum() {
  uint8_t ee[256] = {};
  auto* fn = reinterpret_cast<decltype(&probesim_cmd_eeprom)>(dlsym(RTLD_DEFAULT, "probesim_cmd_eeprom"));
  return fn != nullptr && fn(0, ee, sizeof ee) == 256 ? hex(ee + CHECKSUM_OFFSET, 4) : "?";
}

std::string checksumKey(uint32_t v) { return "eeprom_checksum = " + std::to_string(v) + "\n"; }

class ProbeCmd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded())
        << "libusb in use is " << ProbeSimControl::libusbPath() << ", not the probe simulator";
  }
  /// One probe whose firmware already runs, plus the given keys; opens it and clears the log.
  void start(const std::string& keys = "") {
    low.close();
    ASSERT_EQ(ProbeSimControl::configure("[probe]\nfirmware_running = 1\n" + keys), "");
    ASSERT_TRUE(low.open(FX2_VENDOR_ID, FX2_PRODUCT_ID, 0));
    ProbeSimControl::clearLog();
    low.sleeps.clear();
  }
  TFastLow low;
};

}  // namespace

// ---- Requests and their exact bytes -------------------------------------------------------------

TEST_F(ProbeCmd, FpgaRegisterPort) {
  start("fpga_id = FPGA-ID-TEXT-0123\n");
  EXPECT_TRUE(low.wrFpgaReg(REG_CONTROL, 0x24));
  // Index and value are taken modulo 64: the top two bits mark index (00) and value (01).
  EXPECT_TRUE(low.wrFpgaReg(64 + 5, 64 + 6));
  int v = -1;
  EXPECT_TRUE(low.rdFpgaReg(5, v));
  EXPECT_EQ(v, 6);
  EXPECT_THAT(brief(), ElementsAre("40 c9 0042 2 0464", "40 c9 0042 2 0546", "40 c9 0042 1 05", "c0 c8 0042 2 0600"));
  // The identification block: select register 1, read 16 bytes.
  uint8_t id[17] = {};
  ASSERT_TRUE(low.wrFpgaAddr(REG_ID_BLOCK));
  ASSERT_TRUE(low.rdFpga(id, 16));
  EXPECT_STREQ(reinterpret_cast<const char*>(id), "FPGA-ID-TEXT-012");

  // A register read whose selection fails gives false and 0, and does not read.
  start("fail_fpga_write = PIPE\n");
  EXPECT_FALSE(low.rdFpgaReg(REG_ID_BLOCK, v));
  EXPECT_EQ(v, 0);
  EXPECT_THAT(brief(), ElementsAre("40 c9 0042 1 01"));
}

TEST_F(ProbeCmd, EepromReadsWholePagesAndWritesOffsetFirst) {
  start("serial = KV-0042\n" + checksumKey(0xA1B2C3D4));
  uint8_t buf[16];
  ASSERT_TRUE(low.eeRd(EEPROM_DEVICE, 0xE7, buf, sizeof buf));
  EXPECT_STREQ(reinterpret_cast<const char*>(buf), "KV-0042");
  const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
  ASSERT_TRUE(low.eeWr(EEPROM_DEVICE, CHECKSUM_OFFSET, data, sizeof data));
  EXPECT_THAT(low.sleeps, ElementsAre(EEPROM_WRITE_PAUSE_MS));
  EXPECT_THAT(brief(), ElementsAre("40 ca 5711 1 e0", "c0 cb 0000 17 4b562d3030343200000000000000000000",
                                   "40 c9 0057 5 f011223344"));
  EXPECT_EQ(storedChecksum(), "11223344");

  // A failed read leaves the buffer alone and fetches nothing; a failed write still waits.
  start("fail_eeprom_read = PIPE\nfail_eeprom_write = TIMEOUT\n");
  std::fill(std::begin(buf), std::end(buf), 0x5A);
  EXPECT_FALSE(low.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, buf, sizeof buf));
  for (uint8_t b : buf)
    EXPECT_EQ(b, 0x5A);
  EXPECT_FALSE(low.eeWr(EEPROM_DEVICE, CHECKSUM_OFFSET, data, sizeof data));
  EXPECT_THAT(low.sleeps, ElementsAre(EEPROM_WRITE_PAUSE_MS));
  EXPECT_EQ(brief().size(), 2u);
}

TEST_F(ProbeCmd, ConfigurationPortReadsAreBigEndianWithoutTheStatusByteAndFailWhenClosed) {
  start("cfg_idcode = 0x12345678\ncfg_trace = 0x0102030405060708\nfea_bits = 0x0320\ncfg_status = 0x00000100\n");
  EXPECT_EQ(low.getIDReg(), 0x12345678u);
  EXPECT_THAT(brief(), ElementsAre("40 ca 4005 4 e0000000", "c0 cb 0000 5 1234567800"));
  EXPECT_EQ(low.getTraceReg(), 0x0102030405060708u);
  EXPECT_EQ(low.getFEAbits(), 0x0320);
  EXPECT_EQ(low.getStatusReg(), 0x100u);
  EXPECT_FALSE(low.isBusy());
  ProbeSimControl::clearLog();
  EXPECT_TRUE(low.enable());  // the one command the update does not send
  EXPECT_THAT(configPortTraffic(), ElementsAre("W:c60800"));

  // Closed: every request fails, touching nothing.
  ASSERT_EQ(low.getIDReg(), 0x12345678u);
  low.close();
  ProbeSimControl::clearLog();
  int v = -1;
  uint8_t buf[16] = {};
  EXPECT_FALSE(low.wrFpgaReg(REG_CONTROL, 1));
  EXPECT_FALSE(low.rdFpgaReg(REG_CONTROL, v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(low.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, buf, sizeof buf));
  // A read that could not run is made from what the scratch bytes held.
  EXPECT_EQ(low.getIDReg(), 0x12345678u);
  // Bounded even with the default limit: a poll that fails ends the wait at once.
  EXPECT_EQ(low.busyTimeoutMs(), WAIT_NOT_BUSY_TIMEOUT_MS);
  EXPECT_FALSE(low.waitNotBusy());
  EXPECT_THAT(brief(), IsEmpty());
}

// ---- The facade ---------------------------------------------------------------------------------

TEST(ProbeFacade, OpensLoadsFirmwareAndPassesRequestsThrough) {
  ASSERT_TRUE(ProbeSimControl::loaded());
  // Runs the real firmware download with its real pauses (about 2.2 s).
  ASSERT_EQ(ProbeSimControl::configure("reenum_delay_ms = 50\n[probe]\nid_text2 = alive\n"), "");
  TlibKvLow probe;
  EXPECT_FALSE(probe.leds(1));
  ASSERT_TRUE(probe.snifferOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 1);
  uint8_t text[65] = {};
  EXPECT_EQ(probe.controlIn(REQ_ID_TEXT_2, 0, 0, text, 64), 64);
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "alive");
  ProbeSimControl::clearLog();
  // A request without a data stage moves 0 bytes and still counts as success.
  EXPECT_TRUE(probe.leds(5));
  EXPECT_EQ(bridgeState("leds"), 5);
  EXPECT_TRUE(probe.clearSnifferFIFO());
  EXPECT_EQ(probe.controlOut(REQ_RESET_FPGA, 0, 0, nullptr, 0), 0);
  EXPECT_THAT(brief(), ElementsAre("40 c6 0005 0 -", "40 c2 0000 0 -", "40 c3 0000 0 -"));
}

TEST(ProbeFacade, FixedTexts) {
  TlibKvLow probe;
  for (int kind : {-1, 0, 4}) {
    std::string s = "unchanged";
    EXPECT_FALSE(probe.getString(s, kind));
    EXPECT_EQ(s, "?");
  }
  std::string s;
  EXPECT_TRUE(probe.getString(s, 1));
  EXPECT_FALSE(s.empty());
  EXPECT_EQ(s.find('\n'), std::string::npos);
  EXPECT_TRUE(probe.getString(s, 2));
  EXPECT_TRUE(std::regex_match(s, std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4},[0-9]{2}:[0-9]{2}:[0-9]{2}"))) << s;
  EXPECT_TRUE(probe.getString(s, 3));
  EXPECT_EQ(s, "TODO REAL SOON NOW");
}

// ---- FPGA image update --------------------------------------------------------------------------

/// The whole programming sequence as the configuration port sees it, feature bits written or not.
std::vector<std::string> fullSequence(bool writesFeatureBits) {
  std::vector<std::string> seq = {"W:740800", "R3:fb000000"};
  if (writesFeatureBits)
    seq.insert(seq.end(), {"W:f80000000320", "poll*3"});
  seq.insert(seq.end(), {"W:0e050000", "poll*3", "W:46000000", "poll*3"});
  for (uint32_t i = 0; i < fpgaConfigNumFrames; ++i)
    seq.push_back("W:70000001" + hex(fpgaConfigData + i * FPGA_ROW_SIZE, FPGA_ROW_SIZE));
  seq.insert(seq.end(), {"W:5e000000", "poll*3", "W:790000", "W:260000", "poll*3", "W:ffffffff"});
  return seq;
}

TEST_F(ProbeCmd, UpdateRunsOnlyWhenTheStoredChecksumDiffers) {
  // Equal checksum: nothing reaches the configuration port.
  start(checksumKey(fpgaConfigChecksum));
  bool needed = true;
  EXPECT_TRUE(low.updateFPGAneeded(needed));
  EXPECT_FALSE(needed);
  EXPECT_TRUE(low.updateFPGA(false));
  EXPECT_EQ(bridgeState("cfg_commands"), 0);

  uint8_t sum[4];
  for (int i = 0; i < 4; ++i)
    sum[i] = static_cast<uint8_t>(fpgaConfigChecksum >> (8 * i));
  for (const uint32_t blank : {0xFFFFFFFFu, 0x00000000u}) {
    SCOPED_TRACE(blank);
    start(checksumKey(blank));
    EXPECT_TRUE(low.updateFPGA(false));
    EXPECT_THAT(configPortTraffic(), ElementsAreArray(fullSequence(true)));
    EXPECT_EQ(bridgeState("cfg_rows"), 599);
    // The checksum is the last request, least significant byte first.
    EXPECT_EQ(brief().back(), "40 c9 0057 5 f0" + hex(sum, 4));
    EXPECT_THAT(low.sleeps, ElementsAre(REFRESH_PAUSE_MS, EEPROM_WRITE_PAUSE_MS));
    ProbeSimControl::clearLog();
    EXPECT_TRUE(low.updateFPGA(false));  // now up to date
    EXPECT_THAT(configPortTraffic(), IsEmpty());
  }

  // Forced, with the feature bits already 0x0320: the full sequence without setFEAbits.
  start(checksumKey(fpgaConfigChecksum) + "fea_bits = 0x0320\n");
  EXPECT_TRUE(low.updateFPGA(true));
  EXPECT_THAT(configPortTraffic(), ElementsAreArray(fullSequence(false)));
}

TEST_F(ProbeCmd, FailedUpdateReturnsFalseAndKeepsTheOldChecksum) {
  struct Case {
    const char* keys;
    unsigned busyTimeoutMs;
    long rowsSent;
    long rowsTaken;
  };
  const Case cases[] = {
      {"cfg_fail_row = 17\n", WAIT_NOT_BUSY_TIMEOUT_MS, 599, 598},  // the rest still runs
      {"cfg_stuck_busy = 1\n", 20, 599, 599},                       // each wait times out
      {"fail_eeprom_read = PIPE\n", WAIT_NOT_BUSY_TIMEOUT_MS, 0, 0},  // nothing is programmed
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.keys);
    start(c.keys);
    low.setBusyTimeoutMs(c.busyTimeoutMs);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(low.updateFPGA(false));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));  // a hang guard
    const auto traffic = configPortTraffic();
    EXPECT_EQ(std::count_if(traffic.begin(), traffic.end(), [](const std::string& t) { return t.rfind("W:70", 0) == 0; }),
              c.rowsSent);
    EXPECT_EQ(bridgeState("cfg_rows"), c.rowsTaken);
    EXPECT_EQ(bridgeState("cfg_bypasses"), c.rowsSent > 0 ? 1 : 0);
    for (const auto& line : brief())
      EXPECT_NE(line.substr(0, 10), "40 c9 0057");
    EXPECT_EQ(storedChecksum(), "ffffffff");
  }
}
