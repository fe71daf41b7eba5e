// Capture thread: opens and initialises the probe, watches it while idle and fills a raw buffer on request.
#include "kvlothrd.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "kvmemory.h"

namespace {

/// Sleep unit of the thread loop.
constexpr std::chrono::milliseconds THREAD_LOOP_DELAY{250};
/// Bytes read at the start of every capture and then dropped: what the probe's FIFO held.
constexpr uint32_t CAPTURE_FRONT_PAD = 2048;
/// Largest single endpoint read.
constexpr uint32_t CHUNK_SIZE = 102400;
/// A capture is a whole number of these.
constexpr uint32_t CAPTURE_GRANULE = 1024;
/// Loop delays slept per pass while the probe is not open (once while it is).
constexpr int SLEEPS_WHILE_CLOSED = 4;
/// Data stage of the identification requests, and room for their terminating zero.
constexpr size_t ID_TEXT_LENGTH = 64;
/// Length of the text of FPGA register block 1.
constexpr size_t FPGA_ID_LENGTH = 16;
/// Failed FPGA updates in a row after which no more are tried (each erases the configuration
/// flash) until the probe has left the bus.
constexpr int MAX_FPGA_UPDATE_FAILURES = 3;
/// Values of register 4: the link switch (then CONTROL_APPLY) and the capture start.
constexpr int CONTROL_CONNECT = 0x24;
constexpr int CONTROL_DISCONNECT = 0x20;
constexpr int CONTROL_APPLY = 1;
constexpr int CONTROL_START = 2;
/// How long setConnect waits for a register sequence of the capture thread to end.
constexpr std::chrono::milliseconds CONNECT_WAIT{FX2_CONTROL_TIMEOUT_MS};
constexpr std::chrono::milliseconds CONNECT_RETRY{1};
const char* const NO_SERIAL = "unavailable";

static_assert(TloWaits{}.loopDelay == THREAD_LOOP_DELAY, "the product's loop delay is the default");
static_assert((TloThread::MAX_NEEDED / CAPTURE_GRANULE) * CAPTURE_GRANULE + CAPTURE_FRONT_PAD >
                  TloThread::MAX_NEEDED,
              "the largest capture plus its pad fits in 32 bits");
static_assert(uint64_t{TloThread::MAX_NEEDED} + 1 + CAPTURE_FRONT_PAD > UINT32_MAX,
              "one more byte wanted would overflow 32 bits once padded");

/// Slice of the probe layer's sleeps after which the quit request is looked at again.
constexpr std::chrono::milliseconds QUIT_CHECK_SLICE{10};

/// The probe layer with the waits of a TloWaits, given up as soon as the capture thread's quit
/// request is set: a probe that never comes back on the bus, or a configuration port that stays
/// busy, then holds the destructor no longer than the transfer in progress.
class TwaitingLow final : public TkvLow {
public:
  TwaitingLow(unsigned waitDivisor, const std::atomic<bool>& quitFlag)
      : divisor(std::max(1u, waitDivisor)), quit(quitFlag) {}
  bool cancelled() const override { return quit.load(std::memory_order_acquire); }
  void milliSleep(unsigned ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms / divisor);
    for (auto now = std::chrono::steady_clock::now(); now < end && !cancelled();
         now = std::chrono::steady_clock::now())
      std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(end - now, QUIT_CHECK_SLICE));
  }

private:
  const unsigned divisor;
  const std::atomic<bool>& quit;
};

std::unique_ptr<TkvLow> makeLow(const TloWaits& waits, const std::atomic<bool>& quit) {
  auto low = std::make_unique<TwaitingLow>(waits.usbWaitDivisor, quit);
  low->setBusyTimeoutMs(waits.busyTimeoutMs);
  return low;
}

}  // namespace

TloThread::TloThread(TloMode m, const TloWaits& w) : probe(makeLow(w, quit)), mode(m), waits(w) {
  try {
    thread = new std::thread(&TloThread::threadFunc, this);
  } catch (const std::exception&) {
    // No thread: the probe is never opened and the status stays "not found".
    thread = nullptr;
  }
}

TloThread::~TloThread() {
  quit.store(true, std::memory_order_release);
  if (thread != nullptr) {
    thread->join();
    delete thread;
  }
}

