// Probe simulator: capture streaming on endpoint 0x86 (front pad, raw capture stream, idle bus) with its faults.
//
// Scenario keys of a [probe] (README.md lists them with examples):
//   capture_file = path          raw capture stream served after the pad (magic and symbol bytes)
//   capture_traffic = name       stream made by the traffic encoder: enumerateHid, saturatedBus,
//                                idleBus, enumerationMix, randomTraffic
//   capture_traffic_bytes = N    least stream size of the generated workloads (default 65536)
//   capture_seed = N             seed of the generated traffic (default 1)
//   capture_pad_bytes = N        front-pad bytes before the stream (default 2048)
//   capture_rate = N             bytes per second (default 0: every read gets its length at once)
//   capture_silent_after = N     no data after N bytes (pad included): reads wait out their timeout
//   capture_fail = ERROR[*N]     a read fails with ERROR once capture_fail_after bytes were served
//   capture_fail_after = N       (default 0)
#include "probesim.h"
#include "probesim_internal.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "usbenc.h"
#include "workloads.h"

namespace {

using probesim::Device;
using probesim::Event;

constexpr uint8_t CAPTURE_ENDPOINT = 0x86;
constexpr long DEFAULT_PAD_BYTES = 2048;
constexpr long DEFAULT_TRAFFIC_BYTES = 65536;
/// What the FIFO holds before the stream: recognisable, and not a stream magic.
constexpr uint8_t PAD_BYTE = 0xA5;
/// Six J samples: the bus idles once the stream's bytes have run out.
constexpr uint8_t IDLE_BYTE = 0x3F;
/// A read with timeout 0 (libusb: no timeout) waits at most this long for data that never comes.
constexpr unsigned UNLIMITED_WAIT_MS = 60000;
/// Frames of randomTraffic per 1000 bytes wanted (roughly; the stream is cut to size).
constexpr uint64_t RANDOM_FRAMES = 200;

using Clock = std::chrono::steady_clock;

struct CaptureState : probesim::DeviceExtension {
  bool loaded = false;
  std::string source = "-";   ///< what the stream is: file path, traffic name or "-"
  std::vector<uint8_t> stream; ///< magic and symbol bytes

  bool active = false;
  unsigned generation = 0;     ///< increases with every start and end
  uint64_t served = 0;         ///< bytes served since the start, pad included
  Clock::time_point start;
};

std::string devText(const Device& d) { return "dev=" + std::to_string(d.id); }

std::vector<uint8_t> generated(const std::string& name, size_t bytes, uint64_t seed, std::string& err) {
  if (name == "saturatedBus") return usbenc::saturatedBus(bytes, seed);
  if (name == "idleBus") return usbenc::idleBus(bytes, seed);
  if (name == "enumerationMix") return usbenc::enumerationMix(bytes, seed);
  if (name == "enumerateHid" || name == "randomTraffic") {
    usbenc::Bus bus(usbenc::BusConfig{4, false, false});
    usbenc::Host host(bus);
    if (name == "enumerateHid")
      usbenc::enumerateHid(host);
    else
      usbenc::randomTraffic(host, seed, RANDOM_FRAMES * (bytes / 1000 + 1));
    return bus.takeStream();
  }
  err = "unknown capture_traffic '" + name + "'";
  return {};
}

/// Loads or makes the stream on the first capture start; a bad key leaves the magic alone.
void loadStream(Device& d, CaptureState& c) {
  c.loaded = true;
  std::string err;
  const std::string file = d.option("capture_file");
  const std::string traffic = d.option("capture_traffic");
  try {
    if (!file.empty()) {
      c.source = file;
      std::ifstream in(file, std::ios::binary);
      c.stream.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      if (!in.good() && !in.eof()) err = "cannot read capture_file " + file;
    } else if (!traffic.empty()) {
      c.source = traffic;
      c.stream = generated(traffic, static_cast<size_t>(std::max(0L, d.optionInt("capture_traffic_bytes",
                                                                                 DEFAULT_TRAFFIC_BYTES))),
                           static_cast<uint64_t>(d.optionInt("capture_seed", 1)), err);
    }
  } catch (const std::exception& e) {
    err = std::string("capture stream: ") + e.what();
  }
  if (!err.empty()) {
    probesim::logLine("capture error " + devText(d) + " " + err);
    c.stream.clear();
  }
  if (c.stream.empty()) c.stream.assign(usbenc::MAGIC, usbenc::MAGIC + sizeof usbenc::MAGIC - 1);
}

void endCapture(Device& d, CaptureState& c, const char* reason) {
  if (!c.active) return;
  c.active = false;
  ++c.generation;
  probesim::logLine("capture end " + devText(d) + " reason=" + reason + " served=" + std::to_string(c.served));
}

void onEvent(Device& d, Event e) {
  if (!d.isProbe) return;
  CaptureState& c = d.extension<CaptureState>("capture");
  switch (e) {
    case Event::CaptureStarted: {
      endCapture(d, c, "restart");
      if (!c.loaded) loadStream(d, c);
      c.active = true;
      ++c.generation;
      c.served = 0;
      c.start = Clock::now();
      const long pad = d.optionInt("capture_pad_bytes", DEFAULT_PAD_BYTES);
      probesim::logLine("capture start " + devText(d) + " source=" + c.source + " pad=" + std::to_string(pad) +
                        " stream=" + std::to_string(c.stream.size()));
      break;
    }
    case Event::FifoCleared: endCapture(d, c, "fifo_clear"); break;
    case Event::FpgaReset: endCapture(d, c, "fpga_reset"); break;
    case Event::Unplugged: endCapture(d, c, "unplug"); break;
    case Event::ResetHeld: endCapture(d, c, "fx2_reset"); break;
    case Event::LeftForReenumeration: endCapture(d, c, "reenumeration"); break;
    default: break;
  }
}

/// The byte at offset of what the endpoint serves: pad, stream, then idle.
void fill(const Device& d, const CaptureState& c, uint64_t offset, unsigned char* out, size_t n) {
  const uint64_t pad = static_cast<uint64_t>(std::max(0L, d.optionInt("capture_pad_bytes", DEFAULT_PAD_BYTES)));
  for (size_t i = 0; i < n; ++i, ++offset) {
    if (offset < pad)
      out[i] = PAD_BYTE;
    else if (offset - pad < c.stream.size())
      out[i] = c.stream[static_cast<size_t>(offset - pad)];
    else
      out[i] = IDLE_BYTE;
  }
}

/// Bytes the device has produced by time t (rate 0: unlimited).
uint64_t producedBy(const CaptureState& c, long rate, Clock::time_point t) {
  if (rate <= 0) return UINT64_MAX;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - c.start).count();
  return static_cast<uint64_t>(std::max<long long>(0, us)) * static_cast<uint64_t>(rate) / 1000000;
}

