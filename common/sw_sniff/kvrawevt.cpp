// Packet decoder: line-state runs to packet and reset rows.
#include "kvrawevt.h"

#include <algorithm>
#include <cstring>

#include "crc.h"
#include "kvutils.h"

namespace {

constexpr uint8_t LEVEL_K = 0;
constexpr uint8_t LEVEL_J = 1;

constexpr uint64_t MAX_PACKET_SAMPLES = Tevents::MAX_PACKET_SAMPLES;

// The sync patterns as levels, and the samples that must be known to tell them apart.
constexpr uint8_t SYNC8[8] = {LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_K};
constexpr uint8_t SYNC6[6] = {LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_K};
constexpr size_t SYNC_WINDOW = 8;

/// After this many one bits in a row the next bit is a stuffed bit.
constexpr unsigned STUFF_AFTER = 6;
/// Most bits that one call hands to a sink.
constexpr unsigned MAX_PUT = 32;
/// Extensions up to this length go with their symbol byte's six samples in one put.
constexpr uint64_t SHORT_EXTENSION = MAX_PUT - 6;

/// The sync that the first levels of a packet begin with: 8 or 6; 0 for none, or when fewer
/// than SYNC_WINDOW levels are known.
int findSync(const uint8_t* levels, size_t n) {
  if (n < SYNC_WINDOW)
    return 0;
  if (std::equal(SYNC8, SYNC8 + 8, levels))
    return 8;
  if (std::equal(SYNC6, SYNC6 + 6, levels))
    return 6;
  return 0;
}

// NRZI decoding and bit unstuffing of one packet: the only implementation of both, behind the
// named steps (doNRZI, doUnStuff), the decoder's sample-by-sample path and the table of its
// symbol-byte path. Kept bits go to the sink, first received first.
template <class Sink>
class TbitDecoder {
 public:
  constexpr explicit TbitDecoder(unsigned ones = 0, unsigned level = LEVEL_K) : onesRun(ones), prev(level) {}

  /// The NRZI bit of a level: 1 when it equals the level before, 0 when it changed.
  static constexpr unsigned nrzi(unsigned level, unsigned& before) {
    const unsigned bit = level == before ? 1u : 0u;
    before = level;
    return bit;
  }

  /// One sample's level.
  constexpr void level(unsigned lvl) { bit(nrzi(lvl, prev)); }
  /// n more samples at the level of the last one: n one bits, of which every seventh counted
  /// from the last zero is a stuffed bit and dropped. The kept bits are all ones.
  constexpr void sameLevel(uint64_t n) {
    const uint64_t upTo = onesRun + n;
    uint64_t kept = n - upTo / (STUFF_AFTER + 1);
    onesRun = static_cast<unsigned>(upTo % (STUFF_AFTER + 1));
    for (; kept > MAX_PUT; kept -= MAX_PUT) sink.put((uint64_t{1} << MAX_PUT) - 1, MAX_PUT);
    sink.put((uint64_t{1} << kept) - 1, static_cast<unsigned>(kept));
  }
  /// One decoded bit: the bit after STUFF_AFTER one bits is dropped unseen, whatever it is.
  constexpr void bit(unsigned b) {
    if (onesRun == STUFF_AFTER) {
      onesRun = 0;
      return;
    }
    onesRun = b ? onesRun + 1 : 0;
    sink.put(b, 1);
  }

