// Transaction and transfer grouper: event rows to the tree of SOF runs, transactions and transfers.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>

#include "kvgroup.h"
#include "kvrowpool.h"

/// The open control transfer of one device endpoint.
struct TportInfo {
  std::shared_ptr<Ttransfer> transfer;
};

/// Groups the event rows of one capture into root rows. All the work happens in the
/// constructor; the object keeps nothing afterwards. Runs on one thread (the decode thread).
class TrawTree {
 public:
  /// Groups every row of events; appends the root rows to roots. Writes the tree depth into
  /// the event rows themselves (they are shared with the groups).
  TrawTree(const TrowVec& events, TrowVec& roots);
  ~TrawTree();
  TrawTree(const TrawTree&) = delete;
  TrawTree& operator=(const TrawTree&) = delete;

  /// Builds one root item from the row at index and moves index past the rows it took.
  /// False when index is at the end already or the item ran into the end of the events.
  bool getDisplayItem(size_t& index);
  bool doReset(size_t& index);
  bool doSOF(size_t& index);
  bool doSetup(size_t& index);
  bool doIn(size_t& index);
  bool doOut(size_t& index);

  /// The pid of a SOF, token, data or handshake row; -1 for any other row.
  static int getPid(const TrowPtr& row);
  /// Key of a device endpoint in ports: one per 7-bit address and 4-bit endpoint.
  static int portRef(int addr, int endp);

  /// Debug text: the row line of a row, for a group followed by the lines of its subtree in
  /// pre-order. Empty for a row of no known kind.
  static std::string prStrRawGrp(const TrowPtr& row);
  /// Writes prStrRawGrp of every root to a plain text file (created or truncated).
  /// False when the file cannot be written.
  bool save(const std::string& path) const;

 private:
  bool doInOut(size_t& index, TtrxType type);
  /// Appends the row at index to the transaction at the transaction's depth + 1.
  void takeInto(const std::shared_ptr<Ttransax>& trx, size_t& index);

  const TrowVec* events;
  TrowVec* roots;
  std::map<int, TportInfo> ports;
  TrowPool pool;  ///< the group rows of this grouping
};

namespace utils {
/// The row line of one row (empty for a row of no known kind).
std::string prStr(const TrowPtr& row);
}  // namespace utils
