// Probe simulator: state shared by the simulator's own sources (not for extensions or tests).
#pragma once

#include "probesim.h"

#include <chrono>
#include <cstdio>
#include <deque>

// libusb's opaque types, as this simulator defines them.
struct libusb_context {
  int unused = 0;
};

/// One appearance of a device on the bus: a new object each time it (re)enumerates.
struct libusb_device {
  probesim::Device* dev = nullptr;
  unsigned generation = 0; ///< Device::generation while this appearance is on the bus
  uint8_t address = 0;
  uint16_t bcd = 0;
  int refs = 0;
};

struct libusb_device_handle {
  libusb_device* device = nullptr;
  bool closed = false;
  bool claimed = false; ///< interface 0 claimed through this handle
};

namespace probesim::detail {

/// One queued interrupt IN read.
struct QueuedRead {
  int endpoint = 0;
  std::vector<uint8_t> data;
  int result = 0;
};

/// A timed bus event of the scenario.
struct TimedEvent {
  double atMs = 0;
  bool plug = false; ///< true: replug, false: unplug
};

/// The core model's view of one device beside the public Device.
struct Slot {
  std::unique_ptr<Device> dev;
  libusb_device* current = nullptr; ///< appearance on the bus now; null while away
  double returnAtMs = -1;           ///< re-enumeration return time; -1 none pending
  bool neverReturns = false;        ///< left for re-enumeration and stays away
  bool downloaded = false;          ///< RAM written since the reset was last held
  int unconfiguredSetsLeft = 0;
  std::deque<QueuedRead> reads;
  std::vector<TimedEvent> schedule; ///< sorted by time; consumed from the front
  size_t nextEvent = 0;
};

struct Sim {
  std::recursive_mutex mutex;
  bool scenarioTaken = false; ///< the environment's scenario was read, or a test set one
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::vector<Slot> slots;
  std::map<std::string, std::string> globals; ///< scenario keys before the first section
  std::map<std::string, int> globalFaultUses;
  // Every libusb object ever handed out is kept until the library unloads, so a program's stale
  // pointer never reaches freed memory and leak checkers see nothing of the simulator's own.
  std::vector<std::unique_ptr<libusb_device>> appearances;
  std::vector<std::unique_ptr<libusb_device_handle>> handles;
  std::vector<std::unique_ptr<libusb_context>> contexts;
  int defaultContextRefs = 0;
  uint8_t nextAddress = 1;
  std::string log;
  FILE* logFile = nullptr;

  std::vector<VendorHandler> vendorHandlers;
  InterruptSource interruptSource;
  std::vector<EventHook> eventHooks;
};

/// The simulator, created on first use and configured from the environment then.
Sim& sim();
/// Applies every timed event that is due (called at the start of each libusb call).
void advance();
/// Fault of a global key (e.g. fail_get_device_list), as Device::fault.
int globalFault(const std::string& key);
long globalInt(const std::string& key, long dflt);
/// Raises an event on a device's hooks.
void raise(Device& dev, Event event);
/// Bus events of the core model.
void leaveBus(Slot& slot);
void appear(Slot& slot);
void powerUp(Slot& slot);
void unplug(Slot& slot);
void replug(Slot& slot);
/// Handles request 0xA0 on a probe: RAM write/read and CPUCS.
int fx2RamRequest(Slot& slot, const ControlRequest& req, unsigned char* data);
Slot* slotOf(const Device* dev);
/// Name of a libusb error ("PIPE"), or the number.
std::string errorText(int code);

} // namespace probesim::detail
