// Probe simulator: the device model's extension interface and the control API tests call.
//
// The simulator is a shared library named libusb-1.0.so.0 that stands in for libusb: a program
// run with LD_LIBRARY_PATH pointing at its directory talks to simulated devices instead of the
// bus. It implements the subset of the libusb-1.0 C API the project calls, with the declarations
// of the system's <libusb.h>.
//
// Two audiences:
//  1. Sources compiled INTO the simulator library (probesim*.cpp in this directory, picked up by
//     a glob) extend the device model through the namespace probesim below: vendor control
//     requests, interrupt IN data, reactions to bus events, scenario keys and faults of their own.
//  2. Tests configure and inspect the simulator at run time through the extern "C" functions
//     (probesim_*). Tests do not link the simulator (they link the real libusb like the product
//     does and get the simulator through LD_LIBRARY_PATH), so they reach these functions with
//     dlsym; ProbeSimControl in probesim_control.h wraps that.
//
// Scenario text, log format and environment variables: README.md in this directory.
#pragma once

#include <libusb.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace probesim {

/// Size of the modelled FX2 address space reachable through request 0xA0.
constexpr size_t FX2_RAM_SIZE = 0x10000;
/// CPUCS register address; bit 0 holds the 8051 in reset.
constexpr uint16_t FX2_CPUCS = 0xE600;
/// Returned by a vendor handler or interrupt source for a request it does not serve.
constexpr int UNHANDLED = INT_MIN;

/// Per-device state an extension keeps; created on first use by Device::extension<T>() and
/// kept for the life of the scenario (across unplug and re-enumeration).
struct DeviceExtension {
  virtual ~DeviceExtension() = default;
};

/// One simulated USB device (a physical device: it keeps its identity across unplug, replug and
/// re-enumeration). Fields are read and written only with stateMutex() held.
struct Device {
  int id = 0;              ///< 0-based position in the scenario ("dev=" in the log)
  bool isProbe = false;    ///< declared as [probe]: the FX2 model answers request 0xA0
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint16_t bcd = 0;        ///< bcdDevice reported now

  // Bus presence.
  bool present = true;     ///< on the bus (in the device list)
  unsigned generation = 0; ///< increases each time the device leaves the bus
  uint8_t address = 0;     ///< device address of the current appearance

  // USB state.
  int config = 1;               ///< active configuration, 0 = unconfigured
  bool driverBound = false;     ///< a kernel driver holds interface 0
  bool claimedElsewhere = false;///< another process claimed interface 0
  void* claimedBy = nullptr;    ///< handle of this process that claimed interface 0

  // FX2 model.
  std::vector<uint8_t> ram = std::vector<uint8_t>(FX2_RAM_SIZE, 0);
  bool inReset = true;          ///< 8051 held in reset (CPUCS bit 0)
  bool firmwareRunning = false; ///< reset was released after a download
  unsigned ramWrites = 0;       ///< 0xA0 writes since the scenario was loaded (count of requests)

  /// Every scenario key of this device as written (extensions define keys of their own).
  std::map<std::string, std::string> options;
  /// Extension state by name.
  std::map<std::string, std::unique_ptr<DeviceExtension>> ext;

  /// Value of a scenario key of this device, or dflt when absent.
  std::string option(const std::string& key, const std::string& dflt = "") const;
  long optionInt(const std::string& key, long dflt) const;
  /// Consumes one occurrence of the fault configured under key ("ERROR" fails every time,
  /// "ERROR*N" the next N times, ERROR a libusb error name such as PIPE or a number). Returns
  /// the libusb error to report, or 0 when none applies.
  int fault(const std::string& key);

  template <class T>
  T& extension(const std::string& name) {
    auto& slot = ext[name];
    if (!slot)
      slot = std::make_unique<T>();
    return static_cast<T&>(*slot);
  }

  // Internal bookkeeping of the core model.
  std::map<std::string, int> faultUses;
};

/// A control transfer as the device sees it.
struct ControlRequest {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  unsigned timeoutMs = 0;
};

/// Serves control requests other than 0xA0 on a probe. Called with stateMutex() held; data holds
/// length bytes (the OUT data, or room for the IN data). Returns the bytes moved, a negative
/// libusb error, or UNHANDLED to pass the request on. Unserved requests stall (LIBUSB_ERROR_PIPE).
/// Must not call libusb functions.
using VendorHandler = std::function<int(Device&, const ControlRequest&, unsigned char* data)>;

