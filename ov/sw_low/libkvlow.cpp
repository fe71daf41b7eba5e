// Probe facade held by the capture thread: passes probe operations through and adds raw access.
#include "libkvlow.h"

TlibKvLow::TlibKvLow() : low(std::make_unique<TkvLow>()) {}

TlibKvLow::TlibKvLow(std::unique_ptr<TkvLow> lowLayer) : low(std::move(lowLayer)) {}

TlibKvLow::~TlibKvLow() = default;

int TlibKvLow::controlOut(int request, int value, int index, const uint8_t* data, size_t len) {
  return low->controlMsg(FX2_REQTYPE_OUT, static_cast<uint8_t>(request), value, index, data, len,
                         FX2_CONTROL_TIMEOUT_MS);
}

int TlibKvLow::controlIn(int request, int value, int index, uint8_t* data, size_t len) {
  return low->controlMsg(FX2_REQTYPE_IN, static_cast<uint8_t>(request), value, index, data, len,
                         FX2_CONTROL_TIMEOUT_MS);
}

int TlibKvLow::blockIn(int endpoint, uint8_t* buf, size_t len, size_t& received) {
  return low->blockRead(endpoint, buf, len, received);
}

bool TlibKvLow::leds(int bits) { return controlOut(REQ_LEDS, bits, 0, nullptr, 0) >= 0; }

bool TlibKvLow::getString(std::string& out, int kind) {
  switch (kind) {
    case 1:
      out = "Capture probe access for the full-speed USB analyzer.";
      return true;
    case 2:
      out = __DATE__ "," __TIME__;
      return true;
    case 3:
      out = "TODO REAL SOON NOW";
      return true;
    default:
      out = "?";
      return false;
  }
}