  Sink sink;
  unsigned onesRun;  ///< one bits in a row so far
  unsigned prev;     ///< level of the last sample
};

// Records the kept bits of a few samples (at most 6 here), for the table below.
struct TbitRecord {
  uint8_t bits = 0;
  uint8_t count = 0;
  constexpr void put(uint64_t b, unsigned n) {
    bits = static_cast<uint8_t>(bits | b << count);
    count = static_cast<uint8_t>(count + n);
  }
};

// Packs kept bits into bytes, least significant bit first, and hands each whole byte to the
// store; a last partial byte is dropped.
template <class Store>
struct TbyteSink : Store {
  unsigned cur = 0;
  unsigned nbits = 0;
  void put(uint64_t b, unsigned n) {
    for (; n > 0; --n, b >>= 1) {
      cur |= static_cast<unsigned>(b & 1) << nbits;
      if (++nbits == 8) {
        this->store(static_cast<uint8_t>(cur));
        cur = 0;
        nbits = 0;
      }
    }
  }
};

struct TvectorStore {
  std::vector<uint8_t>* out = nullptr;
  void store(uint8_t b) { out->push_back(b); }
};

// Packs kept bits of one packet into its fixed buffer: a packet keeps at most
// MAX_PACKET_SAMPLES samples, so at most that many bits. The bits gather in a 64-bit accumulator
// that is stored whole after every put, the write position moving on by the bytes completed; so
// no put branches on a byte boundary. A last partial byte is never counted. The buffer is
// written before it is read and needs no initialising.
struct TpacketSink {
  uint8_t out[MAX_PACKET_SAMPLES / 8 + 2 * sizeof(uint64_t)];
  size_t filled = 0;
  uint64_t acc = 0;    ///< bits not yet in a whole byte (fewer than 8 between puts)
  unsigned nbits = 0;
  void put(uint64_t b, unsigned n) { put(out, filled, acc, nbits, b, n); }
  /// The same on copies of the state, which a loop can keep in registers.
  static void put(uint8_t* to, size_t& at, uint64_t& bits, unsigned& count, uint64_t b, unsigned n) {
    bits |= b << count;
    count += n;
    std::memcpy(to + at, &bits, sizeof bits);
    const unsigned whole = count & ~7u;
    at += whole / 8;
    bits >>= whole;
    count -= whole;
  }
};
static_assert(MAX_PUT + 7 < 64, "a put and the bits before it fit the accumulator");

// One symbol byte of six J/K samples decoded in a single step: for every count of one bits
// before it (0..6) and level of the sample before (K 0, J 1), what TbitDecoder makes of the six
// samples.
struct TsixStep {
  uint8_t bits;   // kept bits, first received in bit 0
  uint8_t count;  // number of kept bits
  uint8_t ones;   // one bits in a row afterwards (6: the next bit is dropped)
  uint8_t unused;
};

// upTo / 7 for the small values that a short extension gives, by a multiply and a shift.
constexpr unsigned divSeven(unsigned upTo) { return (upTo * 37) >> 8; }
constexpr bool divSevenHolds() {
  for (unsigned v = 0; v <= STUFF_AFTER + SHORT_EXTENSION; ++v)
    if (divSeven(v) != v / (STUFF_AFTER + 1)) return false;
  return true;
}
static_assert(divSevenHolds());

struct TsixBits {
  uint64_t bits;   // kept bits, first received in bit 0
  unsigned count;  // number of kept bits
  unsigned ones;   // one bits in a row afterwards
};

struct TsixTable {
  TsixStep step[STUFF_AFTER + 1][2][64];
  constexpr TsixTable() : step{} {
    for (unsigned ones = 0; ones <= STUFF_AFTER; ++ones)
      for (unsigned prev = 0; prev < 2; ++prev)
        for (unsigned sym = 0; sym < 64; ++sym) {
          TbitDecoder<TbitRecord> d(ones, prev);
          for (int i = 5; i >= 0; --i)  // bit 5 is the earliest sample
            d.level((sym >> i) & 1);
          step[ones][prev][sym] = {d.sink.bits, d.sink.count, static_cast<uint8_t>(d.onesRun), 0};
        }
  }
};

constexpr TsixTable SIX_STEPS;

// A symbol byte of six J/K samples (bit 5 the earliest, 1 = J) with a short extension of its
// latest sample, after `ones` one bits and a sample at level prev: the table's bits, then the
// extension's one bits (as TbitDecoder::sameLevel gives them) in the same word.
inline TsixBits sixWithExtension(unsigned ones, unsigned prev, unsigned sym, unsigned extension) {
  const TsixStep s = SIX_STEPS.step[ones][prev][sym & 0x3F];
  const unsigned upTo = s.ones + extension;
  const unsigned dropped = divSeven(upTo);
  const unsigned kept = extension - dropped;
  return {s.bits | ((uint64_t{1} << kept) - 1) << s.count, s.count + kept, upTo - dropped * (STUFF_AFTER + 1)};
}

// Collects the line levels of one packet and turns them into its unstuffed bytes on the fly:
// the first eight samples are kept for the sync check, every later one goes straight into the
// bit decoder. The result equals the named steps run over the stored samples.
class TpacketBits {
 public:
  TpacketBits() = default;
  TpacketBits(const TpacketBits&) = delete;
  TpacketBits& operator=(const TpacketBits&) = delete;

