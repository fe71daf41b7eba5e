// USB CRC5 and CRC-16 computations and checks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crc {

extern const uint16_t USB_CRC16_TABLE[256];
extern const uint8_t crc5Table4[16];
extern const uint8_t crc5Table0[16];

/// CRC-16/USB over len bytes (0x0000 over none).
uint16_t makeCRC16(const uint8_t* data, size_t len);
bool checkCRC16(const uint8_t* data, size_t len, uint16_t received);
/// CRC5 of the n low bits of v, most significant first; 0xFF for n = 0 or n > 32.
uint8_t makeCRC5(uint16_t v, int n);
/// Checks the two bytes after a token or SOF PID (11-bit field and 5 CRC bits, as received).
bool checkCRC5(const uint8_t* twoBytes);

}  // namespace crc