int serve(Device& d, const probesim::InterruptRequest& req, unsigned char* buf, int* transferred) {
  *transferred = 0;
  if (req.endpoint != CAPTURE_ENDPOINT || !d.isProbe) return probesim::UNHANDLED;
  std::unique_lock lock(probesim::stateMutex());
  CaptureState& c = d.extension<CaptureState>("capture");
  if (!c.active) return probesim::UNHANDLED;  // no capture running: the read times out empty
  const unsigned generation = c.generation;
  const auto deadline = Clock::now() + std::chrono::milliseconds(req.timeoutMs > 0 ? req.timeoutMs : UNLIMITED_WAIT_MS);
  const uint64_t length = static_cast<uint64_t>(std::max(0, req.length));
  const long rate = d.optionInt("capture_rate", 0);

  // Where the data ends for now: a fault point or the point after which the device falls silent.
  uint64_t limit = UINT64_MAX;
  bool failAtLimit = false;
  if (d.options.count("capture_fail") != 0) {
    limit = static_cast<uint64_t>(std::max(0L, d.optionInt("capture_fail_after", 0)));
    failAtLimit = true;
  }
  if (d.options.count("capture_silent_after") != 0) {
    const uint64_t silent = static_cast<uint64_t>(std::max(0L, d.optionInt("capture_silent_after", 0)));
    if (silent < limit) {
      limit = silent;
      failAtLimit = false;
    }
  }
  if (failAtLimit && c.served >= limit) {
    const int error = d.fault("capture_fail");
    if (error != 0) {
      probesim::logLine("capture fail " + devText(d) + " served=" + std::to_string(c.served) +
                        " result=" + probesim::detail::errorText(error));
      endCapture(d, c, "read_error");
      return error;
    }
    limit = UINT64_MAX;  // the fault was used up: data goes on
  }

  // The read completes when `length` bytes are there, or early (a short packet) where the data
  // ends for now; with nothing left to come it waits out its timeout.
  const uint64_t from = c.served;
  const uint64_t target = std::max(from, std::min(from + length, limit));
  Clock::time_point wake = target > from ? Clock::now() : deadline;
  if (rate > 0 && target > from) {
    const auto readyAt =
        c.start + std::chrono::microseconds(static_cast<long long>(target * 1000000 / static_cast<uint64_t>(rate)));
    wake = std::min(std::max(readyAt, Clock::now()), deadline);
  }
  if (wake > Clock::now()) {
    lock.unlock();
    std::this_thread::sleep_until(wake);
    lock.lock();
  }
  if (!d.present) return LIBUSB_ERROR_NO_DEVICE;
  if (c.generation != generation) return LIBUSB_ERROR_TIMEOUT;  // the capture ended meanwhile

  const uint64_t upTo = std::max(from, std::min(target, producedBy(c, rate, Clock::now())));
  const uint64_t n = upTo - from;
  fill(d, c, from, buf, static_cast<size_t>(n));
  if (n > 0)
    probesim::logLine("capture data " + devText(d) + " offset=" + std::to_string(from) + " bytes=" + std::to_string(n));
  c.served = upTo;
  *transferred = static_cast<int>(n);
  return target > from && upTo == target ? 0 : LIBUSB_ERROR_TIMEOUT;
}

const bool registered = probesim::setInterruptSource(&serve) && probesim::registerEventHook(&onEvent);

}  // namespace