  /// The whole bytes decoded so far.
  const uint8_t* data() const { return dec.sink.out; }
  size_t size() const { return dec.sink.filled; }

  /// Appends n samples of one level. False when the first eight samples are no sync.
  bool addRun(uint8_t level, uint64_t n) {
    if (n == 0)
      return true;
    if (head < SYNC_WINDOW) {
      while (head < SYNC_WINDOW && n > 0) {
        window[head++] = level;
        --n;
      }
      if (head < SYNC_WINDOW)
        return true;
      sync = findSync(window, SYNC_WINDOW);
      if (!sync)
        return false;
      for (size_t i = static_cast<size_t>(sync); i < SYNC_WINDOW; ++i)
        dec.level(window[i]);
      if (n == 0)
        return true;
    }
    dec.level(level);
    dec.sameLevel(n - 1);
    return true;
  }

  /// In the data part of the packet (after the sync window): a symbol byte's six samples
  /// (bit 5 the earliest, 1 = J), its latest one lengthened by extension samples.
  void addSix(unsigned levels, uint64_t extension) {
    const unsigned prev = dec.prev;
    dec.prev = levels & 1;
    if (extension <= SHORT_EXTENSION) {
      const TsixBits r = sixWithExtension(dec.onesRun, prev, levels, static_cast<unsigned>(extension));
      dec.sink.put(r.bits, r.count);
      dec.onesRun = r.ones;
      return;
    }
    const TsixStep& s = SIX_STEPS.step[dec.onesRun][prev][levels & 0x3F];
    dec.sink.put(s.bits, s.count);
    dec.onesRun = s.ones;
    dec.sameLevel(extension);
  }

  /// In the data part of the packet: decodes the six-sample symbol bytes from p on, as long as
  /// each is followed either by a symbol byte or by one start byte of a short extension and then
  /// a symbol byte; stops before any other byte and before last (p[1] and p[2] are read). The
  /// form is told without a branch, and the decoder's state stays in registers meanwhile.
  /// Counts the samples into length, and stops after the byte that takes it beyond
  /// MAX_PACKET_SAMPLES, storing nothing of it. Returns where it stopped.
  const uint8_t* addSixBytes(const uint8_t* p, const uint8_t* last, uint64_t& length) {
    uint64_t acc = dec.sink.acc;
    unsigned nbits = dec.sink.nbits;
    size_t filled = dec.sink.filled;
    unsigned ones = dec.onesRun, prev = dec.prev;
    uint64_t len = length;
    uint8_t* const out = dec.sink.out;
    while (p < last) {
      const unsigned sym = p[0], next = p[1], after = p[2];
      const unsigned isStart = (next >> 6) == 2u;
      const unsigned simple = ((next >> 7) ^ 1u) | (isStart & ((after >> 7) ^ 1u));
      const unsigned extension = next & 0x3Fu & (0u - isStart);
      if ((sym >> 6) | (simple ^ 1u) | (extension > SHORT_EXTENSION)) break;
      p += 1 + isStart;
      len += 6 + extension;
      if (len > MAX_PACKET_SAMPLES) break;
      const TsixBits r = sixWithExtension(ones, prev, sym, extension);
      ones = r.ones;
      prev = sym & 1;
      TpacketSink::put(out, filled, acc, nbits, r.bits, r.count);
    }
    dec.sink.acc = acc;
    dec.sink.nbits = nbits;
    dec.sink.filled = filled;
    dec.onesRun = ones;
    dec.prev = prev;
    length = len;
    return p;
  }

  bool inData() const { return head >= SYNC_WINDOW; }
  /// Length of the sync found: 8 or 6; 0 while fewer than eight samples are known.
  int syncLength() const { return sync; }

