// USB traffic encoder (test tool): bus events to full-speed line states, a raw capture stream and
// the event rows a decoder must make of it.
#pragma once

/*
 * Three layers, each usable on its own:
 *
 *  1. Events (`Event`, made by the factory functions below): packets, bus resets, idle gaps and
 *     bare line glitches, each optionally carrying faults (`Faults`).
 *  2. `Bus`: appends events in time order. Each packet is built as bytes (PID byte, fields, CRC),
 *     bit-stuffed, NRZI-coded behind a sync KJKJKJKK and closed by the end-of-packet SE0 SE0 J,
 *     followed by its idle. Neighbouring line states of the same kind merge into one run; the runs
 *     are packed into the raw capture stream: the magic "KORVANE.", then symbol bytes (six J/K
 *     samples with top bits 00, or three samples of any state with top bits 01) whose latest
 *     sample is lengthened by count bytes to the full length of its run. Bytes are chosen greedily
 *     (six J/K samples where possible, three otherwise), which is how real probe streams look.
 *     Every run that the decoder measures (an SE0 run, the run after it and an SE1 run) lies within
 *     one symbol byte, so the decoder sees exactly the run lengths the bus was given.
 *     Alongside, for each event the bus records the row line the decoder must produce (`Expected`,
 *     written here from the bytes sent and the line-state timeline, not by the decoder's code).
 *  3. Scenarios on top of `Bus`: `Host` (frames with a SOF every FRAME_TICKS, control, bulk and
 *     interrupt transfers with NAKed retries), a whole enumeration of a HID device, random events
 *     and random traffic from a seed, and large captures for benchmarks.
 *
 * Times are ticks: one full-speed bit time (1/12 us), counted from 0 at the first sample.
 *
 * Example:
 *   usbenc::Bus bus;
 *   bus.add(usbenc::idle(100));
 *   bus.add(usbenc::in(5, 1));
 *   bus.add(usbenc::nak().withIdle(8000));
 *   const std::vector<uint8_t>& raw = bus.stream();   // decode this
 *   std::string rows = bus.expectedText();            // "0;K:9;TI:100;AD:5;EP:1;5P:0c;TL:4\n..."
 *
 * Not thread-safe; one Bus per thread.
 */

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace usbenc {

/// Line states, with the values of the raw capture stream.
enum class Line : uint8_t { SE0 = 0, K = 1, J = 2, SE1 = 3 };

/// One run of a line state.
struct Run {
  Line state;
  uint64_t ticks;
  bool operator==(const Run&) const = default;
};

/// 4-bit packet identifiers (the low nibble of the PID byte).
namespace pid {
constexpr int RESERVED = 0, OUT = 1, ACK = 2, DATA0 = 3, PING = 4, SOF = 5, NYET = 6, DATA2 = 7,
              SPLIT = 8, IN = 9, NAK = 10, DATA1 = 11, PRE = 12, SETUP = 13, STALL = 14, MDATA = 15;
}

/// Ticks per millisecond and per USB frame on a full-speed link.
constexpr uint64_t TICKS_PER_MS = 12000;
constexpr uint64_t FRAME_TICKS = 12000;
/// Longest run the stream format carries as one run (a little under 2^31 ticks, about 166 s).
/// Longer idle gaps are written as several runs; the decoder then sees the first one as the idle.
constexpr uint64_t MAX_RUN_TICKS = 2000000000;
/// Samples of a complete sync pattern (KJKJKJKK).
constexpr size_t SYNC_SAMPLES = 8;
/// The magic that opens every raw capture stream.
constexpr char MAGIC[] = "KORVANE.";

/// What the decoder is expected to make of a misplaced stuff bit.
enum class StuffFault : uint8_t {
  None,
  /// The first stuff bit of the packet is sent as 1 (the line keeps its level for seven bit
  /// times). The decoder drops the bit after six 1 bits whatever its value: the row is unchanged.
  BitIsOne,
  /// The first stuff bit is left out. The decoder then drops a data bit: the row is unknown.
  Omitted,
};

/// An SE1 run put in place of one line sample of a packet.
struct Se1Glitch {
  size_t sample = 0;  ///< index among the packet's line samples, counted from its first sync sample
  uint64_t ticks = 1;
};

/// Faults of one packet. What the decoder is expected to make of each:
/// - crcFlip: the CRC sent (CRC5 of a token/SOF, CRC-16 of a data packet) is XORed with it. Row
///   as usual with the CRC sent and the CRC verdict false. Not allowed on handshakes.
/// - pidCheck: the check nibble (upper half of the PID byte) sent instead of the complement of the
///   PID. The decoder ignores the check nibble: row as usual.
/// - syncLost: the first n of the eight sync samples are not sent. 0..2: the decoder still finds a
///   sync (KJKJKK), row as usual; a leading J (n = 1) joins the idle before it, so the previous
///   event's idle grows by one and this row starts one tick later. 3..6: no valid sync, no row.
///   7, 8: the PID's own samples take the sync's place; unknown.
/// - se1: one sample replaced by an SE1 run of any length. The decoder reads SE1 as one J bit
///   time: over a J sample the row is unchanged (later events shift by ticks - 1); over a K
///   sample it is unknown.
/// - cutAfter: only the first n line samples are sent and no end of packet; the line goes idle.
///   The decoder reads on through the idle and every following packet up to the next SE0 (the
///   next complete packet's end of packet or a reset) and makes at most one row of all that:
///   this event is unknown, the swallowed events make no row. With nothing but idle after it up to
///   the end of the stream: no row.
/// - truncateBits: only the first n bits of the packet (PID byte first, before stuffing) are sent,
///   then a normal end of packet. Row from the whole bytes sent (a partial last byte is dropped),
///   a missing field byte read as 0; fewer than 8 bits: no row.
/// - stuff: see StuffFault. Applies to the first stuff bit; a packet without one is sent intact.
struct Faults {
  uint16_t crcFlip = 0;
  int pidCheck = -1;  ///< -1: the correct check nibble
  int syncLost = 0;
  std::optional<Se1Glitch> se1;
  size_t cutAfter = 0;    ///< 0: not cut
  int truncateBits = -1;  ///< -1: not truncated
  StuffFault stuff = StuffFault::None;
};

enum class EventKind : uint8_t { Packet, Reset, Idle, Glitch };

/// One bus event. Build it with the factory functions below; the with... members return a
/// changed copy, so they chain: `data0(bytes).withBadCrc().withIdle(20)`.
struct Event {
  EventKind kind = EventKind::Idle;
  int pid = 0;                   ///< Packet: 4-bit PID
  uint16_t field = 0;            ///< token: address | endpoint << 7; SOF: frame number (11 bits)
  std::vector<uint8_t> payload;  ///< data packet: payload; raw packet: every byte after the PID
  bool raw = false;              ///< Packet: payload sent as is, no fields and no CRC added
  uint64_t ticks = 0;            ///< Reset: SE0 ticks; Idle: J ticks; Glitch: ticks of `line`
  Line line = Line::SE1;         ///< Glitch: its line state (SE0 or SE1)
  uint64_t idleAfter = 0;        ///< Packet, Reset: J ticks after the SE0 (0: the bus default)
  Faults faults;

  [[nodiscard]] Event withIdle(uint64_t ticksAfter) const;
  [[nodiscard]] Event withBadCrc(uint16_t mask = 1) const;
  [[nodiscard]] Event withPidCheck(int nibble) const;
  /// A check nibble that is not the complement of the PID (the PID nibble itself).
  [[nodiscard]] Event withBadPidCheck() const;
  [[nodiscard]] Event withSyncLost(int samples) const;
  [[nodiscard]] Event withSe1(size_t sample, uint64_t glitchTicks = 1) const;
  [[nodiscard]] Event withCutAfter(size_t samples) const;
  [[nodiscard]] Event withTruncatedBits(int bits) const;
  [[nodiscard]] Event withStuffFault(StuffFault f) const;
};

/// Packets. Addresses are 7 bits, endpoints 4 bits, frame numbers 11 bits (higher bits dropped).
Event sof(uint16_t frame);
/// A token with any PID (OUT, IN, SETUP, or PING for a special packet in token form).
Event token(int pid, uint8_t addr, uint8_t endp);
Event setup(uint8_t addr, uint8_t endp = 0);
Event in(uint8_t addr, uint8_t endp);
Event out(uint8_t addr, uint8_t endp);
/// A data packet (DATA0, DATA1, DATA2 or MDATA) with its CRC-16.
Event data(int pid, std::vector<uint8_t> payload);
Event data0(std::vector<uint8_t> payload = {});
Event data1(std::vector<uint8_t> payload = {});
Event handshake(int pid);
Event ack();
Event nak();
Event stall();
Event nyet();
/// A packet of the given PID byte (sent whole, check nibble included) and bytes, no CRC added.
/// Packets of the special PIDs (PING, SPLIT, ERR/PRE) and of the reserved PID 0 make no row.
Event rawPacket(uint8_t pidByte, std::vector<uint8_t> bytes = {});
/// A bus reset: SE0 for the given ticks (1 .. MAX_RUN_TICKS), then J for its idle.
Event reset(uint64_t ticks = 10 * TICKS_PER_MS);
/// J on the line; merges with the idle of the event before.
Event idle(uint64_t ticks);
/// A bare run of SE0 or SE1 between events (no idle added). A stray SE0 makes a reset row whose
/// idle is the run after it; if a packet follows it directly, that packet is unknown. A stray
/// SE1 makes no row (a packet before it gets the SE1's length as its idle).
Event glitch(Line state, uint64_t ticks = 1);

/// Bytes of a packet as sent, before stuffing: PID byte, fields or payload, CRC.
std::vector<uint8_t> packetBytes(const Event& packet);
/// The CRC5 of an 11-bit token or SOF field as the decoder reports it (5 bits as received,
/// first received in bit 0).
uint8_t tokenCrc5(uint16_t field11);

/// What the decoder makes of one event.
enum class Outcome : uint8_t {
  Row,    ///< exactly the row in `line`
  NoRow,  ///< no row
  Unknown ///< a row with unpredictable content, or none
};

struct Expected {
  Outcome outcome = Outcome::NoRow;
  std::string line;  ///< Outcome::Row: the row line at depth 0 with its "\n"
  size_t event = 0;  ///< index of the event (order of Bus::add)
};

struct BusConfig {
  /// Default J ticks after a packet's or reset's SE0 (the end-of-packet J included); at least 1.
  uint64_t interPacketIdle = 4;
  /// Record the expected rows (off for large captures).
  bool keepExpectations = true;
  /// Record the line-state runs (for tests of the encoder itself).
  bool keepRuns = false;
};

/// Builds one capture: line-state timeline, raw stream and expected rows.
class Bus {
 public:
  explicit Bus(BusConfig config = {});
  ~Bus();
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;

  /// Appends one event. Throws std::invalid_argument on an event that cannot be sent (a field
  /// out of range, a fault the packet has no place for) and std::logic_error after finish().
  Bus& add(const Event& e);
  Bus& add(const std::vector<Event>& events);

  /// Tick at which the next event starts.
  uint64_t now() const { return tick; }
  /// Ticks the event would take on the bus (its idle after included).
  uint64_t lengthOf(const Event& e) const;
  /// Stream bytes written so far (the magic included; a few runs may still be pending).
  size_t streamSize() const { return out.size(); }
  const BusConfig& config() const { return cfg; }

  /// Ends the capture. A stream always ends on at least 3 ticks of J (the probe stops on idle):
  /// a shorter final J run is lengthened, or one is added after a final SE0 or SE1.
  void finish();
  /// The raw capture stream (finishes the capture).
  const std::vector<uint8_t>& stream();
  /// Moves the stream out (finishes the capture; the bus is empty afterwards).
  std::vector<uint8_t> takeStream();
  /// One entry per packet, reset and SE0 glitch, in order (finishes the capture).
  const std::vector<Expected>& expected();
  /// The lines of every Outcome::Row entry, concatenated (finishes the capture).
  std::string expectedText();
  /// Number of Outcome::Row entries so far (counted also without keepExpectations).
  size_t expectedRows() const { return rowCount; }
  /// The line-state runs, neighbours of the same state merged (only with keepRuns; finishes).
  const std::vector<Run>& runs();

 private:
  // A row waiting for the lengths of its SE0 run (a reset's duration) and of the run after it.
  struct PendingRow {
    size_t exp = 0;
    bool reset = false;
    uint64_t se0Index = 0;
    uint64_t strt = 0;
    uint64_t duration = 0;
    std::vector<uint8_t> bytes;  // packet bytes as sent
  };
  void appendRun(Line s, uint64_t ticks);
  void closeRun();
  void pack(bool final);
  void packOne();
  void addPacket(const Event& e, size_t index);
  void addSe0(const Event& e, size_t index);
  void expectRow(size_t index, std::string line);
  void expectOther(size_t index, Outcome o);

  BusConfig cfg;
  uint64_t tick = 0;
  size_t events = 0;
  size_t rowCount = 0;
  bool finished = false;
  // The run still growing (neighbours of the same state merge into it), not yet packed.
  Line openState = Line::J;
  uint64_t openTicks = 0;  // 0: no run yet
  uint64_t openStart = 0;
  uint64_t openIndex = 0;  // index of the open run among all runs
  // Closed runs waiting for the packer, from pendHead on; pendUsed ticks of the first are written.
  std::vector<Run> pend;
  size_t pendHead = 0;
  uint64_t pendUsed = 0;
  std::vector<uint8_t> out;
  std::vector<Run> runList;
  std::vector<Expected> exp;
  std::vector<PendingRow> waiting;
  // Set by a cut packet: events make no row until one brings an SE0.
  bool swallowing = false;
  size_t swallowExp = SIZE_MAX;
};

/// The same as a Bus fed with the events: stream, expected rows and (with keepRuns) runs.
struct Capture {
  std::vector<uint8_t> stream;
  std::vector<Expected> expected;
  std::vector<Run> runs;
  std::string expectedText() const;
};
Capture encode(const std::vector<Event>& events, BusConfig config = {});

/// Compares decoded row lines (depth 0, each with its "\n") with the expectation: Row entries
/// must match in order, NoRow entries take no line, an Unknown entry takes one line unless the
/// next line is already the next expected row. Empty when they agree, else a message naming the
/// first difference (line number, expected and actual text).
std::string compareRows(const std::vector<Expected>& expected, const std::vector<std::string>& actual);

// ---------------------------------------------------------------------------------------------
// Scenarios

/// The eight bytes of a SETUP packet's data stage.
struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
  std::vector<uint8_t> bytes() const;
  bool deviceToHost() const { return (bmRequestType & 0x80) != 0; }
};

