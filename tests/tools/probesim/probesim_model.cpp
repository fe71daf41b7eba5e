// Probe simulator: scenario, clock, call log, bus events, FX2 RAM model and the control API.
#include "probesim_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace probesim {

using detail::Slot;

namespace {

constexpr long DEFAULT_REENUM_DELAY_MS = 1000;
constexpr uint16_t PROBE_VENDOR_ID = 0x04b4;
constexpr uint16_t PROBE_PRODUCT_ID = 0x8613;
constexpr uint16_t PROBE_BCD = 0xa001;
constexpr uint16_t DEVICE_VENDOR_ID = 0x1234;
constexpr uint16_t DEVICE_PRODUCT_ID = 0x5678;
constexpr uint16_t DEVICE_BCD = 0x0100;
constexpr uint8_t REQTYPE_DIR_IN = 0x80;

const std::pair<const char*, int> ERROR_NAMES[] = {
    {"IO", LIBUSB_ERROR_IO},
    {"INVALID_PARAM", LIBUSB_ERROR_INVALID_PARAM},
    {"ACCESS", LIBUSB_ERROR_ACCESS},
    {"NO_DEVICE", LIBUSB_ERROR_NO_DEVICE},
    {"NOT_FOUND", LIBUSB_ERROR_NOT_FOUND},
    {"BUSY", LIBUSB_ERROR_BUSY},
    {"TIMEOUT", LIBUSB_ERROR_TIMEOUT},
    {"OVERFLOW", LIBUSB_ERROR_OVERFLOW},
    {"PIPE", LIBUSB_ERROR_PIPE},
    {"INTERRUPTED", LIBUSB_ERROR_INTERRUPTED},
    {"NO_MEM", LIBUSB_ERROR_NO_MEM},
    {"NOT_SUPPORTED", LIBUSB_ERROR_NOT_SUPPORTED},
    {"OTHER", LIBUSB_ERROR_OTHER},
};

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos)
    return "";
  const auto e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool parseLong(const std::string& text, long& value) {
  if (text.empty())
    return false;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 0);
  return end != nullptr && *end == '\0';
}

/// A fault value: "ERROR" or "ERROR*N". count -1 = every time.
bool parseFault(const std::string& text, int& error, long& count) {
  const auto star = text.find('*');
  error = parseError(trim(text.substr(0, star)));
  count = -1;
  if (star != std::string::npos && (!parseLong(trim(text.substr(star + 1)), count) || count < 0))
    return false;
  return error != 0;
}

int takeFault(const std::map<std::string, std::string>& options, std::map<std::string, int>& uses,
              const std::string& key) {
  const auto it = options.find(key);
  if (it == options.end())
    return 0;
  int error = 0;
  long count = -1;
  if (!parseFault(it->second, error, count))
    return 0;
  int& used = uses[key];
  if (count >= 0 && used >= count)
    return 0;
  ++used;
  return error;
}

std::vector<double> parseTimes(const std::string& text, bool& ok) {
  std::vector<double> times;
  std::stringstream in(text);
  std::string item;
  ok = true;
  while (std::getline(in, item, ',')) {
    long v = 0;
    if (!parseLong(trim(item), v) || v < 0)
      ok = false;
    else
      times.push_back(static_cast<double>(v));
  }
  return times;
}

/// Checks the core keys of one device; false with a message for a bad value.
bool checkDevice(const Device& dev, std::string& err) {
  static const char* const numeric[] = {"vid", "pid", "bcd", "config", "unconfigured_sets",
                                        "kernel_driver", "claimed_elsewhere", "reenum_delay_ms",
                                        "config_after_reenum", "bcd_after_reenum",
                                        "fail_a0_write", "fail_a0_addr"};
  for (const char* key : numeric) {
    long v = 0;
    const auto it = dev.options.find(key);
    if (it != dev.options.end() && (!parseLong(it->second, v) || v < 0)) {
      err = std::string("device ") + std::to_string(dev.id) + ": " + key + " needs a number, not '" +
            it->second + "'";
      return false;
    }
  }
  for (const auto& [key, value] : dev.options) {
    int e = 0;
    long c = 0;
    if (key.rfind("fail_", 0) == 0 && key != "fail_a0_write" && key != "fail_a0_addr" &&
        !parseFault(value, e, c)) {
      err = "device " + std::to_string(dev.id) + ": " + key + " needs ERROR or ERROR*N, not '" +
            value + "'";
      return false;
    }
  }
  const std::string reenum = dev.option("reenum", "normal");
  if (reenum != "normal" && reenum != "never" && reenum != "none") {
    err = "device " + std::to_string(dev.id) + ": reenum is normal, never or none, not '" + reenum + "'";
    return false;
  }
  for (const char* key : {"unplug_at_ms", "replug_at_ms"}) {
    bool ok = true;
    parseTimes(dev.option(key), ok);
    if (!ok) {
      err = "device " + std::to_string(dev.id) + ": " + key + " needs a list of milliseconds";
      return false;
    }
  }
  return true;
}

