// Benchmark workloads of the traffic encoder: saturated, idle-heavy and enumeration-heavy captures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace usbenc {

/// Back-to-back 64-byte bulk IN and OUT transactions (token, data, ACK) between SOFs every
/// FRAME_TICKS; payloads, directions and endpoints random from `seed`. At least `minBytes`.
std::vector<uint8_t> saturatedBus(size_t minBytes, uint64_t seed = 1);

/// A bus that is idle most of the time: a SOF every frame and one interrupt IN poll per frame
/// that the device NAKs; the polled device random from `seed`. At least `minBytes`.
std::vector<uint8_t> idleBus(size_t minBytes, uint64_t seed = 1);

/// Control transfers only: whole HID enumerations and standard GET_DESCRIPTOR requests with
/// NAKed stages, between SOFs; random from `seed`. At least `minBytes`.
std::vector<uint8_t> enumerationMix(size_t minBytes, uint64_t seed = 1);

}  // namespace usbenc
