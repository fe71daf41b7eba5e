// Test-side access to the probe simulator's control API, found at run time in the loaded libusb.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// Wraps the probesim_* functions of probesim.h. Tests link the real libusb as the product does
/// and run with LD_LIBRARY_PATH pointing at the simulator, so these functions are looked up in
/// the process with dlsym; loaded() tells whether the simulator is the libusb in use.
class ProbeSimControl {
public:
  /// True when the libusb of this process is the simulator.
  static bool loaded();
  /// File the process's libusb_init comes from.
  static std::string libusbPath();
  /// Replaces the scenario; returns "" or the simulator's error message.
  static std::string configure(const std::string& scenario);
  /// The call log, one entry per line, without the time column.
  static std::vector<std::string> log();
  /// Log lines that start with prefix (e.g. "libusb_control_transfer").
  static std::vector<std::string> calls(const std::string& prefix);
  static void clearLog();
  static bool unplug(int id);
  static bool replug(int id);
  static std::vector<uint8_t> ram(int id, unsigned address, size_t len);
  /// One state value of a device (names in probesim.h); -1 when unknown.
  static long state(int id, const std::string& name);
  static bool queueInterrupt(int id, int endpoint, const std::vector<uint8_t>& data, int result);
  /// Directory of the simulator library, as built (for LD_LIBRARY_PATH of child processes).
  static std::string libraryDir();
};