/// Standard requests.
SetupPacket getDescriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t langId = 0);
SetupPacket setAddress(uint8_t addr);
SetupPacket setConfiguration(uint8_t value);

struct HostConfig {
  bool sofs = true;                ///< send a SOF at the start of every frame
  uint16_t firstFrame = 1;         ///< frame number of the first SOF
  uint64_t transactionGap = 40;    ///< J ticks between transactions, on top of the packet idle
  uint64_t handshakeIdle = 4;      ///< J ticks after a token and a data packet (turnaround)
  /// A transaction must end this many ticks before the next SOF, else it waits for that SOF.
  uint64_t frameGuard = 200;
};

/// Options of one control transfer.
struct ControlOptions {
  uint8_t maxPacket = 8;     ///< endpoint 0 packet size
  unsigned dataNaks = 0;     ///< NAKs before each data-stage packet
  unsigned statusNaks = 0;   ///< NAKs before the status stage completes
  bool stallData = false;    ///< the device STALLs the data stage (or the status stage if none)
};

/// Host-side traffic on a Bus: frames with SOFs at fixed ticks (FRAME_TICKS apart, starting at
/// the bus's current tick), transactions fitted between them, data toggles kept per endpoint.
class Host {
 public:
  explicit Host(Bus& bus, HostConfig config = {});

