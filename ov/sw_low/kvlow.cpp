// Probe command set: FPGA register port, MachXO2 configuration port, EEPROM and the FPGA update.
#include "kvlow.h"

#include <algorithm>
#include <cassert>
#include <chrono>

#include "kvfx2bin.h"
#include "kvxo2dat.h"

namespace {

/// Bytes of the write-then-read wValue: device address high, read count plus status byte low.
int wrRdValue(int dev, int nPlusOne) { return dev * 256 + nPlusOne; }

}  // namespace

bool TkvLow::clearFX2FIFO() {
  return controlMsg(FX2_REQTYPE_OUT, REQ_CLEAR_FIFO, 0, 0, nullptr, 0, FX2_CONTROL_TIMEOUT_MS) >= 0;
}

bool TkvLow::resetFPGA() {
  return controlMsg(FX2_REQTYPE_OUT, REQ_RESET_FPGA, 0, 0, nullptr, 0, FX2_CONTROL_TIMEOUT_MS) >= 0;
}

bool TkvLow::rdFpga(uint8_t* buf, size_t len) {
  assert(len >= 1 && len <= FPGA_PORT_MAX_LEN);
  if (len < 1 || len > FPGA_PORT_MAX_LEN) return false;
  return controlMsg(FX2_REQTYPE_IN, REQ_DEV_READ, FPGA_PORT_DEVICE, 0, buf, len, FX2_CONTROL_TIMEOUT_MS) >= 0;
}

bool TkvLow::wrFpga(const uint8_t* buf, size_t len) {
  assert(len >= 1 && len <= FPGA_PORT_MAX_LEN);
  if (len < 1 || len > FPGA_PORT_MAX_LEN) return false;
  return controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE, FPGA_PORT_DEVICE, 0, buf, len, FX2_CONTROL_TIMEOUT_MS) >= 0;
}

// The register port tells an index byte (top bits 00) from a value byte (top bits 01).
bool TkvLow::wrFpgaAddr(int r) {
  const uint8_t b = static_cast<uint8_t>(r & 0x3F);
  return wrFpga(&b, 1);
}

bool TkvLow::wrFpgaReg(int r, int v) {
  const uint8_t b[2] = {static_cast<uint8_t>(r & 0x3F), static_cast<uint8_t>(0x40 | (v & 0x3F))};
  return wrFpga(b, sizeof b);
}

bool TkvLow::rdFpgaReg(int r, int& v) {
  v = 0;
  uint8_t buf[2] = {0, 0};
  bool ok = wrFpgaAddr(r);
  if (ok) ok = rdFpga(buf, sizeof buf);
  v = buf[0];
  return ok;
}

bool TkvLow::cfgWr(const TkvBytes& bytes) {
  return controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE, CONFIG_PORT_DEVICE, 0, bytes.data(), bytes.size(),
                    FX2_CONTROL_TIMEOUT_MS) >= 0;
}

bool TkvLow::cfgWrRd(const TkvBytes& bytes, int nPlusOne) {
  return controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE_READ, wrRdValue(CONFIG_PORT_DEVICE, nPlusOne), 0,
                    bytes.data(), bytes.size(), FX2_CONTROL_TIMEOUT_MS) >= 0;
}

int TkvLow::wrRdGetResult(TkvBytes& v) {
  return controlMsg(FX2_REQTYPE_IN, REQ_DEV_RESULT, 0, 0, v.data(), v.size(), FX2_CONTROL_TIMEOUT_MS);
}

uint64_t TkvLow::cfgGetReg(const TkvBytes& bytes, size_t n, bool& ok) {
  ok = cfgWrRd(bytes, static_cast<int>(n + 1));
  // A failed exchange still gives a value: whatever the scratch bytes hold.
  scratch.resize(n + 1);
  if (wrRdGetResult(scratch) < 0) ok = false;
  scratch.resize(n);  // drops the status byte
  uint64_t value = 0;
  for (const uint8_t b : scratch) value = (value << 8) | b;
  return value;
}

uint64_t TkvLow::cfgGetReg(const TkvBytes& bytes, size_t n) {
  bool ok = false;
  return cfgGetReg(bytes, n, ok);
}

bool TkvLow::eeRd(int dev, int offset, uint8_t* buf, size_t len) {
  assert(len == SPD_SERIAL_PAGE_SIZE);
  if (len != SPD_SERIAL_PAGE_SIZE) return false;
  const uint8_t page = static_cast<uint8_t>(offset & 0xF0);
  if (controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE_READ, wrRdValue(dev, SPD_SERIAL_PAGE_SIZE + 1), 0, &page, 1,
                 FX2_CONTROL_TIMEOUT_MS) < 0)
    return false;
  TkvBytes result(SPD_SERIAL_PAGE_SIZE + 1, 0);  // the page, then the status byte
  const int r = wrRdGetResult(result);
  std::copy(result.begin(), result.begin() + SPD_SERIAL_PAGE_SIZE, buf);
  return r >= 0;
}

bool TkvLow::eeWr(int dev, int offset, const uint8_t* data, size_t len) {
  TkvBytes out;
  out.reserve(len + 1);
  out.push_back(static_cast<uint8_t>(offset));
  if (len > 0) out.insert(out.end(), data, data + len);
  const int r = controlMsg(FX2_REQTYPE_OUT, REQ_DEV_WRITE, dev, 0, out.data(), out.size(), FX2_CONTROL_TIMEOUT_MS);
  milliSleep(EEPROM_WRITE_PAUSE_MS);  // the EEPROM's write cycle
  return r >= 0;
}