/// Parses scenario text into slots and globals; false with a message.
bool parseScenario(const std::string& text, std::vector<Slot>& slots,
                   std::map<std::string, std::string>& globals, std::string& err) {
  std::string normalised = text;
  std::replace(normalised.begin(), normalised.end(), ';', '\n');
  std::stringstream in(normalised);
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    line = trim(line.substr(0, line.find('#')));
    if (line.empty())
      continue;
    if (line == "[probe]" || line == "[device]") {
      Slot slot;
      slot.dev = std::make_unique<Device>();
      slot.dev->id = static_cast<int>(slots.size());
      slot.dev->isProbe = line == "[probe]";
      slots.push_back(std::move(slot));
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos || trim(line.substr(0, eq)).empty()) {
      err = "line " + std::to_string(lineNo) + ": expected [probe], [device] or key = value: '" + line + "'";
      return false;
    }
    const std::string key = trim(line.substr(0, eq));
    const std::string value = trim(line.substr(eq + 1));
    if (slots.empty())
      globals[key] = value;
    else
      slots.back().dev->options[key] = value;
  }
  for (const auto& key : {"reenum_delay_ms", "interrupt_idle_ms"}) {
    long v = 0;
    if (globals.count(key) && (!parseLong(globals[key], v) || v < 0)) {
      err = std::string(key) + " needs a number";
      return false;
    }
  }
  for (const auto& [key, value] : globals) {
    int e = 0;
    long c = 0;
    if (key.rfind("fail_", 0) == 0 && !parseFault(value, e, c)) {
      err = key + " needs ERROR or ERROR*N, not '" + value + "'";
      return false;
    }
  }
  for (auto& slot : slots) {
    if (!checkDevice(*slot.dev, err))
      return false;
    for (const auto& [key, plug] : {std::pair{"unplug_at_ms", false}, std::pair{"replug_at_ms", true}}) {
      bool ok = true;
      for (double t : parseTimes(slot.dev->option(key), ok))
        slot.schedule.push_back({t, plug});
    }
    std::stable_sort(slot.schedule.begin(), slot.schedule.end(),
                     [](const detail::TimedEvent& a, const detail::TimedEvent& b) { return a.atMs < b.atMs; });
  }
  return true;
}

void writeLog(detail::Sim& s, const std::string& text) {
  char stamp[32];
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - s.start).count();
  std::snprintf(stamp, sizeof stamp, "%10.3f ", ms);
  std::string line = stamp + text + "\n";
  s.log += line;
  if (s.logFile != nullptr) {
    std::fputs(line.c_str(), s.logFile);
    std::fflush(s.logFile);
  }
}

/// Takes a new scenario: the devices of the old one leave for good (their handles then fail
/// with "no device"), the clock and the log start afresh.
bool loadScenario(detail::Sim& s, const std::string& text, std::string& err) {
  std::vector<Slot> slots;
  std::map<std::string, std::string> globals;
  if (!parseScenario(text, slots, globals, err))
    return false;
  static std::vector<std::unique_ptr<Device>> retired;
  for (auto& slot : s.slots) {
    slot.dev->present = false;
    ++slot.dev->generation;
    retired.push_back(std::move(slot.dev));
  }
  s.slots = std::move(slots);
  s.globals = std::move(globals);
  s.globalFaultUses.clear();
  s.start = std::chrono::steady_clock::now();
  s.log.clear();
  for (auto& slot : s.slots) {
    Device& d = *slot.dev;
    d.vid = static_cast<uint16_t>(d.optionInt("vid", d.isProbe ? PROBE_VENDOR_ID : DEVICE_VENDOR_ID));
    d.pid = static_cast<uint16_t>(d.optionInt("pid", d.isProbe ? PROBE_PRODUCT_ID : DEVICE_PRODUCT_ID));
    detail::powerUp(slot);
    detail::raise(d, Event::ScenarioLoaded);
  }
  return true;
}

} // namespace

// ---- Device -----------------------------------------------------------------------------------