  Bus& bus() { return b; }
  uint16_t frame() const { return frameNo; }

  /// Sends the packets of one transaction back to back (each with the handshake idle after it
  /// unless it carries its own idle), first waiting for the next frame when it would not end
  /// before the next SOF.
  void transaction(const std::vector<Event>& packets);
  /// Idles up to the start of the next frame and sends its SOF.
  void nextFrame();
  /// Idles through n frame starts.
  void waitFrames(unsigned n);
  /// A bus reset of the given ticks; frames (and data toggles) start again after it.
  void busReset(uint64_t ticks = 10 * TICKS_PER_MS);

  /// A control transfer on endpoint 0: SETUP stage, data stage (IN: the device's bytes, cut to
  /// wLength and split into maxPacket packets, a zero-length packet after a full last packet
  /// shorter than wLength; OUT: `data` sent by the host), status stage.
  void control(uint8_t addr, const SetupPacket& setup, const std::vector<uint8_t>& data = {},
               const ControlOptions& opt = {});
  /// Bulk OUT of `data` in maxPacket packets; `naks` NAKed attempts before each packet.
  void bulkOut(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& data, uint16_t maxPacket = 64,
               unsigned naks = 0);
  /// Bulk IN reading `data` (the device's bytes) in maxPacket packets; `naks` NAKed polls first.
  void bulkIn(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& data, uint16_t maxPacket = 64,
              unsigned naks = 0);
  /// One interrupt IN poll per frame: `naks` NAKed polls, then one that returns `report`.
  void interruptIn(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& report, unsigned naks = 0);

