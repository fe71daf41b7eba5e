// Probe command set: FPGA register port, MachXO2 configuration port, EEPROM and the FPGA update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvfx2base.h"

/// Addresses of the devices behind the firmware's byte bridge (wValue of requests 0xC8 to 0xCA).
constexpr int FPGA_PORT_DEVICE = 0x42;
constexpr int CONFIG_PORT_DEVICE = 0x40;
constexpr int EEPROM_DEVICE = 0x57;

/// EEPROM page size and the two records the software uses.
constexpr size_t SPD_SERIAL_PAGE_SIZE = 16;
constexpr int SERIAL_OFFSET = 0xE0;
constexpr int CHECKSUM_OFFSET = 0xF0;

/// FPGA registers.
constexpr int REG_ID_BLOCK = 1;
constexpr int REG_CONTROL = 4;

/// Vendor requests of the probe firmware.
constexpr uint8_t REQ_ID_TEXT_1 = 0xC0;
constexpr uint8_t REQ_ID_TEXT_2 = 0xC1;
constexpr uint8_t REQ_CLEAR_FIFO = 0xC2;
constexpr uint8_t REQ_RESET_FPGA = 0xC3;
constexpr uint8_t REQ_LEDS = 0xC6;
constexpr uint8_t REQ_DEV_READ = 0xC8;
constexpr uint8_t REQ_DEV_WRITE = 0xC9;
constexpr uint8_t REQ_DEV_WRITE_READ = 0xCA;
constexpr uint8_t REQ_DEV_RESULT = 0xCB;


/// Largest transfer to or from the FPGA register port.
constexpr size_t FPGA_PORT_MAX_LEN = 64;

/// Feature bits the FPGA image expects.
constexpr uint16_t FPGA_FEATURE_BITS = 0x0320;

/// Default bound of waitNotBusy: a wide margin over the longest erase of a MachXO2.
constexpr unsigned WAIT_NOT_BUSY_TIMEOUT_MS = 30000;

/// Pause after the configuration refresh, and after every EEPROM write.
constexpr unsigned REFRESH_PAUSE_MS = 5;
constexpr unsigned EEPROM_WRITE_PAUSE_MS = 10;

using TkvBytes = std::vector<uint8_t>;

/// Probe operations on top of the USB layer. Not thread safe: every call runs on the capture
/// thread, except wrFpgaReg, which the capture thread's owner may call for the connect switch.
class TkvLow : public TFX2base {
public:
  TkvLow() = default;
  ~TkvLow() override = default;
  TkvLow(const TkvLow&) = delete;
  TkvLow& operator=(const TkvLow&) = delete;

  TFX2base* pBase() { return this; }

  bool clearFX2FIFO();
  bool resetFPGA();

  /// FPGA register port; len must be 1..64.
  bool rdFpga(uint8_t* buf, size_t len);
  bool wrFpga(const uint8_t* buf, size_t len);
  /// Selects register r (one byte, r % 64).
  bool wrFpgaAddr(int r);
  /// Writes register r: r % 64, then 0x40 + v % 64.
  bool wrFpgaReg(int r, int v);
  /// Selects register r and reads it; v = first byte read (0 when the selection failed).
  bool rdFpgaReg(int r, int& v);

  /// Configuration port: write command bytes; write them and have nPlusOne bytes read back.
  bool cfgWr(const TkvBytes& bytes);
  bool cfgWrRd(const TkvBytes& bytes, int nPlusOne);
  /// Fetches the result of the last write-then-read into the whole of v; returns the transfer result.
  int wrRdGetResult(TkvBytes& v);
  /// Sends a configuration read command and returns its n result bytes as one big-endian value.
  uint64_t cfgGetReg(const TkvBytes& bytes, size_t n);

  /// EEPROM page read (len must be 16; the page holding offset is read) and write.
  bool eeRd(int dev, int offset, uint8_t* buf, size_t len);
  bool eeWr(int dev, int offset, const uint8_t* data, size_t len);

  /// Opens the probe and downloads the FX2 firmware.
  bool FX2openAndReload();
  bool reloadFX2();

  /// needed := the EEPROM's checksum differs from the image's; false when the EEPROM is unreadable.
  bool updateFPGAneeded(bool& needed);
  /// Programs the FPGA image when needed (or forced); true when nothing failed. Once cancelled(),
  /// no more rows are sent and the waits give up, so the update ends after a few transfers.
  bool updateFPGA(bool force);
  /// 0 when ok, 1 when not.
  static int errs(bool ok) { return ok ? 0 : 1; }

  /// MachXO2 configuration commands.
  bool enable();
  bool enableX();
  bool erase();
  bool initAddr();
  bool sendRow(const uint8_t* row);
  bool done();
  bool refresh();
  bool disable();
  bool bypass();
  bool setFEAbits(uint16_t v);
  bool isBusy();
  uint32_t getStatusReg();
  uint32_t getIDReg();
  uint64_t getTraceReg();
  uint16_t getFEAbits();
  void showCfgStatus() {}

  /// Polls isBusy until it reads zero. Gives up with false when the poll itself fails,
  /// busyTimeoutMs() passes first or the owner has cancelled().
  bool waitNotBusy();
  unsigned busyTimeoutMs() const { return busyTimeout; }
  void setBusyTimeoutMs(unsigned ms) { busyTimeout = ms; }

private:
  uint64_t cfgGetReg(const TkvBytes& bytes, size_t n, bool& ok);
  bool writeFEAbits(uint16_t v);

  TkvBytes scratch;
  unsigned busyTimeout = WAIT_NOT_BUSY_TIMEOUT_MS;
};
