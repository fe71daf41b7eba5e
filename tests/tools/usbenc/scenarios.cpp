// USB traffic encoder scenarios: host transfers, a HID enumeration, random and large traffic.
#include <algorithm>
#include <stdexcept>

#include "usbenc.h"
#include "usbenc_rng.h"

namespace usbenc {

namespace {

std::vector<uint8_t> utf16String(const std::string& s) {
  std::vector<uint8_t> d{static_cast<uint8_t>(2 + 2 * s.size()), 3};
  for (char c : s) {
    d.push_back(static_cast<uint8_t>(c));
    d.push_back(0);
  }
  return d;
}

std::vector<std::vector<uint8_t>> chunks(const std::vector<uint8_t>& data, size_t maxPacket,
                                         bool zlpAfterFull) {
  std::vector<std::vector<uint8_t>> c;
  for (size_t i = 0; i < data.size(); i += maxPacket)
    c.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(i),
                   data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), i + maxPacket)));
  if (c.empty() || (zlpAfterFull && data.size() % maxPacket == 0)) c.emplace_back();
  return c;
}

}  // namespace

std::vector<uint8_t> SetupPacket::bytes() const {
  return {bmRequestType,
          bRequest,
          static_cast<uint8_t>(wValue & 0xFF),
          static_cast<uint8_t>(wValue >> 8),
          static_cast<uint8_t>(wIndex & 0xFF),
          static_cast<uint8_t>(wIndex >> 8),
          static_cast<uint8_t>(wLength & 0xFF),
          static_cast<uint8_t>(wLength >> 8)};
}

SetupPacket getDescriptor(uint8_t type, uint8_t index, uint16_t length, uint16_t langId) {
  return {0x80, 0x06, static_cast<uint16_t>(type << 8 | index), langId, length};
}
SetupPacket setAddress(uint8_t addr) { return {0x00, 0x05, addr, 0, 0}; }
SetupPacket setConfiguration(uint8_t value) { return {0x00, 0x09, value, 0, 0}; }

// ---------------------------------------------------------------------------------------------
// Host

Host::Host(Bus& bus, HostConfig config)
    : b(bus), cfg(config), frameNo(config.firstFrame & 0x7FF), nextSof(bus.now()) {}

void Host::nextFrame() {
  if (!cfg.sofs) {
    b.add(idle(FRAME_TICKS));
    return;
  }
  while (nextSof < b.now()) {  // frames missed while the caller drove the bus directly
    nextSof += FRAME_TICKS;
    frameNo = (frameNo + 1) & 0x7FF;
  }
  b.add(idle(nextSof - b.now()));
  b.add(sof(frameNo));
  frameNo = (frameNo + 1) & 0x7FF;
  nextSof += FRAME_TICKS;
}

void Host::waitFrames(unsigned n) {
  for (unsigned i = 0; i < n; ++i) nextFrame();
}

void Host::fit(uint64_t ticks) {
  if (!cfg.sofs) return;
  // The first SOF is due at once; later ones when the transaction would run into them.
  if (b.now() >= nextSof || b.now() + ticks + cfg.frameGuard > nextSof) {
    nextFrame();
  }
}

void Host::transaction(const std::vector<Event>& packets) {
  std::vector<Event> list;
  uint64_t len = cfg.transactionGap;
  for (const Event& p : packets) {
    list.push_back(p.idleAfter ? p : p.withIdle(cfg.handshakeIdle));
    len += b.lengthOf(list.back());
  }
  fit(len);
  b.add(list);
  b.add(idle(cfg.transactionGap));
}

void Host::busReset(uint64_t ticks) {
  b.add(reset(ticks).withIdle(cfg.transactionGap));
  // Frames start again right after the reset.
  nextSof = b.now();
  frameNo = static_cast<uint16_t>((frameNo + ticks / FRAME_TICKS) & 0x7FF);
  std::fill(&toggles[0][0][0], &toggles[0][0][0] + sizeof toggles, uint8_t{0});
}

int Host::toggle(uint8_t addr, uint8_t endp, bool inDir) {
  uint8_t& t = toggles[addr & 0x7F][endp & 0x0F][inDir ? 1 : 0];
  const int p = t ? pid::DATA1 : pid::DATA0;
  t ^= 1;
  return p;
}

