// Capture thread: opens and initialises the probe, watches it while idle and fills a raw buffer on request.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvlow.h"
#include "libkvlow.h"

/// Hardware status codes of TloThread::getHardwareStatus.
constexpr int HW_STATUS_OK = 0;           ///< probe opened and initialised
constexpr int HW_STATUS_NOT_FOUND = -1;   ///< probe not opened (also before the first initialisation)
constexpr int HW_STATUS_INIT_FAILED = -2; ///< probe opened, but an initialisation step failed
constexpr int HW_STATUS_NO_MEMORY = -5;   ///< the capture buffer could not be allocated

/// Which deliverable's behaviour a TloThread has; chosen at construction.
/// - desktop: setNeeded empties the raw buffer (before the next capture) and getRun/getStop are not used;
/// - library: setNeeded only sets the size, the buffer keeps earlier bytes beyond the capture count,
///   and getRun/getStop read the requests back.
enum class TloMode { desktop, library };

/// How the last capture ended.
enum class TcaptureEnd {
  complete,  ///< the buffer filled (also a capture that quit ended)
  stopped,   ///< a stop request ended it
  readError, ///< an endpoint read failed (the device is closed and initialised again)
  unplugged, ///< the probe left the bus during the capture
  noMemory,  ///< the buffer could not be allocated: nothing was captured
};

/// The waits of the capture thread and of the probe layer under it. The defaults are the
/// product's; tests pass shorter ones (the only reason this struct exists).
struct TloWaits {
  /// Sleep unit of the thread loop (one sleep per pass while the probe is open, four while not).
  std::chrono::milliseconds loopDelay{250};
  /// Every wait of the USB layer (failed open 500 ms, firmware restart 2000 ms, reopen attempts
  /// 200 ms, EEPROM write and refresh pauses) is divided by this; 1 in the product.
  unsigned usbWaitDivisor = 1;
  /// Bound of the FPGA configuration port's busy wait.
  unsigned busyTimeoutMs = WAIT_NOT_BUSY_TIMEOUT_MS;
};

/// The probe as the rest of the system sees it. From construction to destruction one capture
/// thread opens and initialises the probe, polls it while idle and, on request, fills the raw
/// buffer with a capture: CAPTURE_FRONT_PAD bytes that are dropped, then the capture stream.
///
/// Owner side (any one owner thread): the setters and getters below. The run, stop, done and
/// hardware-changed flags and the needed and captured counts are atomics (stores release, loads
/// acquire, exchanges sequentially consistent): the raw buffer is complete once consumeDone()
/// returned true, status and serial are current once consumeHardwareChanged() returned true.
/// Quit and the status are atomics too; the serial text is guarded by a mutex of its own, so
/// getSerial() never sees a half-written text.
///
/// Calling order of a capture: setNeeded(bytes); optionally setConnect; setRun(true) (taken up on
/// the first idle pass, so only after a successful initialisation); poll getCaptureCount() and
/// consumeDone() (setStop(true) ends the capture early); after done, decode the first
/// getCaptureCount() bytes of *pRawData() before the next setNeeded or setRun.
class TloThread {
public:
  /// Largest capture size that setNeeded keeps: a larger one would overflow the 32-bit buffer
  /// size once rounded and padded, and is clamped to this.
  static constexpr uint32_t MAX_NEEDED = 4294965247u;

  /// Builds the probe facade (libusb initialised) and starts the capture thread at once.
  /// waits: the product's by default; tests shorten them.
  explicit TloThread(TloMode mode = TloMode::desktop, const TloWaits& waits = TloWaits{});
  /// Sets quit and joins the capture thread: it ends after the pass in progress, whose waits
  /// (the probe's return after a firmware download, the FPGA update's busy waits, sleeps) end at
  /// once, and a running capture ends after its current endpoint read (at most one read timeout,
  /// 5 s). Then the facade (device closed, libusb released) and the buffer go.
  ~TloThread();
  TloThread(const TloThread&) = delete;
  TloThread& operator=(const TloThread&) = delete;

  TloMode getMode() const { return mode; }

