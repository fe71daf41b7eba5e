// Probe simulator: the probe firmware's command bridge to the FPGA register port, the FPGA's
// configuration port and the EEPROM, with the faults tests ask for.
#include "probesim_cmd.h"

#include "probesim.h"
#include "probesim_internal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using probesim::ControlRequest;
using probesim::Device;
using probesim::Event;

// Vendor requests of the probe firmware.
constexpr uint8_t REQ_ID_TEXT_1 = 0xC0;
constexpr uint8_t REQ_ID_TEXT_2 = 0xC1;
constexpr uint8_t REQ_CLEAR_FIFO = 0xC2;
constexpr uint8_t REQ_RESET_FPGA = 0xC3;
constexpr uint8_t REQ_LEDS = 0xC6;
constexpr uint8_t REQ_DEV_READ = 0xC8;
constexpr uint8_t REQ_DEV_WRITE = 0xC9;
constexpr uint8_t REQ_DEV_WRITE_READ = 0xCA;
constexpr uint8_t REQ_DEV_RESULT = 0xCB;

constexpr uint8_t REQTYPE_DIR_IN = 0x80;
constexpr uint8_t REQTYPE_TYPE_MASK = 0x60;
constexpr uint8_t REQTYPE_VENDOR = 0x40;

// Devices behind the bridge.
constexpr int DEV_CONFIG_PORT = 0x40;
constexpr int DEV_FPGA_PORT = 0x42;
constexpr int DEV_EEPROM = 0x57;

constexpr size_t ID_TEXT_SIZE = 64;
constexpr size_t FPGA_PORT_MAX = 64;
constexpr size_t FPGA_ID_SIZE = 16;
constexpr int REG_ID_BLOCK = 1;
constexpr int REG_CONTROL = 4;
constexpr int CONTROL_CONNECT = 0x24;
constexpr int CONTROL_DISCONNECT = 0x20;
constexpr int CONTROL_APPLY = 1;
constexpr int CONTROL_START = 2;

constexpr size_t EEPROM_SIZE = 256;
constexpr size_t EEPROM_PAGE = 16;
constexpr size_t SERIAL_AT = 0xE0;
constexpr size_t CHECKSUM_AT = 0xF0;

constexpr size_t CFG_ROW_SIZE = 16;
constexpr size_t CFG_ROW_COMMAND_SIZE = 4 + CFG_ROW_SIZE;

constexpr long DEFAULT_BUSY_POLLS = 2;
const char* const DEFAULT_ID_TEXT_1 = "Probe simulator";
const char* const DEFAULT_ID_TEXT_2 = "Simulated probe firmware";
const char* const DEFAULT_FPGA_ID = "SIM FPGA ID 0001";
const char* const DEFAULT_SERIAL = "SIM00001";

/// The bridge's state of one probe. The EEPROM and the FPGA's configuration memory are
/// non-volatile and survive unplugging; the rest starts afresh at each power-up.
struct Bridge : probesim::DeviceExtension {
  bool initialised = false;

  // Firmware.
  std::string idText1, idText2;
  long leds = -1;
  long fifoClears = 0;
  long fpgaResets = 0;

  // FPGA register port.
  std::array<uint8_t, FPGA_ID_SIZE> fpgaId{};
  std::array<uint8_t, 64> regs{};
  int selected = 0;
  int pendingControl = -1;
  bool connected = false;
  long captures = 0;

  // Configuration port.
  long busyPolls = DEFAULT_BUSY_POLLS;
  bool stuckBusy = false;
  long failRow = -1;
  long busyLeft = 0;
  uint16_t feaBits = 0;
  uint32_t idcode = 0;
  uint32_t status = 0;
  uint64_t trace = 0;
  std::vector<uint8_t> rows; ///< received since the last erase
  long rowCommands = 0;      ///< row commands since the last erase, failed ones included
  long rowsTotal = 0;
  long erases = 0, initAddrs = 0, dones = 0, refreshes = 0, disables = 0, bypasses = 0, enables = 0,
       feaWrites = 0, busyReads = 0, commands = 0;

  // EEPROM.
  std::array<uint8_t, EEPROM_SIZE> eeprom{};
  uint8_t eeAddress = 0;

