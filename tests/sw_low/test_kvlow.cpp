// Tests of the probe command set, the facade and the FPGA image update against the probe simulator.
#include "kvlow.h"
#include "kvxo2dat.h"
#include "libkvlow.h"
#include "probesim_cmd.h"
#include "probesim_control.h"

#include <dlfcn.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <regex>
#include <sstream>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

namespace {

/// TkvLow whose pauses are recorded and skipped.
class TFastLow : public TkvLow {
public:
  void milliSleep(unsigned ms) override { sleeps.push_back(ms); }
  std::vector<unsigned> sleeps;
};

/// One control transfer of the simulator's call log.
struct Xfer {
  int type = -1;
  int request = -1;
  int value = -1;
  int length = -1;
  std::string data;  ///< hex, "-" for none
  std::string result;
};

Xfer parseXfer(const std::string& line) {
  std::istringstream in(line);
  std::map<std::string, std::string> f;
  std::string token;
  while (in >> token) {
    const auto eq = token.find('=');
    if (eq != std::string::npos) f[token.substr(0, eq)] = token.substr(eq + 1);
  }
  Xfer x;
  x.type = std::stoi(f["type"], nullptr, 16);
  x.request = std::stoi(f["request"], nullptr, 16);
  x.value = std::stoi(f["value"], nullptr, 16);
  x.length = std::stoi(f["length"]);
  x.data = f["data"];
  x.result = f["result"];
  return x;
}

std::vector<Xfer> transfers() {
  std::vector<Xfer> out;
  for (const auto& line : ProbeSimControl::calls("libusb_control_transfer")) out.push_back(parseXfer(line));
  return out;
}

/// "type request value length data" of each transfer, for compact comparisons.
std::vector<std::string> brief() {
  std::vector<std::string> out;
  for (const auto& x : transfers()) {
    char head[64];
    std::snprintf(head, sizeof head, "%02x %02x %04x %d ", x.type, x.request, x.value, x.length);
    out.push_back(head + x.data);
  }
  return out;
}

/// What reached the configuration port, in order: "W:<bytes>" for a write, "R<n+1>:<bytes>" for a
/// write-then-read; a run of busy polls shows as one "poll*<count>".
std::vector<std::string> configPortTraffic() {
  std::vector<std::string> out;
  for (const auto& x : transfers()) {
    std::string item;
    if (x.request == REQ_DEV_WRITE && x.value == CONFIG_PORT_DEVICE)
      item = "W:" + x.data;
    else if (x.request == REQ_DEV_WRITE_READ && (x.value >> 8) == CONFIG_PORT_DEVICE)
      item = "R" + std::to_string(x.value & 0xFF) + ":" + x.data;
    else
      continue;
    if (item == "R2:f0000000") {
      if (!out.empty() && out.back().rfind("poll*", 0) == 0)
        out.back() = "poll*" + std::to_string(std::stoi(out.back().substr(5)) + 1);
      else
        out.push_back("poll*1");
      continue;
    }
    out.push_back(item);
  }
  return out;
}

std::string hex(const uint8_t* p, size_t n) {
  std::string s;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", p[i]);
    s += b;
  }
  return s;
}

std::string hexU32(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%08x", v);
  return b;
}

template <class F>
F* simFunction(const char* name) {
  return reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
}

long bridgeState(const char* name) {
  auto* fn = simFunction<long(int, const char*)>("probesim_cmd_state");
  return fn != nullptr ? fn(0, name) : -100;
}

std::vector<uint8_t> simEeprom() {
  std::vector<uint8_t> out(256);
  auto* fn = simFunction<long(int, unsigned char*, size_t)>("probesim_cmd_eeprom");
  if (fn == nullptr || fn(0, out.data(), out.size()) != 256) out.clear();
  return out;
}