 private:
  int toggle(uint8_t addr, uint8_t endp, bool inDir);
  void fit(uint64_t ticks);

  Bus& b;
  HostConfig cfg;
  uint16_t frameNo;
  uint64_t nextSof;
  uint8_t toggles[128][16][2] = {};
};

/// Descriptors of the HID device of `enumerateHid` (a three-button mouse).
struct HidDevice {
  std::vector<uint8_t> device;          ///< 18 bytes, bMaxPacketSize0 8
  std::vector<uint8_t> configuration;   ///< configuration, interface, HID and endpoint descriptors
  std::vector<uint8_t> report;          ///< HID report descriptor
  std::vector<std::vector<uint8_t>> strings;  ///< string descriptors 0 (language), 1, 2
};
HidDevice hidMouse();

/// The whole enumeration of a full-speed HID device by a host: bus reset, GET_DESCRIPTOR device
/// (64) at address 0, SET_ADDRESS, GET_DESCRIPTOR device, configuration (9, then all), strings
/// 0, 2 and 1, SET_CONFIGURATION 1, GET_DESCRIPTOR HID report, then interrupt IN polls on
/// endpoint 1 (NAKed, then a report). `naks` adds NAKed retries to data and status stages.
void enumerateHid(Host& host, uint8_t addr = 5, unsigned naks = 1);

