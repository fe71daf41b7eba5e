// USB access to the probe's FX2 microcontroller: open and claim, control and interrupt transfers, firmware load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>

#include <libusb.h>

/// USB identity of the probe, the same before and after its firmware is loaded.
constexpr uint16_t FX2_VENDOR_ID = 0x04B4;
constexpr uint16_t FX2_PRODUCT_ID = 0x8613;
/// Configuration and interface the probe is used with.
constexpr int FX2_CONFIGURATION = 1;
constexpr int FX2_INTERFACE = 0;

/// Vendor request types: host to device and device to host.
constexpr uint8_t FX2_REQTYPE_OUT = 0x40;
constexpr uint8_t FX2_REQTYPE_IN = 0xC0;
/// The FX2's own firmware-load request: reads or writes 8051 RAM at wValue.
constexpr uint8_t FX2_REQUEST_RAM = 0xA0;
/// CPUCS register; bit 0 holds the 8051 in reset.
constexpr uint16_t FX2_CPUCS_ADDRESS = 0xE600;
/// Largest data stage of one RAM request.
constexpr size_t FX2_RAM_CHUNK = 16;
/// Timeout of every vendor control request, in milliseconds.
constexpr unsigned FX2_CONTROL_TIMEOUT_MS = 5000;
/// Interrupt IN endpoint that carries the capture data.
constexpr int FX2_CAPTURE_ENDPOINT = 0x86;

/// Lowest layer between the software and the probe. Owns one reference on libusb's default
/// context (from construction to destruction) and at most one open device handle.
/// Driven by one thread (the one that opens and closes); other threads may call isOpen and
/// controlMsg meanwhile: a transfer holds the handle shared, and the handle is replaced or closed
/// only while no transfer uses it (libusb allows transfers from several threads on one handle).
class TFX2base {
public:
  /// Zeroes every field and initialises libusb's default context.
  TFX2base();
  /// Closes the device, then releases the libusb context if it was initialised.
  virtual ~TFX2base();

  TFX2base(const TFX2base&) = delete;
  TFX2base& operator=(const TFX2base&) = delete;

  /// True while a device handle is held.
  bool isOpen() const {
    std::shared_lock lock(handleLock);
    return usbHandle != nullptr;
  }

  /// Sleeps ms milliseconds on the calling thread; 0 returns at once.
  /// Every wait of the open and reload sequences goes through here.
  virtual void milliSleep(unsigned ms);
  /// True once the owner wants the sequence in progress given up (it is being destroyed): the
  /// reload stops waiting for the device to come back, and the command layer's busy waits end.
  /// Never in this base class; a derived class's milliSleep should then return early too.
  virtual bool cancelled() const { return false; }

  /// Finds the index-th device (0-based) with vid/pid, opens it, makes configuration 1 active,
  /// takes interface 0 from a kernel driver and claims it. False when any step failed (the
  /// device is then closed; a failed enumeration or open also waits 500 ms). Without libusb
  /// (its initialisation failed) no device is ever found.
  bool open(uint16_t vid, uint16_t pid, int index);
  /// One enumeration and libusb_open attempt with the stored vendorId/productId/deviceIndex.
  bool openX();
  /// Releases interface 0 (result ignored) and closes the handle if open; clears both pointers.
  void close();

  /// One control transfer (value, index and len go out as 16-bit wValue, wIndex, wLength).
  /// Returns the libusb result: bytes moved or a negative libusb error; -1 when not open.
  int controlMsg(uint8_t requestType, uint8_t request, int value, int index, const uint8_t* data,
                 size_t len, unsigned timeoutMs);
  /// Interrupt read of up to len bytes. received = bytes that arrived. 0 on success, a timeout
  /// included; any other error closes the device and is returned; -1 when not open.
  int blockRead(int endpoint, uint8_t* buf, size_t len, size_t& received);

  /// Reads or writes 8051 RAM with request 0xA0 in chunks of 16 bytes; every chunk is tried.
  /// Returns the number of failed chunks (1 when not open).
  int RAMop(size_t address, uint8_t* data, size_t len, uint8_t requestType, unsigned timeoutMs);
  int WriteRAM(size_t address, uint8_t* data, size_t len, unsigned timeoutMs);
  int ReadRAM(size_t address, uint8_t* data, size_t len, unsigned timeoutMs);

  /// Holds (true) or releases (false) the 8051 reset through CPUCS; true when 1 byte moved.
  bool FX2setResetBit(bool hold);
  /// Writes a stream of firmware records (count, address high, address low, count data bytes);
  /// stops with false at the first record that had a failed chunk.
  bool programEmbedded(const uint8_t* records, size_t len);
  /// Downloads the firmware under reset, lets the 8051 run, waits for the device to come back
  /// on the bus and reopens it. True when the device is open again.
  bool FX2reload(const uint8_t* records, size_t len);

protected:
  libusb_device* usbDevice;        ///< device picked by the last enumeration; null when closed
  libusb_device_handle* usbHandle; ///< open handle; null when closed
  uint16_t vendorId;               ///< vendor ID given to the last open
  uint16_t productId;              ///< product ID given to the last open
  int deviceIndex;                 ///< 0-based index among the devices matching vendorId/productId
  bool libusbReady;                ///< libusb_init(NULL) succeeded in the constructor
  /// Exclusive while usbHandle changes, shared while a transfer uses it. usbHandle is written
  /// only by the thread that opens and closes, so that thread reads it without the lock.
  mutable std::shared_mutex handleLock;
};