std::vector<uint8_t> simRows() {
  std::vector<uint8_t> out(fpgaConfigNumFrames * FPGA_ROW_SIZE + 64);
  auto* fn = simFunction<long(int, unsigned char*, size_t)>("probesim_cmd_rows");
  const long n = fn != nullptr ? fn(0, out.data(), out.size()) : -1;
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

class ProbeCmd : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded())
        << "libusb in use is " << ProbeSimControl::libusbPath() << ", not the probe simulator";
  }
  /// One probe whose firmware already runs, plus the given keys; opens it and clears the log.
  void start(const std::string& keys = "") {
    ASSERT_EQ(ProbeSimControl::configure("[probe]\nfirmware_running = 1\n" + keys), "");
    ASSERT_TRUE(low.open(FX2_VENDOR_ID, FX2_PRODUCT_ID, 0));
    ProbeSimControl::clearLog();
  }
  static std::string checksumKey(uint32_t v) { return "eeprom_checksum = " + hexU32(v) + "\n"; }

  TFastLow low;
};

}  // namespace

// ---- FPGA register port -------------------------------------------------------------------------

TEST_F(ProbeCmd, RegisterWritesSendIndexByteThenValueByte) {
  start();
  EXPECT_TRUE(low.wrFpgaReg(REG_CONTROL, 0x24));
  EXPECT_TRUE(low.wrFpgaReg(REG_CONTROL, 0x20));
  EXPECT_TRUE(low.wrFpgaReg(REG_CONTROL, 1));
  EXPECT_TRUE(low.wrFpgaReg(REG_CONTROL, 2));
  // Index and value are taken modulo 64: the top two bits mark index (00) and value (01).
  EXPECT_TRUE(low.wrFpgaReg(64 + 5, 64 + 6));
  EXPECT_TRUE(low.wrFpgaAddr(63));
  EXPECT_THAT(brief(), ElementsAre("40 c9 0042 2 0464", "40 c9 0042 2 0460", "40 c9 0042 2 0441",
                                   "40 c9 0042 2 0442", "40 c9 0042 2 0546", "40 c9 0042 1 3f"));
  // 0x20 then 1 left the link disconnected; 2 started a capture.
  EXPECT_EQ(bridgeState("fpga_connected"), 0);
  EXPECT_EQ(bridgeState("fpga_captures"), 1);
  ASSERT_TRUE(low.wrFpgaReg(REG_CONTROL, 0x24));
  EXPECT_EQ(bridgeState("fpga_connected"), 0);  // only the following 1 applies it
  ASSERT_TRUE(low.wrFpgaReg(REG_CONTROL, 1));
  EXPECT_EQ(bridgeState("fpga_connected"), 1);
}

TEST_F(ProbeCmd, RegisterReadSelectsThenKeepsFirstByte) {
  start("fpga_id = FPGA-ID-TEXT-0123\n");
  ASSERT_TRUE(low.wrFpgaReg(7, 0x2A));
  int v = -1;
  EXPECT_TRUE(low.rdFpgaReg(7, v));
  EXPECT_EQ(v, 0x2A);
  EXPECT_THAT(brief(), ElementsAre("40 c9 0042 2 076a", "40 c9 0042 1 07", "c0 c8 0042 2 2a00"));

  // The identification block: select register 1, read 16 bytes.
  uint8_t id[17] = {};
  ASSERT_TRUE(low.wrFpgaAddr(REG_ID_BLOCK));
  ASSERT_TRUE(low.rdFpga(id, 16));
  EXPECT_STREQ(reinterpret_cast<const char*>(id), "FPGA-ID-TEXT-012");
}

TEST_F(ProbeCmd, RegisterReadWhoseSelectionFailsGivesFalseAndZero) {
  start("fail_fpga_write = PIPE\n");
  int v = -1;
  EXPECT_FALSE(low.rdFpgaReg(REG_ID_BLOCK, v));
  EXPECT_EQ(v, 0);
  // The read is not attempted.
  EXPECT_THAT(brief(), ElementsAre("40 c9 0042 1 01"));
  EXPECT_THAT(transfers()[0].result, HasSubstr("PIPE"));
}

// ---- EEPROM -------------------------------------------------------------------------------------

TEST_F(ProbeCmd, EepromReadFetchesTheWholePageOfTheOffset) {
  start("serial = KV-0042\n" + checksumKey(0xA1B2C3D4));
  uint8_t buf[16];
  ASSERT_TRUE(low.eeRd(EEPROM_DEVICE, 0xE7, buf, sizeof buf));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf)), "KV-0042");
  ASSERT_TRUE(low.eeRd(EEPROM_DEVICE, CHECKSUM_OFFSET, buf, sizeof buf));
  EXPECT_EQ(hex(buf, 4), "d4c3b2a1");  // least significant byte first
  EXPECT_THAT(brief(), ElementsAre("40 ca 5711 1 e0", "c0 cb 0000 17 4b562d3030343200000000000000000000",
                                   "40 ca 5711 1 f0", "c0 cb 0000 17 d4c3b2a1ffffffffffffffffffffffff00"));
}