 private:
  TbitDecoder<TpacketSink> dec;
  uint8_t window[SYNC_WINDOW] = {};
  size_t head = 0;
  int sync = 0;
};

// The fast path of a packet's data: consumes six-sample symbol bytes from the reader's position
// as long as each is followed by no count byte or by one start byte and then a symbol byte (the
// forms that nearly all bytes take), handing their samples to the packet. It stops before any
// other byte, and within the last two bytes of the stream, leaving those to the reader; the runs
// it consumes are counted in the reader's ticks as getVal would. False when the packet has
// grown beyond MAX_PACKET_SAMPLES, with the byte that did it consumed.
bool takeSixBytes(Traw& raw, TpacketBits& bits, uint64_t& length) {
  if (raw.stream.size() - raw.ix < 3)
    return true;
  const uint8_t* const begin = raw.stream.data();
  const uint64_t before = length;
  const uint8_t* const p = bits.addSixBytes(begin + raw.ix, begin + raw.stream.size() - 2, length);
  raw.ix = static_cast<uint64_t>(p - begin);
  raw.total += length - before;
  return length <= MAX_PACKET_SAMPLES;
}

}  // namespace

Tevents::Tevents(std::span<const uint8_t> data) : raw(data) {}

bool Tevents::getVal(TrawItem& item) { return raw.getItem(item); }

bool Tevents::getNextEvent(TrowVec& events, uint64_t& pos) {
  TrawItem item;
  if (!getVal(item)) {
    pos = raw.getRawDataIx();
    return false;
  }
  bool ok;
  switch (item.val) {
    case LS_SE0: ok = getUSBreset(events, item); break;
    case LS_K: ok = getPacket(events, item); break;
    default: ok = getTrash(item); break;
  }
  pos = raw.getRawDataIx();
  return ok;
}

void Tevents::getEvents(TrowVec& events) {
  events.reserve(events.size() + raw.size() / 20);
  uint64_t pos = 0;
  for (uint64_t n = 0; n < MAX_EVENTS; ++n)
    if (!getNextEvent(events, pos))
      break;
}

size_t Tevents::estimateEvents(std::span<const uint8_t> data) {
  // A three-sample symbol byte (top bits 01) with one of its 2-bit samples 00. Counted in byte
  // lanes over blocks short enough that a lane cannot overflow, so the compiler vectorises it.
  constexpr size_t BLOCK = 255;
  size_t n = 0;
  const uint8_t* p = data.data();
  for (size_t left = data.size(); left > 0;) {
    const size_t len = std::min(left, BLOCK);
    uint8_t count = 0;
    for (size_t i = 0; i < len; ++i) {
      const uint8_t b = p[i];
      const uint8_t x = static_cast<uint8_t>(b ^ 0x3Fu);  // a 00 sample becomes 11
      const uint8_t se0 = static_cast<uint8_t>(x & (x >> 1) & 0x15u);
      count = static_cast<uint8_t>(count + (((b & 0xC0u) == 0x40u) & (se0 != 0)));
    }
    n += count;
    p += len;
    left -= len;
  }
  // A stream of noise can hold far more such bytes than events: the reservation stays within
  // twice the stream's size (16 bytes per entry), beyond which the vector simply grows.
  return std::min(n + n / 64, data.size() / 8) + 16;
}

bool Tevents::getTrash(const TrawItem&) { return true; }

bool Tevents::getUSBreset(TrowVec& events, const TrawItem& first) {
  auto r = pool.make<Treset>();
  r->strt = first.strt;
  r->duration = static_cast<uint32_t>(first.count);
  TrawItem idle;
  if (!getVal(idle))
    return false;
  r->idleTicks = static_cast<uint32_t>(idle.count);
  events.push_back(std::move(r));
  return true;
}

int Tevents::doSyncPattern(const std::vector<uint8_t>& s) { return findSync(s.data(), s.size()); }

void Tevents::doNRZI(std::vector<uint8_t>& s, size_t from) {
  unsigned prev = LEVEL_K;  // the level of the sync's last K
  for (size_t i = from; i < s.size(); ++i)
    s[i] = static_cast<uint8_t>(TbitDecoder<TbitRecord>::nrzi(s[i], prev));
}

void Tevents::doUnStuff(const std::vector<uint8_t>& bits, size_t from, std::vector<uint8_t>& out) {
  out.clear();
  TbitDecoder<TbyteSink<TvectorStore>> dec;
  dec.sink.out = &out;
  for (size_t i = from; i < bits.size(); ++i)
    dec.bit(bits[i]);
}