void Host::control(uint8_t addr, const SetupPacket& s, const std::vector<uint8_t>& dataBytes,
                   const ControlOptions& opt) {
  transaction({setup(addr, 0), data0(s.bytes()), ack()});
  int t = pid::DATA1;
  auto flip = [&] { t = t == pid::DATA1 ? pid::DATA0 : pid::DATA1; };
  const bool toHost = s.deviceToHost();
  if (s.wLength > 0) {
    std::vector<uint8_t> d(dataBytes.begin(),
                           dataBytes.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min<size_t>(dataBytes.size(), s.wLength)));
    const bool zlp = d.size() < s.wLength;  // a full last packet needs a zero-length one after it
    for (const auto& c : chunks(d, opt.maxPacket, zlp)) {
      if (toHost) {
        for (unsigned i = 0; i < opt.dataNaks; ++i) transaction({in(addr, 0), nak()});
        if (opt.stallData) return transaction({in(addr, 0), stall()});
        transaction({in(addr, 0), data(t, c), ack()});
      } else {
        for (unsigned i = 0; i < opt.dataNaks; ++i) transaction({out(addr, 0), data(t, c), nak()});
        if (opt.stallData) return transaction({out(addr, 0), data(t, c), stall()});
        transaction({out(addr, 0), data(t, c), ack()});
      }
      flip();
    }
  }
  // Status stage: a zero-length DATA1 in the other direction.
  if (toHost && s.wLength > 0) {
    for (unsigned i = 0; i < opt.statusNaks; ++i) transaction({out(addr, 0), data1(), nak()});
    transaction({out(addr, 0), data1(), ack()});
  } else {
    for (unsigned i = 0; i < opt.statusNaks; ++i) transaction({in(addr, 0), nak()});
    if (opt.stallData && s.wLength == 0) return transaction({in(addr, 0), stall()});
    transaction({in(addr, 0), data1(), ack()});
  }
}

void Host::bulkOut(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& d, uint16_t maxPacket,
                   unsigned naks) {
  for (const auto& c : chunks(d, maxPacket, false)) {
    const int t = toggle(addr, endp, false);
    for (unsigned i = 0; i < naks; ++i) transaction({out(addr, endp), data(t, c), nak()});
    transaction({out(addr, endp), data(t, c), ack()});
  }
}

void Host::bulkIn(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& d, uint16_t maxPacket,
                  unsigned naks) {
  for (const auto& c : chunks(d, maxPacket, false)) {
    for (unsigned i = 0; i < naks; ++i) transaction({in(addr, endp), nak()});
    transaction({in(addr, endp), data(toggle(addr, endp, true), c), ack()});
  }
}

void Host::interruptIn(uint8_t addr, uint8_t endp, const std::vector<uint8_t>& report, unsigned naks) {
  for (unsigned i = 0; i < naks; ++i) {
    transaction({in(addr, endp), nak()});
    nextFrame();
  }
  transaction({in(addr, endp), data(toggle(addr, endp, true), report), ack()});
}

// ---------------------------------------------------------------------------------------------
// A HID mouse and its enumeration

HidDevice hidMouse() {
  HidDevice d;
  d.device = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08,  // USB 2.0, class per interface, ep0 8
              0x34, 0x12, 0x78, 0x56, 0x00, 0x01,              // vendor, product, release
              0x01, 0x02, 0x00, 0x01};                         // strings 1, 2, none; 1 configuration
  d.report = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
              0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
              0x95, 0x01, 0x75, 0x05, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
              0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
  const uint8_t rl = static_cast<uint8_t>(d.report.size());
  d.configuration = {
      0x09, 0x02, 34,   0x00, 0x01, 0x01, 0x00, 0xA0, 0x32,  // configuration: 1 interface, 100 mA
      0x09, 0x04, 0x00, 0x00, 0x01, 0x03, 0x01, 0x02, 0x00,  // interface: HID, boot, mouse
      0x09, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, rl,   0x00,  // HID 1.11, one report descriptor
      0x07, 0x05, 0x81, 0x03, 0x04, 0x00, 0x0A};             // endpoint 1 IN, interrupt, 4 bytes, 10 ms
  d.strings = {{0x04, 0x03, 0x09, 0x04}, utf16String("Test Maker"), utf16String("Test HID Mouse")};
  return d;
}