TEST_F(ProbeCmd, FailedEepromReadLeavesTheBufferAlone) {
  start("fail_eeprom_read = PIPE\n");
  uint8_t buf[16];
  std::fill(std::begin(buf), std::end(buf), 0x5A);
  EXPECT_FALSE(low.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, buf, sizeof buf));
  for (uint8_t b : buf) EXPECT_EQ(b, 0x5A);
  EXPECT_THAT(brief(), ElementsAre("40 ca 5711 1 e0"));  // no fetch after the failed request
}

TEST_F(ProbeCmd, EepromWriteSendsOffsetThenDataAndWaits) {
  start();
  const uint8_t data[4] = {0x11, 0x22, 0x33, 0x44};
  ASSERT_TRUE(low.eeWr(EEPROM_DEVICE, 0xF0, data, sizeof data));
  EXPECT_THAT(brief(), ElementsAre("40 c9 0057 5 f011223344"));
  EXPECT_THAT(low.sleeps, ElementsAre(EEPROM_WRITE_PAUSE_MS));
  const auto ee = simEeprom();
  ASSERT_THAT(ee, SizeIs(256));
  EXPECT_EQ(hex(&ee[0xF0], 5), "11223344ff");

  // A failed write still waits for the write cycle.
  low.close();
  ASSERT_EQ(ProbeSimControl::configure("[probe]\nfirmware_running = 1\nfail_eeprom_write = TIMEOUT\n"), "");
  ASSERT_TRUE(low.open(FX2_VENDOR_ID, FX2_PRODUCT_ID, 0));
  low.sleeps.clear();
  EXPECT_FALSE(low.eeWr(EEPROM_DEVICE, 0xF0, data, sizeof data));
  EXPECT_THAT(low.sleeps, ElementsAre(EEPROM_WRITE_PAUSE_MS));
}

// ---- Configuration port -------------------------------------------------------------------------

TEST_F(ProbeCmd, ConfigurationReadIsBigEndianWithoutTheStatusByte) {
  start("cfg_idcode = 0x12345678\ncfg_trace = 0x0102030405060708\nfea_bits = 0x0320\ncfg_status = 0x00000100\n");
  EXPECT_EQ(low.getIDReg(), 0x12345678u);
  EXPECT_THAT(brief(), ElementsAre("40 ca 4005 4 e0000000", "c0 cb 0000 5 1234567800"));
  EXPECT_EQ(low.getTraceReg(), 0x0102030405060708u);
  EXPECT_EQ(low.getFEAbits(), 0x0320);
  EXPECT_EQ(low.getStatusReg(), 0x100u);
  EXPECT_FALSE(low.isBusy());
}

TEST_F(ProbeCmd, ConfigurationCommandsSendTheirExactBytes) {
  start();
  uint8_t row[FPGA_ROW_SIZE];
  for (size_t i = 0; i < sizeof row; ++i) row[i] = static_cast<uint8_t>(0xA0 + i);
  EXPECT_TRUE(low.enable());
  EXPECT_TRUE(low.enableX());
  EXPECT_TRUE(low.erase());
  EXPECT_TRUE(low.initAddr());
  EXPECT_TRUE(low.sendRow(row));
  EXPECT_TRUE(low.done());
  EXPECT_TRUE(low.refresh());
  EXPECT_TRUE(low.disable());
  EXPECT_TRUE(low.bypass());
  EXPECT_THAT(configPortTraffic(),
              ElementsAre("W:c60800", "W:740800", "W:0e050000", "W:46000000",
                          "W:70000001a0a1a2a3a4a5a6a7a8a9aaabacadaeaf", "W:5e000000", "W:790000", "W:260000",
                          "W:ffffffff"));
  // setFEAbits ends with a busy wait; the simulator answers busy twice after the write.
  ProbeSimControl::clearLog();
  EXPECT_TRUE(low.setFEAbits(0x0320));
  EXPECT_THAT(configPortTraffic(), ElementsAre("W:f80000000320", "poll*3"));
  EXPECT_EQ(bridgeState("cfg_fea_bits"), 0x0320);
}