bool TkvLow::FX2openAndReload() {
  return open(FX2_VENDOR_ID, FX2_PRODUCT_ID, 0) && reloadFX2();
}

bool TkvLow::reloadFX2() { return FX2reload(fxprog, fxprogLength()); }

// ---- MachXO2 configuration commands ----

bool TkvLow::enable() { return cfgWr({0xC6, 0x08, 0x00}); }
bool TkvLow::enableX() { return cfgWr({0x74, 0x08, 0x00}); }
bool TkvLow::erase() { return cfgWr({0x0E, 0x05, 0x00, 0x00}); }
bool TkvLow::initAddr() { return cfgWr({0x46, 0x00, 0x00, 0x00}); }
bool TkvLow::done() { return cfgWr({0x5E, 0x00, 0x00, 0x00}); }
bool TkvLow::refresh() { return cfgWr({0x79, 0x00, 0x00}); }
bool TkvLow::disable() { return cfgWr({0x26, 0x00, 0x00}); }
bool TkvLow::bypass() { return cfgWr({0xFF, 0xFF, 0xFF, 0xFF}); }

bool TkvLow::sendRow(const uint8_t* row) {
  TkvBytes cmd{0x70, 0x00, 0x00, 0x01};
  cmd.insert(cmd.end(), row, row + FPGA_ROW_SIZE);
  return cfgWr(cmd);
}

bool TkvLow::writeFEAbits(uint16_t v) {
  return cfgWr({0xF8, 0x00, 0x00, 0x00, static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
}

bool TkvLow::setFEAbits(uint16_t v) {
  const bool ok = writeFEAbits(v);
  waitNotBusy();
  return ok;
}

bool TkvLow::isBusy() { return cfgGetReg({0xF0, 0x00, 0x00, 0x00}, 1) != 0; }
uint32_t TkvLow::getStatusReg() { return static_cast<uint32_t>(cfgGetReg({0x3C, 0x00, 0x00, 0x00}, 4)); }
uint32_t TkvLow::getIDReg() { return static_cast<uint32_t>(cfgGetReg({0xE0, 0x00, 0x00, 0x00}, 4)); }
uint64_t TkvLow::getTraceReg() { return cfgGetReg({0x19, 0x00, 0x00, 0x00}, 8); }
uint16_t TkvLow::getFEAbits() { return static_cast<uint16_t>(cfgGetReg({0xFB, 0x00, 0x00, 0x00}, 2)); }

// No pause between polls: each poll is a control transfer of its own. The wait is bounded so that
// a configuration port that stays busy, or stops answering, cannot hold the capture thread forever,
// and it gives up at once when the owner cancels.
bool TkvLow::waitNotBusy() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyTimeout);
  for (;;) {
    if (cancelled()) return false;
    bool ok = false;
    const uint64_t busy = cfgGetReg({0xF0, 0x00, 0x00, 0x00}, 1, ok);
    if (!ok) return false;
    if (busy == 0) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

// ---- FPGA image update ----

bool TkvLow::updateFPGAneeded(bool& needed) {
  uint8_t buf[SPD_SERIAL_PAGE_SIZE] = {};
  if (!eeRd(EEPROM_DEVICE, CHECKSUM_OFFSET, buf, sizeof buf)) return false;
  const uint32_t stored = static_cast<uint32_t>(buf[0]) | static_cast<uint32_t>(buf[1]) << 8 |
                          static_cast<uint32_t>(buf[2]) << 16 | static_cast<uint32_t>(buf[3]) << 24;
  needed = stored != fpgaConfigChecksum;
  return true;
}

// Every counted step runs even after an earlier one failed, and a wait that gives up counts as a
// failed step. The checksum goes to the EEPROM only after a clean run: a failed run keeps the old
// checksum, so the next initialisation programs the image again.
bool TkvLow::updateFPGA(bool force) {
  bool needed = false;
  if (!updateFPGAneeded(needed)) return false;
  if (!force && !needed) return true;

  int failures = 0;
  enableX();
  if (getFEAbits() != FPGA_FEATURE_BITS) {
    writeFEAbits(FPGA_FEATURE_BITS);
    failures += errs(waitNotBusy());
  }
  failures += errs(erase());
  failures += errs(waitNotBusy());
  failures += errs(initAddr());
  failures += errs(waitNotBusy());
  // The rows are most of the update's transfers: a cancelled update sends no more of them.
  for (uint32_t i = 0; i < fpgaConfigNumFrames; ++i)
    failures += errs(!cancelled() && sendRow(fpgaConfigData + i * FPGA_ROW_SIZE));
  failures += errs(done());
  failures += errs(waitNotBusy());
  failures += errs(refresh());
  milliSleep(REFRESH_PAUSE_MS);
  failures += errs(disable());
  failures += errs(waitNotBusy());
  failures += errs(bypass());
  if (failures != 0) return false;

  const uint8_t sum[4] = {static_cast<uint8_t>(fpgaConfigChecksum), static_cast<uint8_t>(fpgaConfigChecksum >> 8),
                          static_cast<uint8_t>(fpgaConfigChecksum >> 16),
                          static_cast<uint8_t>(fpgaConfigChecksum >> 24)};
  eeWr(EEPROM_DEVICE, CHECKSUM_OFFSET, sum, sizeof sum);
  return true;
}