void enumerateHid(Host& host, uint8_t addr, unsigned naks) {
  const HidDevice d = hidMouse();
  ControlOptions o;
  o.maxPacket = d.device[7];
  o.dataNaks = naks;
  o.statusNaks = naks;
  host.busReset();
  host.waitFrames(2);
  host.control(0, getDescriptor(1, 0, 64), d.device, o);
  host.control(0, setAddress(addr), {}, o);
  host.nextFrame();  // the device takes its new address after the status stage
  host.control(addr, getDescriptor(1, 0, 18), d.device, o);
  host.control(addr, getDescriptor(2, 0, 9), d.configuration, o);
  host.control(addr, getDescriptor(2, 0, static_cast<uint16_t>(d.configuration.size())), d.configuration, o);
  host.control(addr, getDescriptor(3, 0, 255), d.strings[0], o);
  host.control(addr, getDescriptor(3, 2, 255, 0x0409), d.strings[2], o);
  host.control(addr, getDescriptor(3, 1, 255, 0x0409), d.strings[1], o);
  host.control(addr, setConfiguration(1), {}, o);
  ControlOptions stalled = o;
  stalled.stallData = true;  // SET_IDLE: many mice do not support it
  host.control(addr, SetupPacket{0x21, 0x0A, 0, 0, 0}, {}, stalled);
  host.control(addr, SetupPacket{0x81, 0x06, 0x2200, 0, static_cast<uint16_t>(d.report.size() + 64)},
               d.report, o);
  host.nextFrame();
  host.interruptIn(addr, 1, {0x00, 0x05, 0xFD, 0x00}, 3);
  host.interruptIn(addr, 1, {0x01, 0x00, 0x00, 0x00}, 2);
}

// ---------------------------------------------------------------------------------------------
// Random traffic

std::vector<Event> randomEvents(uint64_t seed, size_t count, const RandomOptions& opt) {
  static constexpr int ROW_PIDS[] = {pid::SOF,   pid::OUT,   pid::IN,  pid::SETUP,
                                     pid::DATA0, pid::DATA1, pid::DATA2, pid::MDATA,
                                     pid::ACK,   pid::NAK,   pid::STALL, pid::NYET};
  Rng r(seed);
  std::vector<Event> ev;
  ev.reserve(count);
  auto shortOrLong = [&] {
    return r.chance(0.7) ? r.range(1, 20) : r.logRange(1, std::max<uint64_t>(1, opt.maxIdle));
  };
  while (ev.size() < count) {
    const uint64_t pick = r.range(0, 99);
    if (pick < 3 && opt.resets) {
      ev.push_back(reset(r.chance(0.2) ? r.range(1, 4) : r.logRange(1, 240000)).withIdle(shortOrLong()));
      continue;
    }
    if (pick < 10) {
      ev.push_back(idle(r.logRange(1, std::max<uint64_t>(1, opt.maxIdle))));
      continue;
    }
    if (pick < 12 && opt.oddPackets) {
      ev.push_back(glitch(r.chance(0.5) ? Line::SE0 : Line::SE1, r.range(1, 3)));
      continue;
    }
    Event e;
    if (pick < 15 && opt.oddPackets) {
      static constexpr uint8_t ODD[] = {0xB4, 0x78, 0x3C, 0xF0};  // PING, SPLIT, PRE, reserved
      e = rawPacket(ODD[r.range(0, 3)], r.bytes(r.range(0, 4)));
    } else {
      const int p = ROW_PIDS[r.range(0, std::size(ROW_PIDS) - 1)];
      switch (p) {
        case pid::SOF:
          e = sof(static_cast<uint16_t>(r.range(0, 0x7FF)));
          break;
        case pid::OUT:
        case pid::IN:
        case pid::SETUP:
          e = token(p, static_cast<uint8_t>(r.range(0, 127)), static_cast<uint8_t>(r.range(0, 15)));
          break;
        case pid::DATA0:
        case pid::DATA1:
        case pid::DATA2:
        case pid::MDATA: {
          const uint64_t sz = r.range(0, 99);
          const size_t maxLen = sz < 50 ? std::min<size_t>(16, opt.maxPayload)
                                : sz < 85 ? std::min<size_t>(64, opt.maxPayload)
                                          : opt.maxPayload;
          std::vector<uint8_t> payload = r.bytes(r.range(0, maxLen));
          if (r.chance(0.1)) std::fill(payload.begin(), payload.end(), uint8_t{0xFF});  // stuffing
          e = data(p, std::move(payload));
          break;
        }
        default:
          e = handshake(p);
      }
      if (opt.faultRate > 0 && r.chance(opt.faultRate)) {
        const bool hasCrc = !(p == pid::ACK || p == pid::NAK || p == pid::STALL || p == pid::NYET);
        const size_t bits = packetBytes(e).size() * 8;
        switch (r.range(0, opt.unpredictable ? 8 : 5)) {
          case 0:
            e = hasCrc ? e.withBadCrc(static_cast<uint16_t>(r.range(1, 0xFFFF))) : e.withBadPidCheck();
            break;
          case 1:
            e = e.withBadPidCheck();
            break;
          case 2:
            e = e.withSyncLost(static_cast<int>(r.range(0, 6)));
            break;
          case 3:
            e = e.withSe1(1 + 2 * r.range(0, 2), r.range(1, 5));  // a J of the sync
            break;
          case 4:
            e = e.withStuffFault(StuffFault::BitIsOne);
            break;
          case 5:
            e = e.withTruncatedBits(static_cast<int>(r.range(0, bits)));
            break;
          case 6:
            e = e.withCutAfter(r.range(1, SYNC_SAMPLES + bits - 1));
            break;
          case 7:
            e = e.withStuffFault(StuffFault::Omitted);
            break;
          default:
            e = e.withSe1(2 * r.range(0, 3), r.range(1, 5));  // a K of the sync
        }
      }
    }
    ev.push_back(e.withIdle(shortOrLong()));
  }
  return ev;
}

