// Benchmark workloads of the traffic encoder: saturated, idle-heavy and enumeration-heavy captures.
#include "workloads.h"

#include "usbenc.h"
#include "usbenc_rng.h"

namespace usbenc {

namespace {

constexpr size_t BULK_PACKET = 64;

BusConfig largeBus() {
  BusConfig c;
  c.keepExpectations = false;
  return c;
}

}  // namespace

std::vector<uint8_t> saturatedBus(size_t minBytes, uint64_t seed) {
  Bus bus(largeBus());
  HostConfig hc;
  hc.transactionGap = 4;  // back to back: only the turnaround between transactions
  Host host(bus, hc);
  Rng r(seed);
  while (bus.streamSize() < minBytes) {
    const auto addr = static_cast<uint8_t>(r.range(1, 4));
    const auto endp = static_cast<uint8_t>(r.range(1, 2));
    if (r.next() & 1)
      host.bulkIn(addr, endp, r.bytes(BULK_PACKET));
    else
      host.bulkOut(addr, endp, r.bytes(BULK_PACKET));
  }
  return bus.takeStream();
}

std::vector<uint8_t> idleBus(size_t minBytes, uint64_t seed) {
  Bus bus(largeBus());
  Host host(bus);
  Rng r(seed);
  while (bus.streamSize() < minBytes) {
    host.nextFrame();
    host.transaction({in(static_cast<uint8_t>(r.range(1, 3)), 1), nak()});
  }
  return bus.takeStream();
}

std::vector<uint8_t> enumerationMix(size_t minBytes, uint64_t seed) {
  Bus bus(largeBus());
  Host host(bus);
  Rng r(seed);
  while (bus.streamSize() < minBytes) {
    const auto addr = static_cast<uint8_t>(r.range(1, 127));
    if (r.range(0, 3) == 0) {
      enumerateHid(host, addr, static_cast<unsigned>(r.range(0, 2)));
      continue;
    }
    ControlOptions o;
    o.maxPacket = static_cast<uint8_t>(8u << r.range(0, 3));
    o.dataNaks = static_cast<unsigned>(r.range(0, 2));
    o.statusNaks = static_cast<unsigned>(r.range(0, 2));
    const auto type = static_cast<uint8_t>(r.range(1, 3));
    host.control(addr, getDescriptor(type, 0, static_cast<uint16_t>(r.range(8, 255))),
                 r.bytes(r.range(8, 255)), o);
  }
  return bus.takeStream();
}

}  // namespace usbenc