bool TloThread::getRun() const {
  assert(mode == TloMode::library);
  return run.load(std::memory_order_acquire);
}

bool TloThread::getStop() const {
  assert(mode == TloMode::library);
  return stop.load(std::memory_order_acquire);
}

void TloThread::setNeeded(uint32_t n) {
  // The buffer may still be written by a capture the owner no longer follows (a run request left
  // pending across a hardware change): the capture thread empties it before the next capture.
  // The library behaviour keeps the count with the buffer: a client may decode the last capture
  // again after choosing the next size.
  if (mode == TloMode::desktop) {
    clearPending.store(true, std::memory_order_release);
    setCaptureCount(0);
  }
  needed.store(std::min(n, MAX_NEEDED), std::memory_order_release);
}

std::string TloThread::getSerial() const {
  std::lock_guard lock(serialLock);
  return serial;
}

void TloThread::setSerial(const std::string& text) {
  std::lock_guard lock(serialLock);
  serial = text;
}

bool TloThread::setConnect(bool on) {
  if (!probe.isOpen())
    return false;
  // The two writes must not land inside one of the capture thread's register sequences (a
  // register selection followed by its read, an FPGA reset, the capture start), nor one of those
  // between them.
  // A plain mutex tried in short steps: the thread's sequences are short, and the timed lock of
  // the standard library is not understood by the thread sanitizer of this toolchain.
  const auto deadline = std::chrono::steady_clock::now() + CONNECT_WAIT;
  while (!sequenceLock.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(CONNECT_RETRY);
  }
  std::lock_guard lock(sequenceLock, std::adopt_lock);
  probe.wrFpgaReg(REG_CONTROL, on ? CONTROL_CONNECT : CONTROL_DISCONNECT);
  return probe.wrFpgaReg(REG_CONTROL, CONTROL_APPLY);
}

bool TloThread::getString(std::string& out, int request) {
  out = "?";
  char text[ID_TEXT_LENGTH + 1] = {};
  const bool ok =
      probe.controlIn(request, 0, 0, reinterpret_cast<uint8_t*>(text), ID_TEXT_LENGTH) >= 0;
  if (ok)
    out = text;
  return ok;
}

void TloThread::loopSleep(int times) {
  for (int i = 0; i < times; ++i) {
    if (quitting())
      return;
    std::this_thread::sleep_for(waits.loopDelay);
  }
}

void TloThread::threadFunc() {
  while (!quitting()) {
    // The thread entry stops every exception; a pass that threw is simply over.
    try {
      switch (state) {
        case STATE_INIT:
          if (doThreadInit())
            state = STATE_IDLE;
          break;
        case STATE_IDLE: {
          // A device closed by a read error is initialised again before a pending run starts a
          // capture on it.
          if (!probe.isOpen()) {
            state = STATE_INIT;
            break;
          }
          // A run request waits while the owner holds the buffer for a decode: the capture
          // resizes it.
          if (std::unique_lock hold(bufferLock, std::try_to_lock); hold.owns_lock() && consumeRun()) {
            captureHold = std::move(hold);
            state = STATE_RUN;
            break;
          }
          std::string text;
          bool alive = false;
          {
            std::lock_guard lock(sequenceLock);
            alive = getString(text, REQ_ID_TEXT_2);
          }
          if (!alive || !probe.isOpen())
            state = STATE_INIT;
          break;
        }
        case STATE_RUN:
          doThreadRun();
          state = STATE_DONE;
          break;
        case STATE_DONE:
          setDone(true);
          state = STATE_IDLE;
          break;
      }
    } catch (...) {
      if (state == STATE_RUN)
        state = STATE_DONE;
    }
    if (state != STATE_RUN && captureHold.owns_lock())
      captureHold.unlock();
    loopSleep(probe.isOpen() ? 1 : SLEEPS_WHILE_CLOSED);
  }
  if (captureHold.owns_lock())
    captureHold.unlock();
}

bool TloThread::doThreadInit() {
  const int before = getHardwareStatus();
  const bool ok = doThreadInitX();
  if (getHardwareStatus() != before)
    setHardwareChanged();
  firstInitDone.store(true, std::memory_order_release);
  return ok;
}