std::string Device::option(const std::string& key, const std::string& dflt) const {
  const auto it = options.find(key);
  return it == options.end() ? dflt : it->second;
}

long Device::optionInt(const std::string& key, long dflt) const {
  long v = 0;
  return parseLong(option(key), v) ? v : dflt;
}

int Device::fault(const std::string& key) {
  return takeFault(options, faultUses, key);
}

// ---- Registration and helpers ------------------------------------------------------------------

bool registerVendorHandler(VendorHandler handler) {
  std::lock_guard lock(stateMutex());
  detail::sim().vendorHandlers.push_back(std::move(handler));
  return true;
}

bool setInterruptSource(InterruptSource source) {
  std::lock_guard lock(stateMutex());
  detail::sim().interruptSource = std::move(source);
  return true;
}

bool registerEventHook(EventHook hook) {
  std::lock_guard lock(stateMutex());
  detail::sim().eventHooks.push_back(std::move(hook));
  return true;
}

std::recursive_mutex& stateMutex() {
  return detail::sim().mutex;
}

void logLine(const std::string& text) {
  std::lock_guard lock(stateMutex());
  writeLog(detail::sim(), text);
}

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                   detail::sim().start)
      .count();
}

std::string hexBytes(const unsigned char* data, size_t len) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out += digits[data[i] >> 4];
    out += digits[data[i] & 15];
  }
  return out;
}

int parseError(const std::string& text) {
  std::string name = text;
  if (name.rfind("LIBUSB_ERROR_", 0) == 0)
    name = name.substr(13);
  for (const auto& [n, code] : ERROR_NAMES)
    if (name == n)
      return code;
  long v = 0;
  if (parseLong(text, v) && v < 0 && v >= LIBUSB_ERROR_OTHER)
    return static_cast<int>(v);
  return 0;
}

// ---- Core model ---------------------------------------------------------------------------------