  // Result of the last write-then-read: nRead data bytes and the status byte.
  std::vector<uint8_t> result;
  bool resultValid = false;
};

void copyText(const std::string& text, uint8_t* out, size_t size) {
  std::fill(out, out + size, 0);
  std::copy_n(text.begin(), std::min(text.size(), size), out);
}

/// The parts that a power-up clears.
void powerUp(Bridge& b) {
  b.regs.fill(0);
  b.selected = 0;
  b.pendingControl = -1;
  b.connected = false;
  b.busyLeft = 0;
  b.eeAddress = 0;
  b.result.clear();
  b.resultValid = false;
}

void initialise(Device& d, Bridge& b) {
  b.initialised = true;
  b.idText1 = d.option("id_text1", DEFAULT_ID_TEXT_1);
  b.idText2 = d.option("id_text2", DEFAULT_ID_TEXT_2);
  copyText(d.option("fpga_id", DEFAULT_FPGA_ID), b.fpgaId.data(), b.fpgaId.size());
  b.busyPolls = std::max(0L, d.optionInt("cfg_busy_polls", DEFAULT_BUSY_POLLS));
  b.stuckBusy = d.optionInt("cfg_stuck_busy", 0) != 0;
  b.failRow = d.optionInt("cfg_fail_row", -1);
  b.feaBits = static_cast<uint16_t>(d.optionInt("fea_bits", 0));
  b.idcode = static_cast<uint32_t>(d.optionInt("cfg_idcode", 0));
  b.status = static_cast<uint32_t>(d.optionInt("cfg_status", 0));
  b.trace = static_cast<uint64_t>(d.optionInt("cfg_trace", 0));

  b.eeprom.fill(0xFF);
  copyText(d.option("serial", DEFAULT_SERIAL), b.eeprom.data() + SERIAL_AT, EEPROM_PAGE);
  const auto sum = static_cast<uint32_t>(d.optionInt("eeprom_checksum", 0xFFFFFFFFL));
  for (size_t i = 0; i < 4; ++i) b.eeprom[CHECKSUM_AT + i] = static_cast<uint8_t>(sum >> (8 * i));
  powerUp(b);

  if (d.optionInt("firmware_running", 0) != 0) {
    // Starts as if the firmware had been downloaded and the device had re-enumerated.
    d.inReset = false;
    d.firmwareRunning = true;
    d.ram[probesim::FX2_CPUCS] = 0;
  }
}

Bridge& bridgeOf(Device& d) {
  Bridge& b = d.extension<Bridge>("cmd");
  if (!b.initialised) initialise(d, b);
  return b;
}

void event(const Device& d, const std::string& what) {
  probesim::logLine("event " + what + " dev=" + std::to_string(d.id));
}

// ---- FPGA register port ----

void fpgaWrite(Device& d, Bridge& b, const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const uint8_t byte = data[i];
    if ((byte & 0xC0) == 0x00) {
      b.selected = byte;
    } else if ((byte & 0xC0) == 0x40) {
      const int value = byte & 0x3F;
      b.regs[static_cast<size_t>(b.selected)] = static_cast<uint8_t>(value);
      if (b.selected != REG_CONTROL) continue;
      if (value == CONTROL_CONNECT || value == CONTROL_DISCONNECT) {
        b.pendingControl = value;
      } else if (value == CONTROL_APPLY && b.pendingControl >= 0) {
        b.connected = b.pendingControl == CONTROL_CONNECT;
        b.pendingControl = -1;
        event(d, b.connected ? "fpga_connected" : "fpga_disconnected");
      } else if (value == CONTROL_START) {
        ++b.captures;
        event(d, "fpga_capture_started");
        probesim::detail::raise(d, Event::CaptureStarted);
      }
    }
    // Bytes with the top bit set mean nothing to the port.
  }
}

void fpgaRead(const Bridge& b, uint8_t* out, size_t len) {
  std::fill(out, out + len, 0);
  if (b.selected == REG_ID_BLOCK)
    std::copy_n(b.fpgaId.begin(), std::min(len, b.fpgaId.size()), out);
  else if (len > 0)
    out[0] = b.regs[static_cast<size_t>(b.selected)];
}