bool TloThread::doThreadInitX() {
  // A handle of an earlier pass still holds interface 0, and Linux refuses to set the
  // configuration while it does: it goes before the probe is opened again.
  probe.close();
  if (!probe.snifferOpen()) {
    setSerial(NO_SERIAL);
    setStatus(HW_STATUS_NOT_FOUND);
    fpgaUpdateFailures = 0;
    return false;
  }

  std::string text;
  bool ok = false;
  {
    std::lock_guard lock(sequenceLock);
    ok = getString(text, REQ_ID_TEXT_1);
  }
  if (ok) {
    std::lock_guard lock(sequenceLock);
    ok = getString(text, REQ_ID_TEXT_2);
  }
  uint8_t page[SPD_SERIAL_PAGE_SIZE] = {};
  if (ok) {
    std::lock_guard lock(sequenceLock);
    ok = probe.eeRd(EEPROM_DEVICE, SERIAL_OFFSET, page, sizeof page);
  }
  const char* chars = reinterpret_cast<const char*>(page);
  setSerial(std::string(chars, strnlen(chars, sizeof page)));
  if (ok) {
    if (fpgaUpdateFailures >= MAX_FPGA_UPDATE_FAILURES) {
      ok = false;
    } else {
      ok = probe.updateFPGA(false);
      fpgaUpdateFailures = ok ? 0 : fpgaUpdateFailures + 1;
    }
  }
  if (ok) {
    std::lock_guard lock(sequenceLock);
    uint8_t id[FPGA_ID_LENGTH + 1] = {};
    ok = probe.wrFpgaRegIx(REG_ID_BLOCK) && probe.rdFpga(id, FPGA_ID_LENGTH);
  }
  {
    std::lock_guard lock(sequenceLock);
    probe.resetFPGA();
  }
  setStatus(ok ? HW_STATUS_OK : HW_STATUS_INIT_FAILED);
  return ok;
}

bool TloThread::doThreadRun() {
  const uint32_t wanted = std::min(getNeeded(), MAX_NEEDED);
  const uint32_t total = wanted / CAPTURE_GRANULE * CAPTURE_GRANULE + CAPTURE_FRONT_PAD;
  setCaptureCount(0);
  // Until the buffer is in place, the capture counts as one that found no memory.
  captureEnd.store(TcaptureEnd::noMemory, std::memory_order_release);
  try {
    if (clearPending.exchange(false))
      rawData.clear();
    // Filling the buffer touches every page of it, so an allocation that the kernel grants
    // beyond the memory it has would end the process instead of failing: a buffer that does not
    // fit into what the system can give is refused first, as a failed allocation. A larger
    // buffer is allocated whole, at exactly its size, beside the old one.
    if (total > rawData.capacity() && !utils::memoryFits(total))
      throw std::bad_alloc();
    rawData.reserve(total);
    rawData.resize(total);
  } catch (const std::bad_alloc&) {
    setStatus(HW_STATUS_NO_MEMORY);
    return false;
  }

  {
    std::lock_guard lock(sequenceLock);
    probe.clearSnifferFIFO();
    probe.resetFPGA();
    probe.wrFpgaReg(REG_CONTROL, CONTROL_START);
  }

  // Quit is honoured between reads, so destruction waits for one read at most. A stop request
  // is consumed only while the buffer is not yet full.
  TcaptureEnd end = TcaptureEnd::complete;
  uint64_t received = 0;
  while (received < total && !quitting()) {
    if (consumeStop()) {
      end = TcaptureEnd::stopped;
      break;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(CHUNK_SIZE, total - received));
    size_t got = 0;
    const int rc = probe.blockIn(FX2_CAPTURE_ENDPOINT, rawData.data() + received, n, got);
    if (rc < 0) {
      end = rc == LIBUSB_ERROR_NO_DEVICE ? TcaptureEnd::unplugged : TcaptureEnd::readError;
      break;
    }
    received += std::min(got, n);
    setCaptureCount(received > CAPTURE_FRONT_PAD ? received - CAPTURE_FRONT_PAD : 0);
  }
  // Also after a read error or an unplug: the bytes that did arrive are kept, without the pad
  // in front.
  rawData.erase(rawData.begin(), rawData.begin() + CAPTURE_FRONT_PAD);
  captureEnd.store(end, std::memory_order_release);
  return end == TcaptureEnd::complete || end == TcaptureEnd::stopped;
}
