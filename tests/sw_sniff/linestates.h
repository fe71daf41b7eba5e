// Test helper: raw capture streams written by hand as line-state strings.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace kvtest {

/// The stream magic followed by the given bytes.
inline std::vector<uint8_t> rawBytes(std::initializer_list<uint8_t> body) {
  // Sized once: growing the 8-byte vector by insert trips GCC 12's -Warray-bounds in Release.
  static constexpr uint8_t MAGIC[] = {'K', 'O', 'R', 'V', 'A', 'N', 'E', '.'};
  std::vector<uint8_t> v(sizeof MAGIC + body.size());
  std::copy(std::begin(MAGIC), std::end(MAGIC), v.begin());
  std::copy(body.begin(), body.end(), v.begin() + sizeof MAGIC);
  return v;
}

/// A stream from line states, one character per tick: '0' SE0, 'K', 'J', '1' SE1. Samples go
/// three to a 2-bit symbol byte; a tail that does not fill one is padded with J. "{n}" repeats
/// the previous state n times more (e.g. "J{100}").
inline std::vector<uint8_t> rawFromStates(const std::string& states) {
  std::vector<int> s;
  for (size_t i = 0; i < states.size(); ++i) {
    char c = states[i];
    if (c == '{') {
      const size_t close = states.find('}', i);
      s.insert(s.end(), std::stoul(states.substr(i + 1, close - i - 1)), s.back());
      i = close;
      continue;
    }
    s.push_back(c == '0' ? 0 : c == 'K' ? 1 : c == 'J' ? 2 : 3);
  }
  while (s.size() % 3)
    s.push_back(2);
  std::vector<uint8_t> v{'K', 'O', 'R', 'V', 'A', 'N', 'E', '.'};
  for (size_t i = 0; i < s.size(); i += 3)
    v.push_back(static_cast<uint8_t>(0x40 | s[i] << 4 | s[i + 1] << 2 | s[i + 2]));
  return v;
}

/// The same stream with the samples packed as the probe packs them in the data of a packet:
/// every six J/K samples in one 1-bit symbol byte, the run that continues its last sample in the
/// count bytes after it (up to 2047 ticks), and three samples to a 2-bit byte where an SE0 or SE1
/// is among the next six.
inline std::vector<uint8_t> rawFromStatesSix(const std::string& states) {
  const std::vector<uint8_t> twoBit = rawFromStates(states);
  std::string s;  // the states with the repeats written out, as rawFromStates read them
  for (size_t i = 8; i < twoBit.size(); ++i)
    for (int k = 2; k >= 0; --k) s += "0KJ1"[(twoBit[i] >> (2 * k)) & 3];
  std::vector<uint8_t> v{'K', 'O', 'R', 'V', 'A', 'N', 'E', '.'};
  size_t i = 0;
  while (i < s.size()) {
    if (i + 6 <= s.size() && s.find_first_of("01", i) >= i + 6) {
      uint8_t sym = 0;
      for (int k = 0; k < 6; ++k) sym = static_cast<uint8_t>(sym << 1 | (s[i + k] == 'J'));
      const char last = s[i + 5];
      i += 6;
      size_t extra = 0;
      while (i < s.size() && s[i] == last && extra < 2047) ++extra, ++i;
      v.push_back(sym);
      if (extra > 0) {
        v.push_back(static_cast<uint8_t>(0x80 | (extra & 0x3F)));
        if (extra >> 6) v.push_back(static_cast<uint8_t>(0xC0 | (extra >> 6)));
      }
    } else {
      const auto code = [&](size_t k) { return k < s.size() ? std::string("0KJ1").find(s[k]) : 2; };
      v.push_back(static_cast<uint8_t>(0x40 | code(i) << 4 | code(i + 1) << 2 | code(i + 2)));
      i += 3;
    }
  }
  return v;
}

/// NRZI line states (after the sync) for the given bytes, least significant bit first, with
/// bit stuffing after six ones; starts from the level of the sync's last K.
inline std::string nrziStates(const std::vector<uint8_t>& bytes, bool stuff = true) {
  std::string out;
  char level = 'K';
  int ones = 0;
  for (uint8_t b : bytes) {
    for (int i = 0; i < 8; ++i) {
      const bool one = (b >> i) & 1;
      if (!one)
        level = level == 'K' ? 'J' : 'K';
      out += level;
      ones = one ? ones + 1 : 0;
      if (stuff && ones == 6) {
        level = level == 'K' ? 'J' : 'K';
        out += level;
        ones = 0;
      }
    }
  }
  return out;
}

}  // namespace kvtest