TEST_F(ProbeCmd, ClosedDeviceFailsEveryRequestAndReadsKeepTheScratchBytes) {
  start("cfg_idcode = 0x12345678\n");
  ASSERT_EQ(low.getIDReg(), 0x12345678u);
  low.close();
  ProbeSimControl::clearLog();
  int v = -1;
  uint8_t buf[16] = {};
  EXPECT_FALSE(low.wrFpgaReg(REG_CONTROL, 1));
  EXPECT_FALSE(low.rdFpgaReg(REG_CONTROL, v));
  EXPECT_EQ(v, 0);
  EXPECT_FALSE(low.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, buf, sizeof buf));
  EXPECT_FALSE(low.clearFX2FIFO());
  EXPECT_FALSE(low.resetFPGA());
  EXPECT_FALSE(low.erase());
  // A read that could not run is made from what the scratch bytes held.
  EXPECT_EQ(low.getIDReg(), 0x12345678u);
  // Bounded even with the default limit: a poll that fails ends the wait at once.
  EXPECT_EQ(low.busyTimeoutMs(), WAIT_NOT_BUSY_TIMEOUT_MS);
  EXPECT_FALSE(low.waitNotBusy());
  EXPECT_THAT(transfers(), IsEmpty());
}

// ---- Firmware requests, the facade --------------------------------------------------------------

TEST_F(ProbeCmd, FirmwareRequestsAndUnknownRequests) {
  start("id_text1 = First text\nid_text2 = Second text\n");
  EXPECT_TRUE(low.clearFX2FIFO());
  EXPECT_TRUE(low.resetFPGA());
  EXPECT_EQ(bridgeState("fifo_clears"), 1);
  EXPECT_EQ(bridgeState("fpga_resets"), 1);
  uint8_t text[65] = {};
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_IN, REQ_ID_TEXT_1, 0, 0, text, 64, FX2_CONTROL_TIMEOUT_MS), 64);
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "First text");
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_IN, REQ_ID_TEXT_2, 0, 0, text, 64, FX2_CONTROL_TIMEOUT_MS), 64);
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "Second text");
  // Requests the firmware does not define, or in the wrong direction, stall.
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_OUT, 0xC4, 0, 0, nullptr, 0, FX2_CONTROL_TIMEOUT_MS), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_IN, 0xC7, 0, 0, text, 1, FX2_CONTROL_TIMEOUT_MS), LIBUSB_ERROR_PIPE);
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_IN, REQ_CLEAR_FIFO, 0, 0, text, 1, FX2_CONTROL_TIMEOUT_MS),
            LIBUSB_ERROR_PIPE);
  // Nothing answers at an address without a device.
  EXPECT_EQ(low.controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE, 0x33, 0, text, 1, FX2_CONTROL_TIMEOUT_MS),
            LIBUSB_ERROR_PIPE);
}

TEST_F(ProbeCmd, BridgeIsSilentUntilTheFirmwareRuns) {
  ASSERT_EQ(ProbeSimControl::configure("[probe]\n"), "");
  ASSERT_TRUE(low.open(FX2_VENDOR_ID, FX2_PRODUCT_ID, 0));
  EXPECT_FALSE(low.resetFPGA());
  uint8_t buf[16];
  EXPECT_FALSE(low.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, buf, sizeof buf));
}