std::shared_ptr<TpacketBase> Tevents::packetRow(const uint8_t* bytes, size_t nbytes, TrowPool* pool) {
  const int pid = bytes[0] & 0x0F;
  // A missing field byte reads as 0.
  const uint8_t b1 = nbytes > 1 ? bytes[1] : 0, b2 = nbytes > 2 ? bytes[2] : 0;
  const uint8_t field[2] = {b1, b2};
  const uint32_t v = b1 + 256u * b2;
  std::shared_ptr<TpacketBase> row;
  switch (utils::packetType(pid)) {
    case L0_TOKEN: {
      auto t = TrowPool::makeIn<Ttoken>(pool);
      t->addr = v & 0x7F;
      t->endp = (v >> 7) & 0x0F;
      t->crc5 = (v >> 11) & 0x1F;
      t->crcOK = crc::checkCRC5(field);
      row = std::move(t);
      break;
    }
    case L0_SOF: {
      auto s = TrowPool::makeIn<Tsof>(pool);
      s->frame = v & 0x7FF;
      s->crc5 = (v >> 11) & 0x1F;
      s->crcOK = crc::checkCRC5(field);
      row = std::move(s);
      break;
    }
    case L0_DATA: {
      auto d = TrowPool::makeIn<Tdata>(pool);
      const size_t n = nbytes;
      if (n >= 3) {  // the CRC is always its last two bytes
        d->crc16 = bytes[n - 2] | (bytes[n - 1] << 8);
        d->data.assign(bytes + 1, bytes + n - 2);
        d->crcOK = crc::checkCRC16(d->data.data(), d->data.size(), static_cast<uint16_t>(d->crc16));
      }
      row = std::move(d);
      break;
    }
    case L0_HANDSHAKE:
      row = TrowPool::makeIn<Thandshake>(pool);
      break;
    default:
      return nullptr;
  }
  row->pid = pid;
  return row;
}

bool Tevents::getPacket(TrowVec& events, const TrawItem& first) {
  // Samples are kept only while the packet can still give a row: a bad sync or a packet
  // longer than any legal one is consumed through its end of packet and idle run, keeping
  // nothing more, so memory follows the stream's size and not the run lengths it claims.
  TpacketBits bits;
  uint64_t length = static_cast<uint64_t>(first.count);
  bool storing = length <= MAX_PACKET_SAMPLES;
  if (storing && length >= 8)
    storing = false;  // eight K in a row are no sync
  if (storing)
    bits.addRun(LEVEL_K, length);
  TrawItem item;
  for (;;) {
    // Inside the data of a packet most symbol bytes hold six J/K samples: those are decoded
    // a byte at a time instead of run by run, straight from the stream while they come with
    // no count byte or one start byte.
    if (storing && bits.inData() && raw.top < 0 && raw.headerOk)
      storing = takeSixBytes(raw, bits, length);
    unsigned levels;
    int extension;
    if (storing && bits.inData() && raw.takeSixSamples(levels, extension)) {
      length += 6 + static_cast<uint64_t>(extension);
      if (length > MAX_PACKET_SAMPLES)
        storing = false;
      else
        bits.addSix(levels, static_cast<uint64_t>(extension));
      continue;
    }
    if (!getVal(item))
      return false;  // the stream ends inside the packet
    if (item.val == LS_SE0)
      break;
    // A glitch counts as one J bit time whatever its length.
    const uint64_t n = item.val == LS_SE1 ? 1 : static_cast<uint64_t>(item.count);
    length += n;
    if (!storing)
      continue;
    if (length > MAX_PACKET_SAMPLES) {
      storing = false;
      continue;
    }
    if (!bits.addRun(item.val == LS_K ? LEVEL_K : LEVEL_J, n))
      storing = false;  // bad sync: the rest of the packet is skipped
  }
  TrawItem idle;
  if (!getVal(idle))
    return false;
  if (!storing || !bits.syncLength())
    return true;  // dropped without a row: no valid sync (or fewer than eight samples)
  const uint8_t* bytes = bits.data();
  const size_t nbytes = bits.size();
  if (nbytes == 0)
    return true;  // no PID byte

  auto row = packetRow(bytes, nbytes, &pool);
  if (!row)
    return true;  // special and reserved PIDs have no row class: dropped like a bad sync
  row->strt = first.strt;
  row->idleTicks = static_cast<uint32_t>(idle.count);
  events.push_back(std::move(row));
  return true;
}
