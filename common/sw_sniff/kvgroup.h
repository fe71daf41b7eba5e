// Row classes: one decoded event (reset or packet) or one group of them, shared by pointer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kvcolours.h"

class Tbase;
using TrowPtr = std::shared_ptr<Tbase>;
using TrowVec = std::vector<TrowPtr>;
using TstringVec = std::vector<std::string>;

/// Kind of a row; code dispatches on it.
enum TrowKind : int {
  ROW_RESET = 0,
  ROW_SOF = 1,
  ROW_TOKEN = 2,
  ROW_DATA = 3,
  ROW_HANDSHAKE = 4,
  ROW_SOFGROUP = 5,
  ROW_TRANSAX = 6,
  ROW_TRANSFER = 7,
  ROW_NONE = 8,
};

/// 4-bit USB packet identifiers, the row index of utils::pidInfoTable.
enum TusbPid : int {
  PID_RESERVED = 0,
  PID_OUT = 1,
  PID_ACK = 2,
  PID_DATA0 = 3,
  PID_PING = 4,
  PID_SOF = 5,
  PID_NYET = 6,
  PID_DATA2 = 7,
  PID_SPLIT = 8,
  PID_IN = 9,
  PID_NAK = 10,
  PID_DATA1 = 11,
  PID_PRE = 12,
  PID_SETUP = 13,
  PID_STALL = 14,
  PID_MDATA = 15,
  PID_NONE = 99,
};

/// Transaction types.
enum TtrxType : int { TRX_SETUP = 0, TRX_IN = 1, TRX_OUT = 2, TRX_UNDEFINED = 3 };

/// Transfer types: the grouper makes control transfers only.
enum TtfrType : int { TFR_CONTROL = 3, TFR_DEFAULT = 4 };

/// One row of a capture.
class Tbase {
 public:
  Tbase() = default;
  virtual ~Tbase() = default;

  int kind = ROW_NONE;
  uint32_t depth = 0;          ///< tree level, 0 = root
  uint64_t strt = MAX_TICK;    ///< tick of the first sample; groups keep MAX_TICK
  bool valid = true;           ///< cleared by the row text parser on a malformed field
  int handle = 0;              ///< index in the flat row list
  int parent = -1;             ///< handle of the parent row, -1 at the root
  uint32_t ordinal = 6666;     ///< 1-based running number within its category

 protected:
  explicit Tbase(int k) : kind(k) {}
};

/// A bus reset: an SE0 period outside a packet.
class Treset : public Tbase {
 public:
  Treset() : Tbase(ROW_RESET) {}
  ~Treset() override = default;
  uint32_t duration = 0;   ///< ticks of the SE0 run
  uint32_t idleTicks = 0;  ///< ticks of the run after it
};

/// Common part of the packet rows.
class TpacketBase : public Tbase {
 public:
  TpacketBase() = default;
  ~TpacketBase() override = default;
  int pid = PID_NONE;      ///< 4-bit PID code, 99 = none
  uint32_t idleTicks = 0;  ///< ticks of the run after the end of packet

 protected:
  explicit TpacketBase(int k) : Tbase(k) {}
};

class Tsof : public TpacketBase {
 public:
  Tsof() : TpacketBase(ROW_SOF) {}
  ~Tsof() override = default;
  uint32_t frame = 0;
  uint32_t crc5 = 0;
  bool crcOK = true;
};

class Ttoken : public TpacketBase {
 public:
  Ttoken() : TpacketBase(ROW_TOKEN) {}
  ~Ttoken() override = default;
  uint32_t addr = 0;
  uint32_t endp = 0;
  uint32_t crc5 = 0;
  bool crcOK = true;
};

class Tdata : public TpacketBase {
 public:
  Tdata() : TpacketBase(ROW_DATA) {}
  ~Tdata() override = default;
  std::vector<uint8_t> data;  ///< payload without PID and CRC
  int crc16 = 0;              ///< the CRC as received, low byte first on the wire
  bool crcOK = true;
};

class Thandshake : public TpacketBase {
 public:
  Thandshake() : TpacketBase(ROW_HANDSHAKE) {}
  ~Thandshake() override = default;
};

/// Common part of the group rows.
class Tgrouper : public Tbase {
 public:
  Tgrouper() = default;
  /// Takes the depth from field 0 of a row line's fields.
  explicit Tgrouper(const TstringVec& fields);
  ~Tgrouper() override = default;
  TrowVec children;  ///< rows below, in time order

 protected:
  explicit Tgrouper(int k) : Tbase(k) {}
  Tgrouper(int k, const TstringVec& fields);
};

class TsofGroup : public Tgrouper {
 public:
  TsofGroup() : Tgrouper(ROW_SOFGROUP) {}
  explicit TsofGroup(const TstringVec& fields) : Tgrouper(ROW_SOFGROUP, fields) {}
  ~TsofGroup() override = default;
};

class Ttoken;
class Tdata;
class Thandshake;

class Ttransax : public Tgrouper {
 public:
  Ttransax() : Tgrouper(ROW_TRANSAX) {}
  explicit Ttransax(TtrxType t) : Tgrouper(ROW_TRANSAX), subType(t) {}
  /// Depth from field 0, subType from field 1 ("T:SETUP", "T:IN" or "T:OUT").
  explicit Ttransax(const TstringVec& fields);
  ~Ttransax() override = default;

  TtrxType subType = TRX_UNDEFINED;

  std::shared_ptr<Ttoken> findTokenPkt() const;
  std::shared_ptr<Tdata> findDataPkt() const;
  std::shared_ptr<Thandshake> findHandshakePkt() const;
  /// The first handshake child exists and is an ACK.
  bool ackOK() const;
};

class Ttransfer : public Tgrouper {
 public:
  Ttransfer() : Tgrouper(ROW_TRANSFER) {}
  explicit Ttransfer(TtfrType t) : Tgrouper(ROW_TRANSFER), subType(t) {}
  explicit Ttransfer(const TstringVec& fields) : Tgrouper(ROW_TRANSFER, fields) {}
  ~Ttransfer() override = default;

  TtfrType subType = TFR_DEFAULT;
  std::vector<uint8_t> data;  ///< cache of the data stage, filled by findData
  bool statusDone = false;    ///< an acknowledged zero-length status stage was seen

  /// From children[index] on, the first transaction of type t; index is left on it.
  /// None: null, and index is left at the number of children (unless already beyond it).
  std::shared_ptr<Ttransax> findTransax(TtrxType t, unsigned& index) const;
  std::shared_ptr<Ttransax> findSetupTransax() const;
  std::shared_ptr<Ttransax> findInTransax(unsigned& index) const;
  std::shared_ptr<Ttransax> findOutTransax(unsigned& index) const;
  /// The data-stage bytes (cached); also sets statusDone. Not const: it fills the cache.
  std::vector<uint8_t>& findData();
};