void randomTraffic(Host& host, uint64_t seed, uint64_t frames) {
  Rng r(seed);
  Bus& b = host.bus();
  const uint64_t end = b.now() + frames * FRAME_TICKS;
  while (b.now() < end) {
    const uint64_t pick = r.range(0, 999);
    const uint8_t addr = static_cast<uint8_t>(r.range(1, 8));
    const uint8_t endp = static_cast<uint8_t>(r.range(1, 3));
    if (pick < 2) {
      enumerateHid(host, addr, static_cast<unsigned>(r.range(0, 2)));
    } else if (pick < 3) {
      host.busReset(r.logRange(1, 10 * TICKS_PER_MS));
    } else if (pick < 40) {
      ControlOptions o;
      o.maxPacket = static_cast<uint8_t>(8u << r.range(0, 3));
      o.dataNaks = static_cast<unsigned>(r.range(0, 1));
      o.statusNaks = static_cast<unsigned>(r.range(0, 3));
      host.control(addr, getDescriptor(static_cast<uint8_t>(r.range(1, 3)), 0, static_cast<uint16_t>(r.range(0, 255))),
                   r.bytes(r.range(0, 255)), o);
    } else if (pick < 140) {
      host.interruptIn(addr, endp, r.bytes(r.range(1, 8)), static_cast<unsigned>(r.range(0, 3)));
    } else if (pick < 560) {
      host.bulkOut(addr, endp, r.bytes(r.range(0, 512)), 64, static_cast<unsigned>(r.range(0, 1)));
    } else if (pick < 980) {
      host.bulkIn(addr, endp, r.bytes(r.range(0, 512)), 64, static_cast<unsigned>(r.range(0, 2)));
    } else {
      host.waitFrames(static_cast<unsigned>(r.range(1, 3)));
    }
  }
}

std::vector<uint8_t> largeCapture(size_t minBytes, uint64_t seed) {
  BusConfig c;
  c.keepExpectations = false;
  Bus bus(c);
  bus.add(idle(1000));
  Host host(bus);
  for (uint64_t round = 0; bus.streamSize() < minBytes; ++round) randomTraffic(host, seed + round, 100);
  return bus.takeStream();
}

}  // namespace usbenc
