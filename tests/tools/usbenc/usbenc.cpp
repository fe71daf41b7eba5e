// USB traffic encoder: packets to line states, line states to the raw stream, expected rows.
#include "usbenc.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "crc.h"

namespace usbenc {

namespace {

// Packet class of each 4-bit PID, kept here apart from the decoder's own table.
enum class PidClass { Token, Data, Handshake, Sof, Special, Reserved };
constexpr PidClass PID_CLASS[16] = {
    PidClass::Reserved, PidClass::Token,   PidClass::Handshake, PidClass::Data,
    PidClass::Special,  PidClass::Sof,     PidClass::Handshake, PidClass::Data,
    PidClass::Special,  PidClass::Token,   PidClass::Handshake, PidClass::Data,
    PidClass::Special,  PidClass::Token,   PidClass::Handshake, PidClass::Data};

constexpr Line SYNC[8] = {Line::K, Line::J, Line::K, Line::J, Line::K, Line::J, Line::K, Line::K};
constexpr uint64_t EOP_SE0_TICKS = 2;
constexpr uint64_t FINAL_IDLE_MIN = 3;  // a 3-sample symbol byte must be able to hold the tail

void requireArg(bool ok, const char* what) {
  if (!ok) throw std::invalid_argument(std::string("usbenc: ") + what);
}

uint32_t reverseBits(uint32_t v, int n) {
  uint32_t r = 0;
  for (int i = 0; i < n; ++i) r |= ((v >> i) & 1u) << (n - 1 - i);
  return r;
}

bool tokenForm(int p) { return PID_CLASS[p] == PidClass::Token || p == pid::PING; }

// The packet on the line: bytes as sent, then sync and NRZI samples (no EOP).
struct Built {
  std::vector<uint8_t> bytes;  // whole bytes sent (a partial last byte of a truncation left out)
  std::vector<Line> samples;
  bool stuffFaultApplied = false;
};

Built build(const Event& e) {
  Built b;
  const Faults& f = e.faults;
  std::vector<uint8_t> full = packetBytes(e);
  size_t nbits = full.size() * 8;
  if (f.truncateBits >= 0) {
    requireArg(static_cast<size_t>(f.truncateBits) <= nbits, "truncateBits beyond the packet");
    nbits = static_cast<size_t>(f.truncateBits);
  }
  b.bytes.assign(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(nbits / 8));

  requireArg(f.syncLost >= 0 && f.syncLost <= 8, "syncLost must be 0..8");
  b.samples.assign(SYNC + f.syncLost, SYNC + SYNC_SAMPLES);
  b.samples.reserve(b.samples.size() + nbits + nbits / 6 + 1);

  // Stuffing: after six 1 bits a 0 is inserted; the counter starts after the sync.
  // NRZI: a 0 bit changes the level, a 1 keeps it; the level starts at the sync's last K.
  Line level = Line::K;
  int ones = 0;
  bool faultDone = f.stuff == StuffFault::None;
  auto sendBit = [&](int bit) {
    if (bit == 0) level = level == Line::K ? Line::J : Line::K;
    b.samples.push_back(level);
  };
  for (size_t i = 0; i < nbits; ++i) {
    int bit = (full[i / 8] >> (i % 8)) & 1;
    sendBit(bit);
    ones = bit ? ones + 1 : 0;
    if (ones == 6) {
      ones = 0;
      if (!faultDone) {
        faultDone = true;
        b.stuffFaultApplied = true;
        if (f.stuff == StuffFault::BitIsOne) sendBit(1);
        continue;  // Omitted: no stuff bit at all
      }
      sendBit(0);
    }
  }
  if (f.se1) requireArg(f.se1->sample < b.samples.size(), "SE1 glitch beyond the packet");
  if (f.se1) requireArg(f.se1->ticks >= 1 && f.se1->ticks <= MAX_RUN_TICKS, "SE1 glitch length");
  if (f.cutAfter) requireArg(f.cutAfter < b.samples.size(), "cutAfter beyond the packet");
  return b;
}

std::string hex(unsigned v, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*x", digits, v);
  return buf;
}

// The row line the decoder must write for a packet sent as `bytes`; empty when it makes no row.
std::string packetRow(const std::vector<uint8_t>& bytes, uint64_t strt, uint64_t idle) {
  if (bytes.empty()) return {};
  const int p = bytes[0] & 0x0F;
  const size_t n = bytes.size();
  const unsigned v = (n > 1 ? bytes[1] : 0u) | (n > 2 ? bytes[2] : 0u) << 8;
  const std::string ti = ";TI:" + std::to_string(strt);
  const std::string tl = ";TL:" + std::to_string(idle) + "\n";
  switch (PID_CLASS[p]) {
    case PidClass::Token: {
      unsigned c5 = (v >> 11) & 0x1F;
      bool ok = c5 == tokenCrc5(static_cast<uint16_t>(v & 0x7FF));
      return "0;K:" + std::to_string(p) + ti + ";AD:" + std::to_string(v & 0x7F) +
             ";EP:" + std::to_string((v >> 7) & 0x0F) + (ok ? ";5P:" : ";5F:") + hex(c5, 2) + tl;
    }
    case PidClass::Sof: {
      unsigned c5 = (v >> 11) & 0x1F;
      bool ok = c5 == tokenCrc5(static_cast<uint16_t>(v & 0x7FF));
      return "0;S:5" + ti + ";FR:" + std::to_string(v & 0x7FF) + (ok ? ";5P:" : ";5F:") +
             hex(c5, 2) + tl;
    }
    case PidClass::Data: {
      std::string da;
      unsigned c16 = 0;
      bool ok = true;
      if (n >= 3) {
        c16 = bytes[n - 2] | bytes[n - 1] << 8;
        ok = crc::makeCRC16(bytes.data() + 1, n - 3) == c16;
        for (size_t i = 1; i + 2 < n; ++i) {
          if (i > 1) da += ',';
          da += hex(bytes[i], 2);
        }
      }
      return "0;D:" + std::to_string(p) + ti + ";DA:" + da + (ok ? ";6P:" : ";6F:") +
             hex(c16, 4) + tl;
    }
    case PidClass::Handshake:
      return "0;H:" + std::to_string(p) + ti + tl;
    case PidClass::Special:
    case PidClass::Reserved:
      break;  // dropped without a row
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Events

Event Event::withIdle(uint64_t ticksAfter) const {
  Event e = *this;
  e.idleAfter = ticksAfter;
  return e;
}
Event Event::withBadCrc(uint16_t mask) const {
  Event e = *this;
  e.faults.crcFlip = mask;
  return e;
}
Event Event::withPidCheck(int nibble) const {
  Event e = *this;
  e.faults.pidCheck = nibble & 0x0F;
  return e;
}
Event Event::withBadPidCheck() const { return withPidCheck(pid); }
Event Event::withSyncLost(int samples) const {
  Event e = *this;
  e.faults.syncLost = samples;
  return e;
}
Event Event::withSe1(size_t sample, uint64_t glitchTicks) const {
  Event e = *this;
  e.faults.se1 = Se1Glitch{sample, glitchTicks};
  return e;
}
Event Event::withCutAfter(size_t samples) const {
  Event e = *this;
  e.faults.cutAfter = samples;
  return e;
}
Event Event::withTruncatedBits(int bits) const {
  Event e = *this;
  e.faults.truncateBits = bits;
  return e;
}
Event Event::withStuffFault(StuffFault f) const {
  Event e = *this;
  e.faults.stuff = f;
  return e;
}

static Event packet(int p) {
  Event e;
  e.kind = EventKind::Packet;
  e.pid = p & 0x0F;
  return e;
}

Event sof(uint16_t frame) {
  Event e = packet(pid::SOF);
  e.field = frame & 0x7FF;
  return e;
}
Event token(int p, uint8_t addr, uint8_t endp) {
  Event e = packet(p);
  e.field = static_cast<uint16_t>((addr & 0x7F) | (endp & 0x0F) << 7);
  return e;
}
Event setup(uint8_t addr, uint8_t endp) { return token(pid::SETUP, addr, endp); }
Event in(uint8_t addr, uint8_t endp) { return token(pid::IN, addr, endp); }
Event out(uint8_t addr, uint8_t endp) { return token(pid::OUT, addr, endp); }
Event data(int p, std::vector<uint8_t> payload) {
  Event e = packet(p);
  e.payload = std::move(payload);
  return e;
}
Event data0(std::vector<uint8_t> payload) { return data(pid::DATA0, std::move(payload)); }
Event data1(std::vector<uint8_t> payload) { return data(pid::DATA1, std::move(payload)); }
Event handshake(int p) { return packet(p); }
Event ack() { return packet(pid::ACK); }
Event nak() { return packet(pid::NAK); }
Event stall() { return packet(pid::STALL); }
Event nyet() { return packet(pid::NYET); }
Event rawPacket(uint8_t pidByte, std::vector<uint8_t> bytes) {
  Event e = packet(pidByte & 0x0F);
  e.raw = true;
  e.faults.pidCheck = pidByte >> 4;
  e.payload = std::move(bytes);
  return e;
}
Event reset(uint64_t ticks) {
  Event e;
  e.kind = EventKind::Reset;
  e.ticks = ticks;
  return e;
}
Event idle(uint64_t ticks) {
  Event e;
  e.kind = EventKind::Idle;
  e.ticks = ticks;
  return e;
}
Event glitch(Line state, uint64_t ticks) {
  Event e;
  e.kind = EventKind::Glitch;
  e.line = state;
  e.ticks = ticks;
  return e;
}

uint8_t tokenCrc5(uint16_t field11) {
  // makeCRC5 takes the field most significant bit first and returns the CRC likewise; on the
  // wire the field goes least significant bit first and the CRC most significant bit first.
  uint8_t c = crc::makeCRC5(static_cast<uint16_t>(reverseBits(field11 & 0x7FF, 11)), 11);
  return static_cast<uint8_t>(reverseBits(c, 5));
}

std::vector<uint8_t> packetBytes(const Event& e) {
  requireArg(e.kind == EventKind::Packet, "packetBytes of a non-packet");
  const int p = e.pid & 0x0F;
  const int check = e.faults.pidCheck >= 0 ? (e.faults.pidCheck & 0x0F) : (~p & 0x0F);
  std::vector<uint8_t> b{static_cast<uint8_t>(p | check << 4)};
  if (e.raw) {
    requireArg(e.faults.crcFlip == 0, "a raw packet has no CRC to spoil");
    b.insert(b.end(), e.payload.begin(), e.payload.end());
  } else if (tokenForm(p) || p == pid::SOF) {
    unsigned c5 = (tokenCrc5(e.field) ^ e.faults.crcFlip) & 0x1F;
    unsigned v = (e.field & 0x7FFu) | c5 << 11;
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
  } else if (PID_CLASS[p] == PidClass::Data) {
    unsigned c16 = crc::makeCRC16(e.payload.data(), e.payload.size()) ^ e.faults.crcFlip;
    b.insert(b.end(), e.payload.begin(), e.payload.end());
    b.push_back(static_cast<uint8_t>(c16 & 0xFF));
    b.push_back(static_cast<uint8_t>(c16 >> 8));
  } else {
    requireArg(PID_CLASS[p] == PidClass::Handshake, "this PID needs rawPacket");
    requireArg(e.faults.crcFlip == 0, "a handshake has no CRC to spoil");
  }
  return b;
}

// ---------------------------------------------------------------------------------------------
// Bus

Bus::Bus(BusConfig config) : cfg(config) {
  requireArg(cfg.interPacketIdle >= 1, "interPacketIdle must be at least 1");
  out.assign(MAGIC, MAGIC + 8);
}

Bus::~Bus() = default;

Bus& Bus::add(const std::vector<Event>& list) {
  for (const Event& e : list) add(e);
  return *this;
}

Bus& Bus::add(const Event& e) {
  if (finished) throw std::logic_error("usbenc: Bus::add after finish");
  const size_t index = events;
  switch (e.kind) {
    case EventKind::Packet:
      addPacket(e, index);
      break;
    case EventKind::Reset:
      requireArg(e.ticks >= 1 && e.ticks <= MAX_RUN_TICKS, "reset length must be 1..MAX_RUN_TICKS");
      addSe0(e, index);
      break;
    case EventKind::Idle:
      if (e.ticks) appendRun(Line::J, e.ticks);
      break;
    case EventKind::Glitch:
      requireArg(e.line == Line::SE0 || e.line == Line::SE1, "a glitch is SE0 or SE1");
      requireArg(e.ticks >= 1 && e.ticks <= MAX_RUN_TICKS, "glitch length must be 1..MAX_RUN_TICKS");
      if (e.line == Line::SE0)
        addSe0(e, index);
      else
        appendRun(Line::SE1, e.ticks);
      break;
  }
  ++events;
  return *this;
}

uint64_t Bus::lengthOf(const Event& e) const {
  const uint64_t after = e.idleAfter ? e.idleAfter : cfg.interPacketIdle;
  switch (e.kind) {
    case EventKind::Packet: {
      Built b = build(e);
      uint64_t n = e.faults.cutAfter ? e.faults.cutAfter : b.samples.size() + EOP_SE0_TICKS;
      if (e.faults.se1 && e.faults.se1->sample < n) n += e.faults.se1->ticks - 1;
      return n + after;
    }
    case EventKind::Reset:
      return e.ticks + after;
    case EventKind::Idle:
    case EventKind::Glitch:
      break;
  }
  return e.ticks;
}

void Bus::expectRow(size_t index, std::string line) {
  ++rowCount;
  if (cfg.keepExpectations) exp.push_back(Expected{Outcome::Row, std::move(line), index});
}

void Bus::expectOther(size_t index, Outcome o) {
  if (cfg.keepExpectations) exp.push_back(Expected{o, {}, index});
}

void Bus::addPacket(const Event& e, size_t index) {
  const Faults& f = e.faults;
  Built b = build(e);
  const uint64_t after = e.idleAfter ? e.idleAfter : cfg.interPacketIdle;
  const bool cut = f.cutAfter != 0;
  const bool startsOnK = b.samples[0] == Line::K;
  const bool afterSe0 = openTicks > 0 && openState == Line::SE0;

  // Decide the outcome before the line changes.
  Outcome o = Outcome::Row;
  if (swallowing) {
    o = Outcome::NoRow;  // inside the cut packet before it
  } else if (cut) {
    o = Outcome::Unknown;
  } else if (f.syncLost >= 7 || (afterSe0 && startsOnK)) {
    o = Outcome::Unknown;  // the PID's samples or a stray SE0 disturb the sync
  } else if (f.syncLost >= 3) {
    o = Outcome::NoRow;
  } else if ((f.se1 && b.samples[f.se1->sample] == Line::K) ||
             (b.stuffFaultApplied && f.stuff == StuffFault::Omitted)) {
    o = Outcome::Unknown;
  }

  // The line: samples, one of them maybe an SE1 run, then EOP and idle (or only idle when cut).
  const size_t n = cut ? f.cutAfter : b.samples.size();
  uint64_t strt = UINT64_MAX;
  for (size_t i = 0; i < n; ++i) {
    if (f.se1 && f.se1->sample == i) {
      appendRun(Line::SE1, f.se1->ticks);
      continue;
    }
    if (strt == UINT64_MAX && b.samples[i] == Line::K) strt = tick;
    appendRun(b.samples[i], 1);
  }
  if (cut) {
    appendRun(Line::J, after);
  } else {
    appendRun(Line::SE0, EOP_SE0_TICKS);
    const uint64_t se0 = openIndex;
    appendRun(Line::J, after);
    if (swallowing) {
      swallowing = false;  // this EOP ends the packet that swallowed it
    } else if (o == Outcome::Row) {
      const bool rowClass = !b.bytes.empty() && PID_CLASS[b.bytes[0] & 0x0F] != PidClass::Special &&
                            PID_CLASS[b.bytes[0] & 0x0F] != PidClass::Reserved;
      if (!rowClass) {
        o = Outcome::NoRow;
      } else if (cfg.keepExpectations) {
        ++rowCount;
        exp.push_back(Expected{Outcome::Row, {}, index});
        waiting.push_back(PendingRow{exp.size() - 1, false, se0, strt, 0, std::move(b.bytes)});
        return;
      } else {
        ++rowCount;
        return;
      }
    }
  }
  if (cut && !swallowing) {
    swallowing = true;
    swallowExp = cfg.keepExpectations ? exp.size() : SIZE_MAX;
  }
  expectOther(index, o);
}

void Bus::addSe0(const Event& e, size_t index) {
  const bool merges = openTicks > 0 && openState == Line::SE0;
  appendRun(Line::SE0, e.ticks);
  if (swallowing) {
    swallowing = false;  // the SE0 ends the cut packet; the run after it is that packet's idle
    expectOther(index, Outcome::NoRow);
  } else if (merges) {
    expectOther(index, Outcome::NoRow);  // one SE0 run with the one before: one row for both
  } else if (cfg.keepExpectations) {
    ++rowCount;
    exp.push_back(Expected{Outcome::Row, {}, index});
    // Registered before the idle closes the SE0 run, so that its length is seen.
    waiting.push_back(PendingRow{exp.size() - 1, true, openIndex, openStart, 0, {}});
  } else {
    ++rowCount;
  }
  if (e.kind == EventKind::Reset) appendRun(Line::J, e.idleAfter ? e.idleAfter : cfg.interPacketIdle);
}

void Bus::appendRun(Line s, uint64_t ticks) {
  if (ticks == 0) return;
  tick += ticks;
  if (openTicks > 0 && s == openState) {
    openTicks += ticks;
    return;
  }
  if (openTicks > 0) {
    closeRun();
    ++openIndex;
  }
  openState = s;
  openTicks = ticks;
  openStart = tick - ticks;
}

void Bus::closeRun() {
  pend.push_back(Run{openState, openTicks});
  if (cfg.keepRuns) runList.push_back(Run{openState, openTicks});
  for (size_t i = 0; i < waiting.size();) {
    PendingRow& w = waiting[i];
    if (w.se0Index == openIndex) w.duration = openTicks;
    if (w.se0Index + 1 != openIndex) {
      ++i;
      continue;
    }
    const uint64_t idleTicks = std::min(openTicks, MAX_RUN_TICKS);
    Expected& x = exp[w.exp];
    if (w.reset) {
      x.line = "0;Y:Reset;TI:" + std::to_string(w.strt) + ";RL:" + std::to_string(w.duration) +
               ";TL:" + std::to_string(idleTicks) + "\n";
    } else {
      x.line = packetRow(w.bytes, w.strt, idleTicks);
    }
    waiting.erase(waiting.begin() + static_cast<std::ptrdiff_t>(i));
  }
  pack(false);
}

// Writes symbol bytes while enough line samples are known: six, so that the choice between a
// 6-sample and a 3-sample byte never depends on runs still to come; every run handed to the
// packer is closed, so the latest sample of a byte can always take the whole rest of its run.
void Bus::pack(bool final) {
  for (;;) {
    uint64_t avail = 0;
    for (size_t i = pendHead; i < pend.size() && avail < 6; ++i)
      avail += pend[i].ticks - (i == pendHead ? pendUsed : 0);
    if (avail == 0 || (!final && avail < 6)) break;
    if (avail < 3) throw std::logic_error("usbenc: stream tail shorter than one symbol byte");
    packOne();
  }
  if (pendHead > 1024 && pendHead * 2 > pend.size()) {
    pend.erase(pend.begin(), pend.begin() + static_cast<std::ptrdiff_t>(pendHead));
    pendHead = 0;
  }
}

namespace {

// Count bytes for E extra ticks. One chain is a start byte 10xxxxxx (6 bits) and extension bytes
// 110xxxxx (5 bits each, the multiplier stepping by 64); a digit above 31 does not fit, so the
// rest goes into a further chain (chains add up). At most four extension bytes keep the
// reader's multiplier within 2^30; every chain takes at least one unit off E, so this ends.
void appendCount(std::vector<uint8_t>& out, uint64_t e) {
  while (e > 0) {
    uint64_t chain = e & 0x3F;
    out.push_back(static_cast<uint8_t>(0x80 | chain));
    uint64_t rest = e >> 6;
    uint64_t mult = 64;
    for (int i = 0; i < 4 && rest > 0; ++i) {
      // The last extension byte takes what it can of everything above it.
      const uint64_t d = std::min<uint64_t>(i == 3 ? rest : rest & 0x3F, 31);
      out.push_back(static_cast<uint8_t>(0xC0 | d));
      chain += d * mult;
      rest >>= 6;
      mult <<= 6;
    }
    e -= chain;
  }
}

}  // namespace

void Bus::packOne() {
  // Look at the next six samples (or fewer at the end).
  Line s[6];
  size_t runOf[6];
  int n = 0;
  {
    size_t i = pendHead;
    uint64_t used = pendUsed;
    while (n < 6 && i < pend.size()) {
      s[n] = pend[i].state;
      runOf[n] = i;
      ++n;
      if (++used == pend[i].ticks) {
        ++i;
        used = 0;
      }
    }
  }
  bool oneBit = n == 6;
  for (int k = 0; k < n && oneBit; ++k) oneBit = s[k] == Line::J || s[k] == Line::K;
  const int take = oneBit ? 6 : 3;

  uint8_t byte;
  if (oneBit) {
    byte = 0;
    for (int k = 0; k < 6; ++k)
      if (s[k] == Line::J) byte |= static_cast<uint8_t>(1u << (5 - k));
  } else {
    byte = 0x40 | static_cast<uint8_t>(s[0]) << 4 | static_cast<uint8_t>(s[1]) << 2 |
           static_cast<uint8_t>(s[2]);
  }

  // Consume the samples; the last one's run is taken whole (up to MAX_RUN_TICKS in this byte).
  const size_t last = runOf[take - 1];
  uint64_t inByte = 0;
  for (int k = 0; k < take; ++k)
    if (runOf[k] == last) ++inByte;
  uint64_t startUsed = last == pendHead ? pendUsed : 0;
  uint64_t rest = pend[last].ticks - startUsed - inByte;
  uint64_t e = std::min(rest, MAX_RUN_TICKS - inByte);
  out.push_back(byte);
  appendCount(out, e);
  pendHead = last;
  pendUsed = startUsed + inByte + e;
  if (pendUsed == pend[last].ticks) {
    ++pendHead;
    pendUsed = 0;
  }
}

void Bus::finish() {
  if (finished) return;
  finished = true;
  if (openTicks > 0 && openState == Line::J) {
    if (openTicks < FINAL_IDLE_MIN) {
      tick += FINAL_IDLE_MIN - openTicks;
      openTicks = FINAL_IDLE_MIN;
    }
  } else {
    appendRun(Line::J, FINAL_IDLE_MIN);
  }
  closeRun();
  ++openIndex;
  openTicks = 0;
  pack(true);
  // A row whose SE0 has no run after it: the decoder loses it at the end of the stream.
  for (const PendingRow& w : waiting) {
    exp[w.exp].outcome = Outcome::NoRow;
    --rowCount;
  }
  waiting.clear();
  // A cut packet with only idle after it up to the end: no row.
  if (swallowing && swallowExp < exp.size()) exp[swallowExp].outcome = Outcome::NoRow;
}

const std::vector<uint8_t>& Bus::stream() {
  finish();
  return out;
}

std::vector<uint8_t> Bus::takeStream() {
  finish();
  return std::move(out);
}

const std::vector<Expected>& Bus::expected() {
  finish();
  return exp;
}

std::string Bus::expectedText() {
  finish();
  std::string s;
  for (const Expected& x : exp)
    if (x.outcome == Outcome::Row) s += x.line;
  return s;
}

const std::vector<Run>& Bus::runs() {
  finish();
  return runList;
}

std::string Capture::expectedText() const {
  std::string s;
  for (const Expected& x : expected)
    if (x.outcome == Outcome::Row) s += x.line;
  return s;
}

Capture encode(const std::vector<Event>& events, BusConfig config) {
  Bus bus(config);
  bus.add(events);
  Capture c;
  c.expected = bus.expected();
  c.runs = bus.runs();
  c.stream = bus.takeStream();
  return c;
}

std::string compareRows(const std::vector<Expected>& expected, const std::vector<std::string>& actual) {
  size_t j = 0;
  auto lineNo = [&](size_t k) { return "row " + std::to_string(k + 1); };
  for (size_t i = 0; i < expected.size(); ++i) {
    const Expected& x = expected[i];
    if (x.outcome == Outcome::NoRow) continue;
    if (x.outcome == Outcome::Unknown) {
      size_t k = i + 1;
      while (k < expected.size() && expected[k].outcome != Outcome::Row) ++k;
      const bool nextMatches = k < expected.size() && j < actual.size() && actual[j] == expected[k].line;
      if (j < actual.size() && !nextMatches) ++j;
      continue;
    }
    if (j >= actual.size())
      return lineNo(j) + " missing (event " + std::to_string(x.event) + "): expected " + x.line;
    if (actual[j] != x.line)
      return lineNo(j) + " (event " + std::to_string(x.event) + ") differs:\n  expected " + x.line +
             "  actual   " + actual[j];
    ++j;
  }
  if (j < actual.size()) return lineNo(j) + " not expected: " + actual[j];
  return {};
}

}  // namespace usbenc
