// Flat row list, the decode steps between the three views of a capture, and sample files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kvgroup.h"

/// Flag bits of a flat row.
inline constexpr uint8_t LINROW_SOF = 0x01;        ///< a SOF, a SOF group or a row below one
inline constexpr uint8_t LINROW_PACKET = 0x04;     ///< a packet, a SOF group or a row below one
inline constexpr uint8_t LINROW_USER = 0x08;       ///< the user's mark
inline constexpr uint8_t LINROW_VIS_KNOWN = 0x40;  ///< LINROW_VISIBLE is up to date
inline constexpr uint8_t LINROW_VISIBLE = 0x80;    ///< the row passes the filter settings

/// One entry of the flat row list: a row shared with the tree and its flag bits.
struct TlinRow {
  TlinRow(TrowPtr r, uint8_t f) : row(std::move(r)), flags(f) {}

  TrowPtr row;
  uint8_t flags;
};

using TlinRowVec = std::vector<TlinRow>;

/// The steps from raw bytes to events, events to tree roots and roots to the flat list, and
/// the sample-file reader and writer. Use a fresh object per decode, load or save: the running
/// numbers continue from the counters. Not shared between threads.
class TdataIO {
 public:
  /// Magic that opens a sample file, newline included.
  static constexpr const char* FILE_MAGIC = "KVFMT01\n";
  static constexpr size_t FILE_MAGIC_LEN = 8;
  /// Digits of the length line read at most.
  static constexpr int MAX_LENGTH_DIGITS = 12;
  /// The reader stops after this many rows.
  static constexpr uint32_t MAX_FILE_ROWS = 4294967195u;
  /// Longest line the reader takes (a row line is at most a few KiB); longer lines are skipped.
  static constexpr size_t MAX_LINE_LENGTH = size_t{64} << 10;
  /// Open levels of the reader. The grouper builds three (depth 0 to 2); rows nested deeper
  /// than this are dropped, which bounds the recursion of flattening and of freeing the tree.
  static constexpr int MAX_LEVELS = 64;

  TdataIO() = default;
  ~TdataIO() = default;
  TdataIO(const TdataIO&) = delete;
  TdataIO& operator=(const TdataIO&) = delete;

  /// Clears events, then decodes the raw stream into them; progress (if set) gets the raw byte
  /// position after each event. The bytes are read in place, never copied. Throws
  /// std::bad_alloc, with the rows made so far in events, when the decode and the grouping and
  /// flattening after it would not fit into the memory the system can give (checked before the
  /// first row, as the rows come and after the last, see utils::memoryFits; a small decode
  /// never asks).
  void rawDataToEventVec(std::span<const uint8_t> raw, const std::shared_ptr<TrowVec>& events,
                         const std::function<void(size_t)>& progress);
  /// Clears roots, then groups the events into them. Throws std::bad_alloc, before any root,
  /// when the roots and the least flat list of the events would not fit.
  void eventVecToTreeRootVec(const std::shared_ptr<TrowVec>& events,
                             const std::shared_ptr<TrowVec>& roots);
  /// Clears the flat list, then flattens every root into it. Throws std::bad_alloc, before any
  /// row, when the flat list would not fit.
  void treeRootVecToLinVec(const std::shared_ptr<TrowVec>& roots,
                           const std::shared_ptr<TlinRowVec>& lin);
  /// Appends the row and its subtree in pre-order; sets handle, parent and ordinal of each row.
  void treeRow2Linear(const TrowPtr& row, int parentHandle, const std::shared_ptr<TlinRowVec>& lin,
                      uint8_t flags);
  /// The three steps in one call on this thread; the size of the flat list, 0 as soon as a
  /// view comes out empty.
  unsigned loadRawData(const std::vector<uint8_t>& raw, const std::shared_ptr<TrowVec>& events,
                       const std::shared_ptr<TrowVec>& roots, const std::shared_ptr<TlinRowVec>& lin);

  /// Reads a sample file into roots and the flat list. Returns the rows read (rows without a
  /// parent included), 0 when the file is rejected (vectors untouched) or holds no row (vectors
  /// emptied). Rejected: not a regular file (a FIFO or a device is not opened for reading),
  /// damaged, or its rows would not fit into the memory the system can give (checked as the
  /// load goes, see utils::memoryFits). Lines longer than MAX_LINE_LENGTH are skipped. Throws
  /// nothing: a load that fails on the way gives 0 and leaves the vectors as they were.
  uint32_t loadLinearFile(const std::string& path, const std::shared_ptr<TrowVec>& roots,
                          const std::shared_ptr<TlinRowVec>& lin);
  /// Reads a sample file into fresh vectors and swaps them into roots and lin only when it
  /// yields flat rows (holders of the old pointers keep the old vectors). The new number of
  /// flat rows, or 0 when nothing changed (also when the load ran out of memory).
  static size_t swapInLinearFile(const std::string& path, std::shared_ptr<TrowVec>& roots,
                                 std::shared_ptr<TlinRowVec>& lin);
  /// Writes the flat list as a sample file. Returns the rows written, 0 when the file cannot
  /// be created or written; an earlier file at the path then stays as it was. Throws nothing.
  uint32_t saveLinearToFile(const std::shared_ptr<TlinRowVec>& lin, const std::string& path);
  /// Reads a raw capture stream file (below 4 GiB) and decodes it with loadRawData.
  uint32_t loadRawFile(const std::string& path, const std::shared_ptr<TrowVec>& events,
                       const std::shared_ptr<TrowVec>& roots, const std::shared_ptr<TlinRowVec>& lin);
  /// Writes the row line of every event row to a plain text file. Returns the rows written,
  /// 0 when the file cannot be created or written.
  size_t saveEventsToFile(const std::shared_ptr<TrowVec>& events, const std::string& path);

  /// Reader: appends the row to the open list of its depth, or drops it when there is none.
  void addToParent(const TrowPtr& row);
  /// Reader: makes list the one that receives rows of level. A level up to the number of open
  /// levels (and below MAX_LEVELS) is taken; false for any other, and nothing changes.
  bool setParentList(TrowVec* list, int level);

  std::vector<TrowVec*> Fparents;  ///< reader only: the list receiving rows of each depth
  uint32_t resets = 0;
  uint32_t packets = 0;
  uint32_t transactions = 0;
  uint32_t transfers = 0;
  uint32_t sofGroups = 0;

 private:
  uint32_t readLinearFile(const std::string& path, TrowVec& roots, TlinRowVec& lin);
};
