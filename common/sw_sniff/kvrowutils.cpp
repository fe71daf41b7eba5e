// Row text lines: one row written as one ";"-separated line, and read back into a new row.
#include "kvrowutils.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>
#include <string_view>

#include "kvrowpool.h"
#include "kvutils.h"

namespace {

void appendHex(std::string& out, unsigned long long v, int minDigits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*llx", minDigits, v);
  out += buf;
}

// Indentation stops growing at this depth. A tree never gets near it (the grouper builds three
// levels, a sample file at most 64); only a line read with an absurd depth does, and 2 × depth
// blanks for a depth of 2^31 would be a 4 GiB line. The depth number itself is always written.
constexpr uint32_t MAX_INDENT_DEPTH = 64;

void appendDepth(std::string& out, const Tbase& row, bool indent) {
  if (indent)
    out.append(2 * static_cast<size_t>(std::min(row.depth, MAX_INDENT_DEPTH)), ' ');
  out += std::to_string(row.depth);
  out += ';';
}

void appendCrc(std::string& out, char which, bool ok, unsigned long long v, int digits) {
  out += which;
  out += ok ? "P:" : "F:";
  appendHex(out, v, digits);
}

// Row lines are read without building strings: fields and their pieces are views of the line.
using Tview = std::string_view;

// Calls f on every non-empty piece of s cut at sep (the pieces utils::split gives); stops early
// when f returns false. Returns false when f did.
template <typename F>
bool forEachPiece(Tview s, char sep, F&& f) {
  size_t start = 0;
  while (start <= s.size()) {
    size_t end = s.find(sep, start);
    if (end == Tview::npos)
      end = s.size();
    if (end > start && !f(s.substr(start, end - start)))
      return false;
    start = end + 1;
  }
  return true;
}

// A field is well formed when it splits at ":" into exactly two non-empty pieces, key and value.
bool splitField(Tview field, Tview& key, Tview& value) {
  int n = 0;
  forEachPiece(field, ':', [&](Tview piece) {
    if (n == 0)
      key = piece;
    else if (n == 1)
      value = piece;
    return ++n <= 2;
  });
  return n == 2;
}

// Reads a number from the start of s: leading blanks, an optional "-" when allowed, an optional
// "0x" for base 16, then digits up to the first other character. Nothing when there is no digit,
// or when the value does not fit [lo, hi].
template <typename T>
std::optional<T> readNumber(Tview s, int base, bool allowMinus, long double lo, long double hi) {
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
    ++i;
  bool neg = false;
  if (allowMinus && i < s.size() && s[i] == '-') {
    neg = true;
    ++i;
  }
  if (base == 16 && i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X'))
    i += 2;
  unsigned long long mag = 0;
  auto [end, ec] = std::from_chars(s.data() + i, s.data() + s.size(), mag, base);
  if (end == s.data() + i || ec != std::errc())
    return std::nullopt;  // no digit of the base, or beyond 64 bits
  long double v = neg ? -static_cast<long double>(mag) : static_cast<long double>(mag);
  if (v < lo || v > hi)
    return std::nullopt;
  if (neg)
    return static_cast<T>(-static_cast<long long>(mag));
  return static_cast<T>(mag);
}

constexpr long double I32_MIN = std::numeric_limits<int32_t>::min();
constexpr long double I32_MAX = std::numeric_limits<int32_t>::max();
constexpr long double U32_MAX = std::numeric_limits<uint32_t>::max();
constexpr long double U64_MAX = static_cast<long double>(std::numeric_limits<uint64_t>::max());

std::optional<int32_t> readI32(Tview s) { return readNumber<int32_t>(s, 10, true, I32_MIN, I32_MAX); }
std::optional<int32_t> readHex(Tview s) { return readNumber<int32_t>(s, 16, false, 0, I32_MAX); }
std::optional<uint32_t> readU32(Tview s) { return readNumber<uint32_t>(s, 10, false, 0, U32_MAX); }
std::optional<uint64_t> readU64(Tview s) { return readNumber<uint64_t>(s, 10, false, 0, U64_MAX); }

template <typename T, typename V>
bool store(T& field, const std::optional<V>& v) {
  if (!v)
    return false;
  field = static_cast<T>(*v);
  return true;
}

// Appends the bytes of a "DA" field. A field that is not exactly "DA" and one value (such as
// "DA:") adds nothing and is accepted; a byte without a hex digit rejects the line.
bool readPayload(Tdata& d, Tview field) {
  Tview key, value;
  if (!splitField(field, key, value) || key != "DA")
    return true;
  d.data.reserve(d.data.size() + (value.size() + 1) / 3);
  return forEachPiece(value, ',', [&](Tview piece) {
    auto v = readHex(piece);
    if (!v)
      return false;
    d.data.push_back(static_cast<uint8_t>(*v & 0xFF));
    return true;
  });
}

// One field, from the third on, of a packet line: false when it is malformed or a known key's
// value is not a number of its type. Unknown keys are ignored.
bool readPacketField(TpacketBase& p, char kindLetter, Tview key, Tview value) {
  if (key == "TI")
    return store(p.strt, readU64(value));
  if (key == "TL")
    return store(p.idleTicks, readU32(value));
  switch (kindLetter) {
    case 'S': {
      auto& sof = static_cast<Tsof&>(p);
      if (key == "FR")
        return store(sof.frame, readI32(value));
      if (key == "5P" || key == "5F") {
        sof.crcOK = key == "5P";
        return store(sof.crc5, readHex(value));
      }
      return true;
    }
    case 'K': {
      auto& t = static_cast<Ttoken&>(p);
      if (key == "AD")
        return store(t.addr, readI32(value));
      if (key == "EP")
        return store(t.endp, readI32(value));
      if (key == "5P" || key == "5F") {
        t.crcOK = key == "5P";
        return store(t.crc5, readHex(value));
      }
      return true;
    }
    case 'D': {
      auto& d = static_cast<Tdata&>(p);
      if (key == "6P" || key == "6F") {
        d.crcOK = key == "6P";
        return store(d.crc16, readHex(value));
      }
      return true;
    }
    default:
      return true;
  }
}

TrowPtr readPacket(char kindLetter, uint32_t depth, Tview rest, TrowPool* pool) {
  std::shared_ptr<TpacketBase> p;
  switch (kindLetter) {
    case 'S': p = TrowPool::makeIn<Tsof>(pool); break;
    case 'K': p = TrowPool::makeIn<Ttoken>(pool); break;
    case 'D': p = TrowPool::makeIn<Tdata>(pool); break;
    default: p = TrowPool::makeIn<Thandshake>(pool); break;
  }
  p->depth = depth;
  size_t index = 1;  // field 1 is the kind field, with the pid as its value
  const bool ok = forEachPiece(rest, ';', [&](Tview f) {
    const size_t i = index++;
    if (kindLetter == 'D' && i >= 2 && f.substr(0, 2) == "DA" && (f.size() == 2 || f[2] == ':'))
      return readPayload(static_cast<Tdata&>(*p), f);
    Tview key, value;
    if (!splitField(f, key, value))
      return false;
    if (i == 1)
      return store(p->pid, readI32(value));
    return readPacketField(*p, kindLetter, key, value);
  });
  return ok ? p : nullptr;
}

}  // namespace

namespace rowutils {

std::string toString(const TrowPtr& row) {
  std::string out;
  if (!row)
    return out;
  out.reserve(64);
  switch (row->kind) {
    case ROW_RESET: {
      const auto& r = static_cast<const Treset&>(*row);
      appendDepth(out, r, false);
      out += "Y:Reset;TI:" + std::to_string(r.strt) + ";RL:" + std::to_string(r.duration) +
             ";TL:" + std::to_string(r.idleTicks);
      break;
    }
    case ROW_SOF: {
      const auto& s = static_cast<const Tsof&>(*row);
      appendDepth(out, s, true);
      out += "S:" + std::to_string(s.pid) + ";TI:" + std::to_string(s.strt) +
             ";FR:" + std::to_string(static_cast<int32_t>(s.frame)) + ';';
      appendCrc(out, '5', s.crcOK, s.crc5, 2);
      out += ";TL:" + std::to_string(s.idleTicks);
      break;
    }
    case ROW_TOKEN: {
      const auto& t = static_cast<const Ttoken&>(*row);
      appendDepth(out, t, true);
      out += "K:" + std::to_string(t.pid) + ";TI:" + std::to_string(t.strt) +
             ";AD:" + std::to_string(static_cast<int32_t>(t.addr)) +
             ";EP:" + std::to_string(static_cast<int32_t>(t.endp)) + ';';
      appendCrc(out, '5', t.crcOK, t.crc5, 2);
      out += ";TL:" + std::to_string(t.idleTicks);
      break;
    }
    case ROW_DATA: {
      const auto& d = static_cast<const Tdata&>(*row);
      appendDepth(out, d, true);
      out += "D:" + std::to_string(d.pid) + ";TI:" + std::to_string(d.strt) + ";DA:";
      out.reserve(out.size() + 3 * d.data.size() + 24);
      static const char HEX[] = "0123456789abcdef";
      for (size_t i = 0; i < d.data.size(); ++i) {
        if (i)
          out += ',';
        out += HEX[d.data[i] >> 4];
        out += HEX[d.data[i] & 0xF];
      }
      out += ';';
      appendCrc(out, '6', d.crcOK, static_cast<uint32_t>(d.crc16), 4);
      out += ";TL:" + std::to_string(d.idleTicks);
      break;
    }
    case ROW_HANDSHAKE: {
      const auto& h = static_cast<const Thandshake&>(*row);
      appendDepth(out, h, true);
      out += "H:" + std::to_string(h.pid) + ";TI:" + std::to_string(h.strt) + ";TL:" + std::to_string(h.idleTicks);
      break;
    }
    case ROW_SOFGROUP:
    case ROW_TRANSAX:
    case ROW_TRANSFER: {
      const auto& g = static_cast<const Tgrouper&>(*row);
      appendDepth(out, g, true);
      if (g.kind == ROW_SOFGROUP) {
        out += "G:SOFgroup";
      } else if (g.kind == ROW_TRANSFER) {
        out += "C:CONTROL";
      } else {
        const auto st = static_cast<const Ttransax&>(g).subType;
        out += st == TRX_SETUP ? "T:SETUP" : st == TRX_IN ? "T:IN" : "T:OUT";
      }
      out += ";X:" + std::to_string(g.children.size());
      break;
    }
    default:
      return out;
  }
  out += '\n';
  return out;
}

TrowPtr fromString(const std::string& line) { return fromString(line, nullptr); }

TrowPtr fromString(const std::string& line, TrowPool* pool) {
  if (line.empty() || line[0] == '-')
    return nullptr;
  // The first two non-empty fields: depth and kind.
  Tview fields[2];
  size_t restAt = line.size();
  int n = 0;
  forEachPiece(line, ';', [&](Tview f) {
    if (n == 2) {
      restAt = static_cast<size_t>(f.data() - line.data());
      return false;
    }
    fields[n++] = f;
    return true;
  });
  if (n < 2)
    return nullptr;
  auto depth = readNumber<uint32_t>(fields[0], 10, false, 0, I32_MAX);
  if (!depth)
    return nullptr;
  const char kindLetter = fields[1][0];
  const Tview kindAndRest(fields[1].data(), line.size() - static_cast<size_t>(fields[1].data() - line.data()));
  const Tview rest(line.data() + restAt, line.size() - restAt);
  Tview key, value;
  switch (kindLetter) {
    case 'C':
    case 'G': {
      TrowPtr g;
      if (kindLetter == 'C')
        g = TrowPool::makeIn<Ttransfer>(pool);
      else
        g = TrowPool::makeIn<TsofGroup>(pool);
      g->depth = *depth;
      return g;
    }
    case 'T': {
      if (!splitField(fields[1], key, value))
        return nullptr;
      auto t = TrowPool::makeIn<Ttransax>(pool);
      t->depth = *depth;
      if (key == "T") {
        if (value == "SETUP")
          t->subType = TRX_SETUP;
        else if (value == "IN")
          t->subType = TRX_IN;
        else if (value == "OUT")
          t->subType = TRX_OUT;
      } else {
        t->valid = false;
      }
      return t;
    }
    case 'Y': {
      auto r = TrowPool::makeIn<Treset>(pool);
      r->depth = *depth;
      const bool ok = forEachPiece(rest, ';', [&](Tview f) {
        if (!splitField(f, key, value))
          return false;
        if (key == "TI")
          return store(r->strt, readU64(value));
        if (key == "RL")
          return store(r->duration, readU32(value));
        if (key == "TL")
          return store(r->idleTicks, readU32(value));
        return true;
      });
      return ok ? r : nullptr;
    }
    case 'S':
    case 'K':
    case 'D':
    case 'H':
      return readPacket(kindLetter, *depth, kindAndRest, pool);
    default:
      return nullptr;
  }
}

}  // namespace rowutils