TEST(ProbeFacade, OpensLoadsFirmwareAndPassesRequestsThrough) {
  ASSERT_TRUE(ProbeSimControl::loaded());
  // Runs the real firmware download with its real pauses (about 2.2 s).
  ASSERT_EQ(ProbeSimControl::configure("reenum_delay_ms = 50\n[probe]\nid_text2 = alive\nserial = SN-77\n"
                                       "fail_req_c1 = TIMEOUT*1\n"),
            "");
  TlibKvLow probe;
  EXPECT_FALSE(probe.isOpen());
  EXPECT_FALSE(probe.leds(1));
  ASSERT_TRUE(probe.snifferOpen());
  EXPECT_TRUE(probe.isOpen());
  EXPECT_EQ(ProbeSimControl::state(0, "firmware_running"), 1);

  uint8_t text[65] = {};
  // The first liveness poll is not answered; the next one is.
  EXPECT_EQ(probe.controlIn(REQ_ID_TEXT_2, 0, 0, text, 64), LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(probe.controlIn(REQ_ID_TEXT_2, 0, 0, text, 64), 64);
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "alive");

  uint8_t serial[17] = {};
  EXPECT_TRUE(probe.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, serial, 16));
  EXPECT_STREQ(reinterpret_cast<const char*>(serial), "SN-77");

  ProbeSimControl::clearLog();
  // A request without a data stage moves 0 bytes and still counts as success.
  EXPECT_TRUE(probe.leds(5));
  EXPECT_EQ(bridgeState("leds"), 5);
  EXPECT_TRUE(probe.wrFpgaRegIx(REG_ID_BLOCK));
  EXPECT_TRUE(probe.clearSnifferFIFO());
  EXPECT_EQ(probe.controlOut(REQ_RESET_FPGA, 0, 0, nullptr, 0), 0);
  EXPECT_THAT(brief(), ElementsAre("40 c6 0005 0 -", "40 c9 0042 1 01", "40 c2 0000 0 -", "40 c3 0000 0 -"));
}

TEST(ProbeFacade, FixedTexts) {
  TlibKvLow probe;
  std::string s = "unchanged";
  EXPECT_FALSE(probe.getString(s, 0));
  EXPECT_EQ(s, "?");
  s.clear();
  EXPECT_FALSE(probe.getString(s, 4));
  EXPECT_EQ(s, "?");
  EXPECT_FALSE(probe.getString(s, -1));
  EXPECT_TRUE(probe.getString(s, 1));
  EXPECT_FALSE(s.empty());
  EXPECT_EQ(s.find('\n'), std::string::npos);
  EXPECT_TRUE(probe.getString(s, 2));
  EXPECT_TRUE(std::regex_match(s, std::regex("[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4},[0-9]{2}:[0-9]{2}:[0-9]{2}"))) << s;
  EXPECT_TRUE(probe.getString(s, 3));
  EXPECT_EQ(s, "TODO REAL SOON NOW");
}

// ---- FPGA image update --------------------------------------------------------------------------

TEST(FpgaImage, HasWholeRowsAndATrailingZero) {
  EXPECT_EQ(fpgaConfigNumFrames, 599u);
  EXPECT_EQ(fpgaConfigData[fpgaConfigNumFrames * FPGA_ROW_SIZE], 0);
  EXPECT_NE(fpgaConfigChecksum, 0u);
  EXPECT_NE(fpgaConfigChecksum, 0xFFFFFFFFu);
}

TEST_F(ProbeCmd, UpdateWithTheImagesChecksumSendsNothingToTheConfigurationPort) {
  start(checksumKey(fpgaConfigChecksum));
  bool needed = true;
  EXPECT_TRUE(low.updateFPGAneeded(needed));
  EXPECT_FALSE(needed);
  EXPECT_TRUE(low.updateFPGA(false));
  EXPECT_THAT(configPortTraffic(), IsEmpty());
  EXPECT_EQ(bridgeState("cfg_commands"), 0);
  EXPECT_THAT(brief(), ElementsAre("40 ca 5711 1 f0", "c0 cb 0000 17 " + hex(simEeprom().data() + 0xF0, 16) + "00",
                                   "40 ca 5711 1 f0", "c0 cb 0000 17 " + hex(simEeprom().data() + 0xF0, 16) + "00"));
}

/// The whole programming sequence as the configuration port sees it, feature bits written or not.
std::vector<std::string> fullSequence(bool writesFeatureBits) {
  std::vector<std::string> seq = {"W:740800", "R3:fb000000"};
  if (writesFeatureBits) {
    seq.push_back("W:f80000000320");
    seq.push_back("poll*3");
  }
  for (const char* s : {"W:0e050000", "poll*3", "W:46000000", "poll*3"}) seq.push_back(s);
  for (uint32_t i = 0; i < fpgaConfigNumFrames; ++i)
    seq.push_back("W:70000001" + hex(fpgaConfigData + i * FPGA_ROW_SIZE, FPGA_ROW_SIZE));
  for (const char* s : {"W:5e000000", "poll*3", "W:790000", "W:260000", "poll*3", "W:ffffffff"}) seq.push_back(s);
  return seq;
}

