// Packet decoder: line-state runs to packet and reset rows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kvgroup.h"
#include "kvraw.h"
#include "kvrowpool.h"

/// Decodes a raw capture stream into the event rows (resets and packets) in time order.
class Tevents {
 public:
  /// getEvents stops after this many events even if runs are left.
  static constexpr uint64_t MAX_EVENTS = 100000000;
  /// A full-speed packet is at most 1027 bytes before stuffing; a "packet" of more bit times
  /// than this is line noise without an end of packet and is dropped like one with a bad sync.
  static constexpr uint64_t MAX_PACKET_SAMPLES = uint64_t{1} << 16;

  /// Borrows the bytes, which must outlive the decoder and stay unchanged.
  explicit Tevents(std::span<const uint8_t> data);
  /// The decoder keeps a view: a temporary vector would be gone before the first read.
  explicit Tevents(std::vector<uint8_t>&&) = delete;

  /// Decodes the event that starts with the next run, appends at most one row and sets pos to
  /// the bytes consumed. False when the stream has ended (also inside a packet).
  bool getNextEvent(TrowVec& events, uint64_t& pos);
  /// A close estimate of the number of events in a stream, to reserve the event vector once:
  /// the symbol bytes that hold an SE0 sample (every packet and reset ends in one), plus a
  /// little room, at most one per eight stream bytes. One quick pass over the bytes.
  static size_t estimateEvents(std::span<const uint8_t> data);
  /// The whole stream in one call.
  void getEvents(TrowVec& events);

  bool getUSBreset(TrowVec& events, const TrawItem& first);
  bool getPacket(TrowVec& events, const TrawItem& first);
  bool getTrash(const TrawItem& first);
  bool getVal(TrawItem& item);
  // The packet steps one at a time over stored samples (levels: K 0, J 1). getPacket runs the
  // same NRZI decoding and unstuffing code on the fly, without storing the samples.
  /// The sync length that the samples begin with: 8 or 6, 0 when there is none.
  static int doSyncPattern(const std::vector<uint8_t>& samples);
  /// Replaces the levels from index from on by their NRZI bits.
  static void doNRZI(std::vector<uint8_t>& samples, size_t from);
  /// The bytes of the bits from index from on, stuffed bits dropped, a last partial byte too.
  static void doUnStuff(const std::vector<uint8_t>& bits, size_t from, std::vector<uint8_t>& bytes);
  /// The row of a packet from its unstuffed bytes (n at least 1, the PID byte first), with its
  /// PID and the fields of its PID type; null for a PID type without a row class. Start tick and
  /// idle ticks are left to the caller. From the pool when one is given.
  static std::shared_ptr<TpacketBase> packetRow(const uint8_t* bytes, size_t n, TrowPool* pool = nullptr);

 private:
  Traw raw;
  TrowPool pool;  ///< the rows of this decode
};
