// Packet decoder: line-state runs to packet and reset rows.
#include "kvrawevt.h"

#include "crc.h"
#include <algorithm>

#include "kvutils.h"

namespace {

constexpr uint8_t LEVEL_K = 0;
constexpr uint8_t LEVEL_J = 1;

// A full-speed packet is at most 1027 bytes before stuffing; a "packet" far longer than that is
// line noise without an end of packet. Its samples beyond this cap are consumed but not kept, so
// a broken stream cannot make the decoder allocate memory in proportion to an idle run.
constexpr size_t MAX_PACKET_SAMPLES = size_t{1} << 16;

inline uint8_t myAt(const std::vector<uint8_t>& v, size_t i) { return i < v.size() ? v[i] : 0; }

}  // namespace

Tevents::Tevents(const std::vector<uint8_t>& data) : raw(data) {}

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

bool Tevents::getTrash(const TrawItem&) { return true; }

bool Tevents::getUSBreset(TrowVec& events, const TrawItem& first) {
  auto r = std::make_shared<Treset>();
  r->strt = first.strt;
  r->duration = static_cast<uint32_t>(first.count);
  TrawItem idle;
  if (!getVal(idle))
    return false;
  r->idleTicks = static_cast<uint32_t>(idle.count);
  events.push_back(std::move(r));
  return true;
}

int Tevents::doSyncPattern(const std::vector<uint8_t>& s) {
  if (s.size() < 8)
    return 0;
  static const uint8_t SYNC8[8] = {LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_K};
  static const uint8_t SYNC6[6] = {LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_J, LEVEL_K, LEVEL_K};
  if (std::equal(SYNC8, SYNC8 + 8, s.begin()))
    return 8;
  if (std::equal(SYNC6, SYNC6 + 6, s.begin()))
    return 6;
  return 0;
}

void Tevents::doConvertToBin(std::vector<uint8_t>&, size_t) {
  // Samples are collected as levels already (K 0, J 1; SE1 was turned into one J), so nothing
  // is left to convert.
}

void Tevents::doNRZI(std::vector<uint8_t>& s, size_t from) {
  uint8_t prev = LEVEL_K;  // the level of the sync's last K
  for (size_t i = from; i < s.size(); ++i) {
    const uint8_t level = s[i];
    s[i] = level == prev ? 1 : 0;
    prev = level;
  }
}

void Tevents::doUnStuff(const std::vector<uint8_t>& bits, size_t from, std::vector<uint8_t>& out) {
  out.clear();
  int ones = 0;
  unsigned cur = 0;
  int nbits = 0;
  for (size_t i = from; i < bits.size(); ++i) {
    if (ones == 6) {  // the bit after six ones is a stuffed bit: dropped unseen
      ones = 0;
      continue;
    }
    const unsigned b = bits[i];
    ones = b ? ones + 1 : 0;
    cur |= b << nbits;
    if (++nbits == 8) {
      out.push_back(static_cast<uint8_t>(cur));
      cur = 0;
      nbits = 0;
    }
  }
}

bool Tevents::getPacket(TrowVec& events, const TrawItem& first) {
  samples.assign(std::min<size_t>(static_cast<size_t>(first.count), MAX_PACKET_SAMPLES), LEVEL_K);
  TrawItem item;
  for (;;) {
    if (!getVal(item))
      return false;  // the stream ends inside the packet
    if (item.val == LS_SE0)
      break;
    const size_t room = MAX_PACKET_SAMPLES - samples.size();
    if (item.val == LS_SE1) {
      if (room)
        samples.push_back(LEVEL_J);  // a glitch counts as one J bit time whatever its length
    } else {
      samples.insert(samples.end(), std::min<size_t>(static_cast<size_t>(item.count), room),
                     item.val == LS_K ? LEVEL_K : LEVEL_J);
    }
  }
  TrawItem idle;
  if (!getVal(idle))
    return false;

  const int sync = doSyncPattern(samples);
  if (!sync)
    return true;  // no valid sync: the packet is dropped
  doConvertToBin(samples, static_cast<size_t>(sync));
  doNRZI(samples, static_cast<size_t>(sync));
  doUnStuff(samples, static_cast<size_t>(sync), bytes);
  if (bytes.empty())
    return true;  // no PID byte

  const int pid = bytes[0] & 0x0F;
  const uint8_t b1 = myAt(bytes, 1), b2 = myAt(bytes, 2);
  const uint8_t field[2] = {b1, b2};
  const uint32_t v = b1 + 256u * b2;
  std::shared_ptr<TpacketBase> row;
  switch (utils::packetType(pid)) {
    case L0_TOKEN: {
      auto t = std::make_shared<Ttoken>();
      t->addr = v & 0x7F;
      t->endp = (v >> 7) & 0x0F;
      t->crc5 = (v >> 11) & 0x1F;
      t->crcOK = crc::checkCRC5(field);
      row = std::move(t);
      break;
    }
    case L0_SOF: {
      auto s = std::make_shared<Tsof>();
      s->frame = v & 0x7FF;
      s->crc5 = (v >> 11) & 0x1F;
      s->crcOK = crc::checkCRC5(field);
      row = std::move(s);
      break;
    }
    case L0_DATA: {
      auto d = std::make_shared<Tdata>();
      const size_t n = bytes.size();
      if (n >= 3) {
        d->crc16 = bytes[n - 2] | (bytes[n - 1] << 8);
        d->data.assign(bytes.begin() + 1, bytes.end() - 2);
        d->crcOK = crc::checkCRC16(d->data.data(), d->data.size(), static_cast<uint16_t>(d->crc16));
      }
      row = std::move(d);
      break;
    }
    case L0_HANDSHAKE:
      row = std::make_shared<Thandshake>();
      break;
    default:
      return true;  // special and reserved PIDs have no row class: dropped like a bad sync
  }
  row->strt = first.strt;
  row->pid = pid;
  row->idleTicks = static_cast<uint32_t>(idle.count);
  events.push_back(std::move(row));
  return true;
}