namespace detail {

Sim& sim() {
  // Never destroyed: programs may call libusb from static destructors.
  static Sim* const s = new Sim;
  return *s;
}

namespace {

/// The scenario of the environment, taken on the first call unless a test configured one.
void ensureScenario(Sim& s) {
  if (s.scenarioTaken)
    return;
  s.scenarioTaken = true;
  if (const char* path = std::getenv("PROBESIM_LOG"); path != nullptr && *path != '\0')
    s.logFile = std::fopen(path, "a");
  std::string text;
  std::string origin = "PROBESIM_SCENARIO";
  if (const char* path = std::getenv("PROBESIM_CONFIG"); path != nullptr && *path != '\0') {
    origin = path;
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    text = content.str();
    if (!file)
      std::fprintf(stderr, "probesim: cannot read PROBESIM_CONFIG file %s\n", path);
  } else if (const char* inlineText = std::getenv("PROBESIM_SCENARIO"); inlineText != nullptr) {
    text = inlineText;
  }
  std::string err;
  if (!loadScenario(s, text, err)) {
    std::fprintf(stderr, "probesim: %s: %s\n", origin.c_str(), err.c_str());
    writeLog(s, "scenario error: " + err);
  }
}

} // namespace

int globalFault(const std::string& key) {
  Sim& s = sim();
  return takeFault(s.globals, s.globalFaultUses, key);
}

long globalInt(const std::string& key, long dflt) {
  const auto it = sim().globals.find(key);
  long v = 0;
  return it != sim().globals.end() && parseLong(it->second, v) ? v : dflt;
}

Slot* slotOf(const Device* dev) {
  for (auto& slot : sim().slots)
    if (slot.dev.get() == dev)
      return &slot;
  return nullptr;
}

void raise(Device& dev, Event event) {
  for (const auto& hook : sim().eventHooks)
    hook(dev, event);
}

std::string errorText(int code) {
  for (const auto& [n, c] : ERROR_NAMES)
    if (c == code)
      return std::to_string(code) + "(" + n + ")";
  return std::to_string(code);
}

void leaveBus(Slot& slot) {
  Device& d = *slot.dev;
  d.present = false;
  ++d.generation;
  d.claimedBy = nullptr;
  d.driverBound = false;
  slot.current = nullptr;
  slot.returnAtMs = -1;
  slot.neverReturns = false;
}

void appear(Slot& slot) {
  Sim& s = sim();
  Device& d = *slot.dev;
  auto appearance = std::make_unique<libusb_device>();
  appearance->dev = &d;
  appearance->generation = d.generation;
  appearance->address = s.nextAddress;
  appearance->bcd = d.bcd;
  s.nextAddress = static_cast<uint8_t>(s.nextAddress % 127 + 1);
  d.address = appearance->address;
  d.present = true;
  slot.current = appearance.get();
  s.appearances.push_back(std::move(appearance));
}

void powerUp(Slot& slot) {
  Device& d = *slot.dev;
  std::fill(d.ram.begin(), d.ram.end(), 0);
  d.inReset = true;
  d.ram[FX2_CPUCS] = 1;
  d.firmwareRunning = false;
  d.bcd = static_cast<uint16_t>(d.optionInt("bcd", d.isProbe ? PROBE_BCD : DEVICE_BCD));
  d.config = static_cast<int>(d.optionInt("config", 1));
  d.claimedElsewhere = d.optionInt("claimed_elsewhere", 0) != 0;
  d.claimedBy = nullptr;
  d.driverBound = d.optionInt("kernel_driver", 0) != 0 && d.config == 1;
  slot.downloaded = false;
  slot.unconfiguredSetsLeft = static_cast<int>(d.optionInt("unconfigured_sets", 0));
  slot.returnAtMs = -1;
  slot.neverReturns = false;
  appear(slot);
}

namespace {

/// Back on the bus with the new firmware running.
void reenumerate(Slot& slot) {
  Device& d = *slot.dev;
  d.config = static_cast<int>(d.optionInt("config_after_reenum", d.optionInt("config", 1)));
  d.bcd = static_cast<uint16_t>(d.optionInt("bcd_after_reenum", d.bcd));
  d.claimedElsewhere = false;
  d.driverBound = d.optionInt("kernel_driver", 0) != 0 && d.config == 1;
  slot.unconfiguredSetsLeft = static_cast<int>(d.optionInt("unconfigured_sets", 0));
  slot.returnAtMs = -1;
  appear(slot);
  writeLog(sim(), "event reenumerated dev=" + std::to_string(d.id));
  raise(d, Event::Reenumerated);
}

void setCpucs(Slot& slot, bool hold) {
  Device& d = *slot.dev;
  d.ram[FX2_CPUCS] = hold ? 1 : 0;
  if (hold) {
    if (!d.inReset) {
      d.inReset = true;
      d.firmwareRunning = false;
      slot.downloaded = false;
      raise(d, Event::ResetHeld);
    }
    return;
  }
  if (!d.inReset)
    return;
  d.inReset = false;
  d.firmwareRunning = slot.downloaded;
  raise(d, Event::ResetReleased);
  const std::string mode = d.option("reenum", "normal");
  if (!slot.downloaded || mode == "none")
    return;
  // The new firmware disconnects and comes back with its own descriptors.
  leaveBus(slot);
  if (mode == "never") {
    slot.neverReturns = true;
  } else {
    const long delay = d.optionInt("reenum_delay_ms", globalInt("reenum_delay_ms", DEFAULT_REENUM_DELAY_MS));
    slot.returnAtMs = nowMs() + static_cast<double>(delay);
  }
  writeLog(sim(), "event left_bus_for_reenumeration dev=" + std::to_string(d.id));
  raise(d, Event::LeftForReenumeration);
}

} // namespace

void unplug(Slot& slot) {
  const bool wasPresent = slot.dev->present;
  leaveBus(slot);
  writeLog(sim(), "event unplug dev=" + std::to_string(slot.dev->id));
  if (wasPresent)
    raise(*slot.dev, Event::Unplugged);
}

void replug(Slot& slot) {
  if (slot.dev->present)
    return;
  powerUp(slot);
  writeLog(sim(), "event replug dev=" + std::to_string(slot.dev->id));
  raise(*slot.dev, Event::Replugged);
}

void advance() {
  Sim& s = sim();
  ensureScenario(s);
  const double now = nowMs();
  for (;;) {
    Slot* due = nullptr;
    double when = now;
    bool isReturn = false;
    for (auto& slot : s.slots) {
      if (slot.returnAtMs >= 0 && slot.returnAtMs <= when) {
        due = &slot;
        when = slot.returnAtMs;
        isReturn = true;
      }
      if (slot.nextEvent < slot.schedule.size() && slot.schedule[slot.nextEvent].atMs <= when) {
        due = &slot;
        when = slot.schedule[slot.nextEvent].atMs;
        isReturn = false;
      }
    }
    if (due == nullptr)
      return;
    if (isReturn) {
      reenumerate(*due);
    } else if (due->schedule[due->nextEvent++].plug) {
      replug(*due);
    } else {
      unplug(*due);
    }
  }
}

int fx2RamRequest(Slot& slot, const ControlRequest& req, unsigned char* data) {
  Device& d = *slot.dev;
  const size_t address = req.value;
  const size_t length = req.length;
  if (address + length > FX2_RAM_SIZE || (length > 0 && data == nullptr))
    return LIBUSB_ERROR_PIPE;
  if (req.requestType & REQTYPE_DIR_IN) {
    std::copy_n(d.ram.begin() + static_cast<long>(address), length, data);
    return static_cast<int>(length);
  }
  ++d.ramWrites;
  const long failNth = d.optionInt("fail_a0_write", 0);
  const bool failAddress = d.options.count("fail_a0_addr") != 0 &&
                           d.optionInt("fail_a0_addr", -1) == static_cast<long>(address);
  if ((failNth > 0 && static_cast<long>(d.ramWrites) == failNth) || failAddress) {
    const int error = parseError(d.option("fail_a0_error", "PIPE"));
    return error != 0 ? error : LIBUSB_ERROR_PIPE;
  }
  std::copy_n(data, length, d.ram.begin() + static_cast<long>(address));
  if (address <= FX2_CPUCS && FX2_CPUCS < address + length)
    setCpucs(slot, (data[FX2_CPUCS - address] & 1) != 0);
  else if (d.inReset && length > 0)
    slot.downloaded = true;
  return static_cast<int>(length);
}

} // namespace detail
} // namespace probesim

