// Seeded random numbers of the traffic encoder (test tool): the same stream on every platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace usbenc {

// A small generator with a fixed algorithm (splitmix64), so a seed gives the same traffic with
// every standard library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  /// lo..hi inclusive.
  uint64_t range(uint64_t lo, uint64_t hi) { return lo + next() % (hi - lo + 1); }
  bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }
  /// lo..hi, every power of two about equally likely (short gaps often, long ones sometimes).
  uint64_t logRange(uint64_t lo, uint64_t hi) {
    int bits = 0;
    while (bits < 63 && (uint64_t{1} << (bits + 1)) <= hi) ++bits;
    uint64_t top = uint64_t{1} << range(0, static_cast<uint64_t>(bits));
    return std::clamp(range(top / 2, top), lo, hi);
  }
  std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(next());
    return v;
  }

 private:
  uint64_t state;
};

}  // namespace usbenc