  // ---- owner side ----
  /// Request: start a capture (run) / end the running one (stop). Each request is consumed by
  /// at most one capture; a stop made while idle ends the next capture before its first read.
  void setRun(bool value) { run.store(value, std::memory_order_release); }
  void setStop(bool value) { stop.store(value, std::memory_order_release); }
  /// The pending requests (library behaviour only; asserted).
  bool getRun() const;
  bool getStop() const;
  /// True once after each ended capture / each initialisation pass that changed the status.
  bool consumeDone() { return done.exchange(false); }
  bool consumeHardwareChanged() { return hardwareChanged.exchange(false); }
  /// Capture size wanted, in bytes (rounded down to a multiple of 1024 by the capture; values
  /// above MAX_NEEDED are clamped). Call only while no capture runs. Desktop behaviour: the
  /// capture count reads 0 afterwards and the buffer is emptied before the next capture starts,
  /// so bytes beyond the next capture count are zeros. Library behaviour: only the size is set;
  /// the buffer and the capture count stay (the next capture starts its count at 0), so bytes
  /// beyond a later capture count keep earlier bytes.
  void setNeeded(uint32_t n);
  /// Bytes captured so far in the current or last capture, front pad excluded.
  uint64_t getCaptureCount() const { return captureCount.load(std::memory_order_acquire); }
  /// How the last capture ended; current once consumeDone() returned true. The bytes captured
  /// before a read error or an unplug are kept like those of any other capture.
  TcaptureEnd getCaptureEnd() const { return captureEnd.load(std::memory_order_acquire); }
  /// One of the HW_STATUS_ codes.
  int getHardwareStatus() const { return hardwareStatus.load(std::memory_order_acquire); }
  /// The probe's serial text ("unavailable" while no probe is open).
  std::string getSerial() const;
  /// True once the capture thread has ended its first initialisation pass, probe found or not:
  /// until then status and serial are only their initial values. Raised after the pass's
  /// hardware-changed flag, so an owner that reads this before consuming that flag sees both.
  bool firstInitEnded() const { return firstInitDone.load(std::memory_order_acquire); }
  /// The raw buffer itself. Only its first getCaptureCount() bytes are capture data; read it only
  /// between consuming done and the next setNeeded or setRun.
  std::vector<uint8_t>* pRawData() { return &rawData; }
  /// Keeps the raw buffer as it is while the returned lock is held, for a decode that reads it
  /// while other threads of the owner may request the next capture: a run request then stays
  /// pending until the lock is released. Waits for a capture in progress to end.
  std::unique_lock<std::mutex> holdRawData() { return std::unique_lock(bufferLock); }
  /// Connects (true) or disconnects the probe's pass-through link between host and device: two
  /// writes of FPGA register 4 from the caller's thread, never interleaved with the capture
  /// thread's register sequences. Returns the second write's result; false at once while no probe
  /// is open, and false when the capture thread's sequence in progress did not end within one
  /// control transfer timeout.
  bool setConnect(bool on);

private:
  // ---- capture-thread side ----
  bool consumeRun() { return run.exchange(false); }
  bool consumeStop() { return stop.exchange(false); }
  uint32_t getNeeded() const { return needed.load(std::memory_order_acquire); }
  void setCaptureCount(uint64_t n) { captureCount.store(n, std::memory_order_release); }
  void setDone(bool value) { done.store(value, std::memory_order_release); }
  void setHardwareChanged() { hardwareChanged.store(true, std::memory_order_release); }
  bool quitting() const { return quit.load(std::memory_order_acquire); }
  void setStatus(int status) { hardwareStatus.store(status, std::memory_order_release); }
  void setSerial(const std::string& text);
  /// out := the zero-terminated text of vendor request 0xC0 or 0xC1 ("?" when it failed).
  bool getString(std::string& out, int request);
  bool doThreadInit();
  bool doThreadInitX();
  bool doThreadRun();
  void threadFunc();
  /// Sleeps `times` loop delays, each skipped once quit is set.
  void loopSleep(int times);

  enum State { STATE_INIT = 0, STATE_IDLE = 1, STATE_RUN = 2, STATE_DONE = 3 };

  std::vector<uint8_t> rawData;
  std::atomic<int> hardwareStatus{HW_STATUS_NOT_FOUND};
  std::atomic<bool> quit{false};
  int state = STATE_INIT; ///< touched by the capture thread only
  TlibKvLow probe;
  std::string serial = "unavailable";
  mutable std::mutex serialLock; ///< guards serial
  std::atomic<uint32_t> needed{8192};
  std::atomic<uint64_t> captureCount{0};
  std::atomic<bool> run{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> done{false};
  std::atomic<bool> hardwareChanged{false};
  std::atomic<bool> firstInitDone{false};
  std::atomic<TcaptureEnd> captureEnd{TcaptureEnd::complete};
  /// Held by the capture thread from taking a run request to the end of that capture (in
  /// captureHold), and by holdRawData's owner while it reads the buffer.
  std::mutex bufferLock;
  std::unique_lock<std::mutex> captureHold; ///< capture thread only
  /// Desktop behaviour: setNeeded asked for the buffer to be emptied; the capture thread does it
  /// before the next capture, where no read of the buffer can be running.
  std::atomic<bool> clearPending{false};
  /// Held by the capture thread around each of its probe requests or register sequences (not
  /// around endpoint reads, the firmware download or the FPGA update), and by setConnect.
  std::mutex sequenceLock;
  /// Failed FPGA updates in a row since the probe was last found; capture thread only.
  int fpgaUpdateFailures = 0;
  const TloMode mode;
  const TloWaits waits;
  std::thread* thread = nullptr;
};