// ---- Control API ----------------------------------------------------------------------------------

using probesim::detail::sim;

extern "C" {

const char* probesim_version(void) {
  return "probesim 1";
}

int probesim_configure(const char* scenario, char* err, size_t errLen) {
  std::lock_guard lock(probesim::stateMutex());
  sim().scenarioTaken = true;
  std::string message;
  if (probesim::loadScenario(sim(), scenario != nullptr ? scenario : "", message))
    return 0;
  if (err != nullptr && errLen > 0) {
    std::strncpy(err, message.c_str(), errLen - 1);
    err[errLen - 1] = '\0';
  }
  return -1;
}

size_t probesim_log(char* buf, size_t len) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  const std::string& log = sim().log;
  if (buf != nullptr && len > log.size())
    std::memcpy(buf, log.c_str(), log.size() + 1);
  return log.size() + 1;
}

void probesim_clear_log(void) {
  std::lock_guard lock(probesim::stateMutex());
  sim().log.clear();
}

int probesim_unplug(int id) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  auto& slots = sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size())
    return -1;
  probesim::detail::unplug(slots[static_cast<size_t>(id)]);
  return 0;
}

int probesim_replug(int id) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  auto& slots = sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size())
    return -1;
  probesim::detail::replug(slots[static_cast<size_t>(id)]);
  return 0;
}

int probesim_read_ram(int id, unsigned address, unsigned char* buf, size_t len) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  auto& slots = sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size() || buf == nullptr ||
      address + len > probesim::FX2_RAM_SIZE)
    return -1;
  std::copy_n(slots[static_cast<size_t>(id)].dev->ram.begin() + address, len, buf);
  return 0;
}

long probesim_state(int id, const char* name) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  auto& slots = sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size() || name == nullptr)
    return -1;
  const auto& slot = slots[static_cast<size_t>(id)];
  const probesim::Device& d = *slot.dev;
  const std::string n = name;
  if (n == "present") return d.present;
  if (n == "config") return d.config;
  if (n == "driver_bound") return d.driverBound;
  if (n == "claimed") return d.claimedBy != nullptr;
  if (n == "in_reset") return d.inReset;
  if (n == "firmware_running") return d.firmwareRunning;
  if (n == "generation") return d.generation;
  if (n == "ram_writes") return d.ramWrites;
  if (n == "open_handles") {
    long count = 0;
    for (const auto& h : sim().handles)
      count += !h->closed && h->device->dev == &d;
    return count;
  }
  if (n == "refs") return slot.current != nullptr ? slot.current->refs : 0;
  return -1;
}

int probesim_queue_interrupt(int id, int endpoint, const unsigned char* data, size_t len, int result) {
  std::lock_guard lock(probesim::stateMutex());
  probesim::detail::advance();
  auto& slots = sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size() || (len > 0 && data == nullptr))
    return -1;
  probesim::detail::QueuedRead read;
  read.endpoint = endpoint;
  read.data.assign(data, data + len);
  read.result = result;
  slots[static_cast<size_t>(id)].reads.push_back(std::move(read));
  return 0;
}

} // extern "C"