std::string checksumWrite() {
  uint8_t sum[4];
  for (int i = 0; i < 4; ++i) sum[i] = static_cast<uint8_t>(fpgaConfigChecksum >> (8 * i));
  return "40 c9 0057 5 f0" + hex(sum, 4);
}

TEST_F(ProbeCmd, UpdateOfABlankEepromProgramsEveryRowThenStoresTheChecksum) {
  for (const uint32_t blank : {0xFFFFFFFFu, 0x00000000u}) {
    SCOPED_TRACE(hexU32(blank));
    low.close();
    start(checksumKey(blank));
    low.sleeps.clear();
    EXPECT_TRUE(low.updateFPGA(false));
    EXPECT_THAT(configPortTraffic(), ElementsAreArray(fullSequence(true)));
    EXPECT_EQ(bridgeState("cfg_rows"), static_cast<long>(fpgaConfigNumFrames));
    const auto rows = simRows();
    EXPECT_TRUE(rows.size() == fpgaConfigNumFrames * FPGA_ROW_SIZE &&
                std::equal(rows.begin(), rows.end(), fpgaConfigData));
    // The checksum is the last request, least significant byte first.
    EXPECT_EQ(brief().back(), checksumWrite());
    EXPECT_THAT(low.sleeps, ElementsAre(REFRESH_PAUSE_MS, EEPROM_WRITE_PAUSE_MS));

    // Now up to date: the next initialisation leaves the FPGA alone.
    ProbeSimControl::clearLog();
    EXPECT_TRUE(low.updateFPGA(false));
    EXPECT_THAT(configPortTraffic(), IsEmpty());
  }
}

TEST_F(ProbeCmd, ForcedUpdateRunsWithAnEqualChecksumAndKeptFeatureBits) {
  start(checksumKey(fpgaConfigChecksum) + "fea_bits = 0x0320\n");
  EXPECT_TRUE(low.updateFPGA(true));
  EXPECT_THAT(configPortTraffic(), ElementsAreArray(fullSequence(false)));
  EXPECT_EQ(bridgeState("cfg_fea_writes"), 0);
}

TEST_F(ProbeCmd, FailedRowStillRunsTheRestButKeepsTheOldChecksum) {
  start("cfg_fail_row = 17\n");
  EXPECT_FALSE(low.updateFPGA(false));
  auto expected = fullSequence(true);
  const auto traffic = configPortTraffic();
  EXPECT_THAT(traffic, ElementsAreArray(expected));  // every row was sent, the failed one too
  EXPECT_EQ(bridgeState("cfg_rows"), static_cast<long>(fpgaConfigNumFrames) - 1);
  EXPECT_EQ(bridgeState("cfg_bypasses"), 1);
  for (const auto& line : brief()) EXPECT_NE(line.substr(0, 10), "40 c9 0057");
  EXPECT_EQ(hex(simEeprom().data() + 0xF0, 4), "ffffffff");

  // The next initialisation tries again.
  bool needed = false;
  EXPECT_TRUE(low.updateFPGAneeded(needed));
  EXPECT_TRUE(needed);
}

TEST_F(ProbeCmd, UnreadableEepromProgramsNothing) {
  start("fail_eeprom_read = PIPE\n");
  bool needed = false;
  EXPECT_FALSE(low.updateFPGAneeded(needed));
  EXPECT_FALSE(low.updateFPGA(false));
  EXPECT_THAT(configPortTraffic(), IsEmpty());
  EXPECT_EQ(bridgeState("cfg_commands"), 0);
}

TEST_F(ProbeCmd, StuckBusyEndsTheUpdateWithFalse) {
  start("cfg_stuck_busy = 1\n");
  low.setBusyTimeoutMs(20);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(low.updateFPGA(false));
  const auto elapsed = std::chrono::steady_clock::now() - t0;
  // A hang guard, not a speed target: five waits of 20 ms each.
  EXPECT_LT(elapsed, std::chrono::seconds(20));
  EXPECT_EQ(bridgeState("cfg_rows"), static_cast<long>(fpgaConfigNumFrames));
  EXPECT_EQ(bridgeState("cfg_bypasses"), 1);
  EXPECT_EQ(hex(simEeprom().data() + 0xF0, 4), "ffffffff");
}
