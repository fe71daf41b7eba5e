// Benchmark workloads of the traffic encoder: saturated, idle-heavy and enumeration-heavy captures.
#include "workloads.h"

#include "usbenc.h"

namespace usbenc {

namespace {

// splitmix64: the same stream of numbers from a seed with every standard library.
class Mix {
 public:
  explicit Mix(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /// lo..hi inclusive.
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(next());
    return v;
  }

 private:
  uint64_t state;
};

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
  Mix r(seed);
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
  Mix r(seed);
  while (bus.streamSize() < minBytes) {
    host.nextFrame();
    host.transaction({in(static_cast<uint8_t>(r.range(1, 3)), 1), nak()});
  }
  return bus.takeStream();
}

std::vector<uint8_t> enumerationMix(size_t minBytes, uint64_t seed) {
  Bus bus(largeBus());
  Host host(bus);
  Mix r(seed);
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
