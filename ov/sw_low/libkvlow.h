// Probe facade held by the capture thread: passes probe operations through and adds raw access.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "kvlow.h"

/// Owns one TkvLow. Not thread safe: used by the capture thread, except wrFpgaReg, which the
/// thread's owner may call for the connect switch.
class TlibKvLow {
public:
  TlibKvLow();
  /// Takes over a probe layer made elsewhere (one with other waits, for tests).
  explicit TlibKvLow(std::unique_ptr<TkvLow> lowLayer);
  ~TlibKvLow();
  TlibKvLow(const TlibKvLow&) = delete;
  TlibKvLow& operator=(const TlibKvLow&) = delete;

  /// Opens the probe and downloads its firmware.
  bool snifferOpen() { return low->FX2openAndReload(); }
  bool isOpen() const { return low->isOpen(); }
  /// Releases interface 0 and closes the device if open.
  void close() { low->close(); }
  bool clearSnifferFIFO() { return low->clearFX2FIFO(); }
  bool resetFPGA() { return low->resetFPGA(); }

  bool rdFpga(uint8_t* buf, size_t len) { return low->rdFpga(buf, len); }
  bool wrFpga(const uint8_t* buf, size_t len) { return low->wrFpga(buf, len); }
  bool wrFpgaRegIx(int r) { return low->wrFpgaAddr(r); }
  bool rdFpgaReg(int r, int& v) { return low->rdFpgaReg(r, v); }
  bool wrFpgaReg(int r, int v) { return low->wrFpgaReg(r, v); }

  bool eeRd(int dev, int offset, uint8_t* buf, size_t len) { return low->eeRd(dev, offset, buf, len); }
  bool eeWr(int dev, int offset, const uint8_t* data, size_t len) { return low->eeWr(dev, offset, data, len); }

  bool enable() { return low->enable(); }
  bool enableX() { return low->enableX(); }
  bool erase() { return low->erase(); }
  bool initAddr() { return low->initAddr(); }
  bool sendRow(const uint8_t* row) { return low->sendRow(row); }
  bool done() { return low->done(); }
  bool refresh() { return low->refresh(); }
  bool disable() { return low->disable(); }
  bool bypass() { return low->bypass(); }
  bool isBusy() { return low->isBusy(); }
  uint32_t getStatusReg() { return low->getStatusReg(); }
  uint32_t getIDReg() { return low->getIDReg(); }
  uint64_t getTraceReg() { return low->getTraceReg(); }
  void showCfgStatus() { low->showCfgStatus(); }

  bool updateFPGAneeded(bool& needed) { return low->updateFPGAneeded(needed); }
  bool updateFPGA(bool force) { return low->updateFPGA(force); }

  /// Vendor requests with a data stage of len bytes (none when len is 0); result as libusb gives it.
  int controlOut(int request, int value, int index, const uint8_t* data, size_t len);
  /// data receives the bytes the probe sends.
  int controlIn(int request, int value, int index, uint8_t* data, size_t len);
  /// Reads up to len bytes from an IN endpoint; 0 on success or timeout, received = bytes read.
  int blockIn(int endpoint, uint8_t* buf, size_t len, size_t& received);

  /// Sets the probe's LEDs.
  bool leds(int bits);
  /// Fixed texts: 1 a notice, 2 the core's build date and time, 3 a placeholder; others "?".
  bool getString(std::string& out, int kind);

private:
  std::unique_ptr<TkvLow> low;
};