// ---- Configuration port ----

void startBusy(Bridge& b) { b.busyLeft = b.busyPolls; }

void putBigEndian(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
  for (size_t i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

/// One configuration command; its answer goes to response. Returns 0 or a libusb error.
int cfgCommand(Bridge& b, const uint8_t* cmd, size_t len, std::vector<uint8_t>& response) {
  response.clear();
  if (len == 0) return 0;
  ++b.commands;
  switch (cmd[0]) {
    case 0xC6:  // enable
    case 0x74:  // enable, transparent
      ++b.enables;
      break;
    case 0x0E:  // erase
      ++b.erases;
      b.rows.clear();
      b.rowCommands = 0;
      startBusy(b);
      break;
    case 0x46:  // reset the row address
      ++b.initAddrs;
      startBusy(b);
      break;
    case 0x70: {  // program one row
      if (len != CFG_ROW_COMMAND_SIZE) return LIBUSB_ERROR_PIPE;
      // Rows count from the erase, the failed one included.
      if (b.rowCommands++ == b.failRow) return LIBUSB_ERROR_PIPE;
      b.rows.insert(b.rows.end(), cmd + 4, cmd + len);
      ++b.rowsTotal;
      break;
    }
    case 0x5E:  // program done
      ++b.dones;
      startBusy(b);
      break;
    case 0x79:  // refresh
      ++b.refreshes;
      break;
    case 0x26:  // disable
      ++b.disables;
      startBusy(b);
      break;
    case 0xFF:  // bypass
      ++b.bypasses;
      break;
    case 0xF8:  // write feature bits
      if (len < 6) return LIBUSB_ERROR_PIPE;
      b.feaBits = static_cast<uint16_t>(cmd[4] << 8 | cmd[5]);
      ++b.feaWrites;
      startBusy(b);
      break;
    case 0xF0: {  // busy flag
      ++b.busyReads;
      bool busy = b.stuckBusy;
      if (!busy && b.busyLeft > 0) {
        busy = true;
        --b.busyLeft;
      }
      response.push_back(busy ? 1 : 0);
      break;
    }
    case 0x3C:
      putBigEndian(response, b.status, 4);
      break;
    case 0xE0:
      putBigEndian(response, b.idcode, 4);
      break;
    case 0x19:
      putBigEndian(response, b.trace, 8);
      break;
    case 0xFB:
      putBigEndian(response, b.feaBits, 2);
      break;
    default:  // not modelled: accepted, no effect
      break;
  }
  return 0;
}

// ---- EEPROM ----

/// A write: the offset byte, then data that wraps within the page, as the EEPROM does.
void eepromWrite(Bridge& b, const uint8_t* data, size_t len) {
  if (len == 0) return;
  const uint8_t offset = data[0];
  const size_t page = offset & ~(EEPROM_PAGE - 1);
  size_t at = offset;
  for (size_t i = 1; i < len; ++i) {
    b.eeprom[at] = data[i];
    at = page + (at + 1) % EEPROM_PAGE;
  }
  b.eeAddress = static_cast<uint8_t>(at);
}

/// A sequential read from the current address; wraps at the end of the EEPROM.
void eepromRead(Bridge& b, uint8_t* out, size_t len) {
  for (size_t i = 0; i < len; ++i) out[i] = b.eeprom[b.eeAddress++];
}

// ---- Requests ----

int devRead(Device& d, Bridge& b, int dev, uint8_t* out, size_t len) {
  switch (dev) {
    case DEV_FPGA_PORT:
      if (len < 1 || len > FPGA_PORT_MAX) return LIBUSB_ERROR_PIPE;
      if (const int e = d.fault("fail_fpga_read")) return e;
      fpgaRead(b, out, len);
      return static_cast<int>(len);
    case DEV_CONFIG_PORT:
      std::fill(out, out + len, 0);
      return static_cast<int>(len);
    case DEV_EEPROM:
      if (const int e = d.fault("fail_eeprom_read")) return e;
      eepromRead(b, out, len);
      return static_cast<int>(len);
    default:
      return LIBUSB_ERROR_PIPE;  // nothing answers at that address
  }
}

int devWrite(Device& d, Bridge& b, int dev, const uint8_t* data, size_t len, std::vector<uint8_t>& response) {
  response.clear();
  switch (dev) {
    case DEV_FPGA_PORT:
      if (len > FPGA_PORT_MAX) return LIBUSB_ERROR_PIPE;
      if (const int e = d.fault("fail_fpga_write")) return e;
      fpgaWrite(d, b, data, len);
      return 0;
    case DEV_CONFIG_PORT:
      if (const int e = d.fault("fail_cfg_write")) return e;
      return cfgCommand(b, data, len, response);
    case DEV_EEPROM:
      if (const int e = d.fault("fail_eeprom_write")) return e;
      eepromWrite(b, data, len);
      return 0;
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

/// Write, then read nRead bytes into the result buffer (data bytes, then a status byte of 0).
int devWriteRead(Device& d, Bridge& b, int dev, size_t nRead, const uint8_t* data, size_t len) {
  b.resultValid = false;
  b.result.clear();
  std::vector<uint8_t> response;
  std::vector<uint8_t> readBack(nRead, 0);
  switch (dev) {
    case DEV_CONFIG_PORT: {
      if (const int e = d.fault("fail_cfg_write")) return e;
      if (const int e = cfgCommand(b, data, len, response)) return e;
      std::copy_n(response.begin(), std::min(nRead, response.size()), readBack.begin());
      break;
    }
    case DEV_FPGA_PORT:
      if (nRead > FPGA_PORT_MAX) return LIBUSB_ERROR_PIPE;
      if (const int e = d.fault("fail_fpga_write")) return e;
      fpgaWrite(d, b, data, len);
      fpgaRead(b, readBack.data(), nRead);
      break;
    case DEV_EEPROM:
      if (const int e = d.fault("fail_eeprom_read")) return e;
      eepromWrite(b, data, len);
      if (len > 0) b.eeAddress = data[0];
      eepromRead(b, readBack.data(), nRead);
      break;
    default:
      return LIBUSB_ERROR_PIPE;
  }
  b.result = std::move(readBack);
  b.result.push_back(0);  // status: acknowledged
  b.resultValid = true;
  return static_cast<int>(len);
}

bool isRequestOf(uint8_t request) {
  switch (request) {
    case REQ_ID_TEXT_1:
    case REQ_ID_TEXT_2:
    case REQ_CLEAR_FIFO:
    case REQ_RESET_FPGA:
    case REQ_LEDS:
    case REQ_DEV_READ:
    case REQ_DEV_WRITE:
    case REQ_DEV_WRITE_READ:
    case REQ_DEV_RESULT:
      return true;
    default:
      return false;
  }
}

bool isInRequest(uint8_t request) {
  return request == REQ_ID_TEXT_1 || request == REQ_ID_TEXT_2 || request == REQ_DEV_READ ||
         request == REQ_DEV_RESULT;
}

int handle(Device& d, const ControlRequest& req, unsigned char* data) {
  if (!d.isProbe || (req.requestType & REQTYPE_TYPE_MASK) != REQTYPE_VENDOR || !isRequestOf(req.request))
    return probesim::UNHANDLED;
  // Without its firmware the FX2 answers only its own RAM request.
  if (!d.firmwareRunning) return LIBUSB_ERROR_PIPE;
  const bool in = (req.requestType & REQTYPE_DIR_IN) != 0;
  if (in != isInRequest(req.request)) return LIBUSB_ERROR_PIPE;
  char key[16];
  std::snprintf(key, sizeof key, "fail_req_%02x", req.request);
  if (const int e = d.fault(key)) return e;

  Bridge& b = bridgeOf(d);
  const size_t len = req.length;
  switch (req.request) {
    case REQ_ID_TEXT_1:
    case REQ_ID_TEXT_2: {
      std::array<uint8_t, ID_TEXT_SIZE> text{};
      // Always zero-terminated.
      copyText(req.request == REQ_ID_TEXT_1 ? b.idText1 : b.idText2, text.data(), text.size() - 1);
      const size_t n = std::min(len, text.size());
      std::copy_n(text.begin(), n, data);
      return static_cast<int>(n);
    }
    case REQ_CLEAR_FIFO:
      ++b.fifoClears;
      probesim::detail::raise(d, Event::FifoCleared);
      return 0;
    case REQ_RESET_FPGA:
      ++b.fpgaResets;
      b.selected = 0;
      b.pendingControl = -1;
      probesim::detail::raise(d, Event::FpgaReset);
      return 0;
    case REQ_LEDS:
      b.leds = req.value;
      return 0;
    case REQ_DEV_READ:
      return devRead(d, b, req.value, data, len);
    case REQ_DEV_WRITE: {
      std::vector<uint8_t> response;
      const int r = devWrite(d, b, req.value, data, len, response);
      return r < 0 ? r : static_cast<int>(len);
    }
    case REQ_DEV_WRITE_READ: {
      const size_t nPlusOne = req.value & 0xFF;
      if (nPlusOne == 0) return LIBUSB_ERROR_PIPE;
      return devWriteRead(d, b, req.value >> 8, nPlusOne - 1, data, len);
    }
    case REQ_DEV_RESULT: {
      if (!b.resultValid) return LIBUSB_ERROR_PIPE;
      const size_t n = std::min(len, b.result.size());
      std::copy_n(b.result.begin(), n, data);
      return static_cast<int>(n);
    }
    default:
      return probesim::UNHANDLED;
  }
}

void onEvent(Device& d, Event e) {
  if (!d.isProbe) return;
  if (e == Event::ScenarioLoaded) {
    bridgeOf(d);
  } else if (e == Event::Replugged || e == Event::Unplugged) {
    powerUp(bridgeOf(d));
  }
}

const bool registered = probesim::registerVendorHandler(&handle) && probesim::registerEventHook(&onEvent);

Bridge* bridgeById(int id) {
  auto& slots = probesim::detail::sim().slots;
  if (id < 0 || static_cast<size_t>(id) >= slots.size()) return nullptr;
  Device& d = *slots[static_cast<size_t>(id)].dev;
  return d.isProbe ? &bridgeOf(d) : nullptr;
}

}  // namespace

extern "C" {

long probesim_cmd_state(int id, const char* name) {
  std::lock_guard lock(probesim::stateMutex());
  const Bridge* b = bridgeById(id);
  if (b == nullptr || name == nullptr) return -1;
  const std::string n = name;
  if (n == "leds") return b->leds;
  if (n == "fifo_clears") return b->fifoClears;
  if (n == "fpga_resets") return b->fpgaResets;
  if (n == "fpga_connected") return b->connected;
  if (n == "fpga_captures") return b->captures;
  if (n == "cfg_rows") return static_cast<long>(b->rows.size() / CFG_ROW_SIZE);
  if (n == "cfg_rows_total") return b->rowsTotal;
  if (n == "cfg_erases") return b->erases;
  if (n == "cfg_init_addrs") return b->initAddrs;
  if (n == "cfg_dones") return b->dones;
  if (n == "cfg_refreshes") return b->refreshes;
  if (n == "cfg_disables") return b->disables;
  if (n == "cfg_bypasses") return b->bypasses;
  if (n == "cfg_enables") return b->enables;
  if (n == "cfg_fea_writes") return b->feaWrites;
  if (n == "cfg_busy_polls") return b->busyReads;
  if (n == "cfg_fea_bits") return b->feaBits;
  if (n == "cfg_commands") return b->commands;
  return -1;
}

long probesim_cmd_eeprom(int id, unsigned char* buf, size_t len) {
  std::lock_guard lock(probesim::stateMutex());
  const Bridge* b = bridgeById(id);
  if (b == nullptr || (buf == nullptr && len > 0)) return -1;
  const size_t n = std::min(len, b->eeprom.size());
  std::copy_n(b->eeprom.begin(), n, buf);
  return static_cast<long>(n);
}

long probesim_cmd_rows(int id, unsigned char* buf, size_t len) {
  std::lock_guard lock(probesim::stateMutex());
  const Bridge* b = bridgeById(id);
  if (b == nullptr || (buf == nullptr && len > 0)) return -1;
  const size_t n = std::min(len, b->rows.size());
  std::copy_n(b->rows.begin(), n, buf);
  return static_cast<long>(n);
}

}  // extern "C"
