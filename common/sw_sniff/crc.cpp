// USB CRC5 and CRC-16 computations and checks.
#include "crc.h"

#include <array>

namespace {

// Table of the reflected CRC-16 polynomial 0xA001, built at compile time.
constexpr std::array<uint16_t, 256> makeCrc16Table() {
  std::array<uint16_t, 256> t{};
  for (unsigned n = 0; n < 256; ++n) {
    uint16_t c = static_cast<uint16_t>(n);
    for (int k = 0; k < 8; ++k)
      c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
    t[n] = c;
  }
  return t;
}

constexpr std::array<uint16_t, 256> CRC16 = makeCrc16Table();

// Slicing tables: SLICE[k][n] is the register after byte n followed by k zero bytes, so four
// bytes are folded in with four independent lookups.
constexpr std::array<std::array<uint16_t, 256>, 4> makeSliceTables() {
  std::array<std::array<uint16_t, 256>, 4> t{};
  t[0] = makeCrc16Table();
  for (int k = 1; k < 4; ++k)
    for (unsigned n = 0; n < 256; ++n)
      t[k][n] = static_cast<uint16_t>((t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF]);
  return t;
}

constexpr auto SLICE = makeSliceTables();

// Register of the reflected CRC5 (0x14) after eight steps over one byte, from a zero register.
constexpr uint8_t crc5Byte(unsigned byte) {
  unsigned r = byte;
  for (int k = 0; k < 8; ++k)
    r = (r & 1) ? (r >> 1) ^ 0x14 : r >> 1;
  return static_cast<uint8_t>(r & 0x1F);
}

}  // namespace

namespace crc {

const uint16_t USB_CRC16_TABLE[256] = {
#define KV_ROW(i) CRC16[i], CRC16[i + 1], CRC16[i + 2], CRC16[i + 3], CRC16[i + 4], CRC16[i + 5], CRC16[i + 6], CRC16[i + 7]
    KV_ROW(0),   KV_ROW(8),   KV_ROW(16),  KV_ROW(24),  KV_ROW(32),  KV_ROW(40),  KV_ROW(48),  KV_ROW(56),
    KV_ROW(64),  KV_ROW(72),  KV_ROW(80),  KV_ROW(88),  KV_ROW(96),  KV_ROW(104), KV_ROW(112), KV_ROW(120),
    KV_ROW(128), KV_ROW(136), KV_ROW(144), KV_ROW(152), KV_ROW(160), KV_ROW(168), KV_ROW(176), KV_ROW(184),
    KV_ROW(192), KV_ROW(200), KV_ROW(208), KV_ROW(216), KV_ROW(224), KV_ROW(232), KV_ROW(240), KV_ROW(248),
#undef KV_ROW
};

const uint8_t crc5Table4[16] = {0, 14, 28, 18, 17, 31, 13, 3, 11, 5, 23, 25, 26, 20, 6, 8};
const uint8_t crc5Table0[16] = {0, 22, 5, 19, 10, 28, 15, 25, 20, 2, 17, 7, 30, 8, 27, 13};

// The nibble tables are the byte steps of the reflected CRC5; keep them honest.
static_assert(crc5Byte(1) == 14 && crc5Byte(15) == 8 && crc5Byte(0x10) == 22 && crc5Byte(0xF0) == 13);

uint16_t makeCRC16(const uint8_t* data, size_t len) {
  uint16_t c = 0xFFFF;
  size_t i = 0;
  for (; i + 4 <= len; i += 4) {
    const unsigned x = c ^ (data[i] | static_cast<unsigned>(data[i + 1]) << 8);
    c = static_cast<uint16_t>(SLICE[3][x & 0xFF] ^ SLICE[2][x >> 8] ^ SLICE[1][data[i + 2]] ^ SLICE[0][data[i + 3]]);
  }
  for (; i < len; ++i)
    c = static_cast<uint16_t>(USB_CRC16_TABLE[(data[i] ^ c) & 0xFF] ^ (c >> 8));
  return static_cast<uint16_t>(~c);
}

bool checkCRC16(const uint8_t* data, size_t len, uint16_t received) {
  return makeCRC16(data, len) == received;
}

uint8_t makeCRC5(uint16_t v, int n) {
  if (n <= 0 || n > 32)
    return 0xFF;
  uint32_t reg = 0xF8000000u;
  uint32_t in = static_cast<uint32_t>(static_cast<uint64_t>(v) << (32 - n));
  for (int i = 0; i < n; ++i) {
    if ((reg ^ in) & 0x80000000u)
      reg = (reg << 1) ^ 0x28000000u;
    else
      reg <<= 1;
    in <<= 1;
  }
  return static_cast<uint8_t>((reg >> 27) ^ 0x1F);
}

bool checkCRC5(const uint8_t* twoBytes) {
  unsigned x = (twoBytes[0] ^ 0x1F) & 0xFF;
  unsigned t = crc5Table4[x & 15] ^ crc5Table0[x >> 4];
  x = (twoBytes[1] ^ t) & 0xFF;
  unsigned r = crc5Table4[x & 15] ^ crc5Table0[x >> 4];
  return r == 6;
}

}  // namespace crc