/// Options of randomEvents.
struct RandomOptions {
  size_t maxPayload = 1023;
  uint64_t maxIdle = 3 * 12 * 1000 * 1000;  ///< longest idle gap (3 s)
  bool resets = true;
  /// Fraction (0..1) of packets given a fault whose row is predictable (bad CRC, bad PID check,
  /// sync lost 0..6, SE1 over a J sample, stuff bit sent as 1, truncation).
  double faultRate = 0;
  /// Also give unpredictable faults (cut packets, omitted stuff bits, SE1 over a K sample).
  bool unpredictable = false;
  /// Also send PING, SPLIT, PRE and reserved-PID packets (no rows) and stray SE0/SE1 runs.
  bool oddPackets = false;
};

/// `count` random events from `seed` (same seed, same events, on every platform): every PID the
/// decoder makes rows for, payloads of 0..maxPayload bytes, idle gaps from 1 tick to maxIdle,
/// resets; not a protocol-correct conversation.
std::vector<Event> randomEvents(uint64_t seed, size_t count, const RandomOptions& opt = {});

/// Protocol-correct random traffic for `frames` frames from `seed`: enumerations, bulk transfers
/// in both directions, interrupt polls, NAKs, occasional resets.
void randomTraffic(Host& host, uint64_t seed, uint64_t frames);

/// A raw capture stream of at least `minBytes` bytes of busy random traffic (benchmarks).
std::vector<uint8_t> largeCapture(size_t minBytes, uint64_t seed = 1);

}  // namespace usbenc