/// An interrupt IN read as the device sees it.
struct InterruptRequest {
  uint8_t endpoint = 0;
  int length = 0;
  unsigned timeoutMs = 0;
};

/// Supplies interrupt IN data. Called WITHOUT stateMutex() held, so that it may take its time
/// (lock stateMutex() to touch the Device). Stores up to request.length bytes in buf, sets
/// *transferred and returns 0, a negative libusb error (LIBUSB_ERROR_TIMEOUT with a partial
/// count included), or UNHANDLED. Reads no source serves time out after the scenario's
/// interrupt_idle_ms with no data.
using InterruptSource =
    std::function<int(Device&, const InterruptRequest&, unsigned char* buf, int* transferred)>;

/// Bus and FX2 events extensions may react to (called with stateMutex() held).
enum class Event {
  ScenarioLoaded, ///< the device was created from a scenario
  Unplugged,      ///< left the bus by an unplug
  Replugged,      ///< back after an unplug: powered up afresh (RAM cleared, 8051 in reset)
  ResetHeld,      ///< CPUCS bit 0 set
  ResetReleased,  ///< CPUCS bit 0 cleared: the 8051 runs
  LeftForReenumeration, ///< left the bus after the firmware started
  Reenumerated,   ///< back on the bus with the firmware running
  // Raised by the firmware's command bridge (probesim_cmd.cpp):
  FifoCleared,    ///< request 0xC2: the capture FIFO was cleared
  FpgaReset,      ///< request 0xC3: the FPGA was reset
  CaptureStarted, ///< FPGA register 4 was written with 2: a capture starts
};
using EventHook = std::function<void(Device&, Event)>;

/// Registration; usually from a static initialiser of an extension source:
///   static const bool registered = probesim::registerVendorHandler(&myHandler);
/// Handlers are tried in registration order.
bool registerVendorHandler(VendorHandler handler);
/// The last source set serves every read that the test's queued reads do not.
bool setInterruptSource(InterruptSource source);
bool registerEventHook(EventHook hook);

/// The lock around the whole simulated state.
std::recursive_mutex& stateMutex();
/// Appends one line to the call log ("<ms since scenario start> <text>").
void logLine(const std::string& text);
/// Milliseconds since the scenario was loaded.
double nowMs();
/// "0a1b..." for the bytes.
std::string hexBytes(const unsigned char* data, size_t len);
/// Parses a libusb error ("PIPE", "LIBUSB_ERROR_PIPE" or a number); 0 when text is not one.
int parseError(const std::string& text);

} // namespace probesim

// Control API for tests (exported with C linkage; reach through dlsym, see probesim_control.h).
extern "C" {
/// Identifies the simulator: "probesim <version>".
const char* probesim_version(void);
/// Replaces the scenario (text as in a scenario file), resets the clock, the log and every
/// device. Returns 0, or -1 with a message in err (err may be null).
int probesim_configure(const char* scenario, char* err, size_t errLen);
/// Copies the call log (lines separated by '\n') when it fits; returns the size needed
/// including the terminating zero.
size_t probesim_log(char* buf, size_t len);
void probesim_clear_log(void);
/// Takes device id off the bus now (unplug) or puts it back powered up afresh (replug).
int probesim_unplug(int id);
int probesim_replug(int id);
/// Reads the FX2 RAM model of device id; returns 0 or -1 (no such device or range).
int probesim_read_ram(int id, unsigned address, unsigned char* buf, size_t len);
/// One state value of device id, -1 for an unknown device or name. Names: "present", "config",
/// "driver_bound", "claimed" (by this process), "in_reset", "firmware_running", "generation",
/// "ram_writes", "open_handles", "refs" (references held on its current libusb_device).
long probesim_state(int id, const char* name);
/// Queues one interrupt IN read on device id: data (len bytes) arrives, then result is returned
/// (0, or a libusb error such as LIBUSB_ERROR_TIMEOUT for a partial read).
int probesim_queue_interrupt(int id, int endpoint, const unsigned char* data, size_t len, int result);
}
