// Display data: the rows on screen, their visibility filters, boxes, decode strings and Lua state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kvboxes.h"
#include "kvdataio.h"
#include "kvgroup.h"

struct lua_State;

/// What a capture run hands back: whether it ended with OK, and the tree roots and flat rows of
/// its last decode (either may be null).
struct TcaptureResult {
  bool ok = false;
  std::shared_ptr<TrowVec> treeVec;
  std::shared_ptr<TlinRowVec> linVec;
};

/// Runs the modal capture dialog and returns its result. The desktop program installs one that
/// runs the real dialog; tests install their own.
using TcaptureRunner = std::function<TcaptureResult()>;

/// The decoded capture on screen and everything the tree view and the row cache ask about it.
/// Everything here runs on the GUI thread.
class TdisplData {
 public:
  /// Rows empty; opens the Lua state and runs "./scripts/init.lua"; subscribes the sample-file
  /// save handler to the hub.
  TdisplData();
  /// Withdraws the hub subscription and closes the Lua state.
  ~TdisplData();
  TdisplData(const TdisplData&) = delete;
  TdisplData& operator=(const TdisplData&) = delete;

  int rowCount() const { return static_cast<int>(linRows->size()); }
  /// 0 <= ix < rowCount().
  bool linRowIxOK(int ix) const { return ix >= 0 && ix < rowCount(); }
  /// The row of flat row ix, null when ix is not valid.
  TrowPtr getDisplRowPtr(int ix) const;
  /// The flag byte of flat row ix (0 when ix is not valid).
  uint8_t rowFlags(int ix) const;

  /// Whether row ix passes the show filters of the hub's settings; false when ix is not valid.
  /// Worked out once per row and kept in its flags until resetVisibleRows.
  bool isVisible(int ix);
  /// Forgets every row's visibility (after a filter or the rows changed).
  void resetVisibleRows();
  /// The first visible row after ix; -1 when there is none or ix is not valid.
  int nextVisibleRow(int ix);
  /// The last visible row before ix; -1 when there is none or ix is not valid.
  int prevVisibleRow(int ix);
  /// ix when visible, else the closer of the next and the previous visible rows (a tie goes to
  /// the previous one); -1 when there is none.
  int nearestVisibleRow(int ix);

  /// The display boxes of row ix (none for an invalid ix); valid until the next request.
  const std::vector<TdisplayBox>& genRowBoxes(int ix);
  /// The decode string of row ix; "Error - row <ix>" for an invalid ix.
  std::string genRowDecode(int ix);
  /// The decode string of a row from the script's decode function for its kind.
  std::string doDecode(const TrowPtr& row);
  /// The bytes the raw data pane shows for row ix; valid while the rows are held.
  const std::vector<uint8_t>& getData(int ix);
  /// False for an invalid ix; toggles the user mark of every packet below a group row; true.
  bool doubleClick(int ix);
  /// Toggles the user mark of a packet row, or of every packet below a group row.
  void flipUserFlag(const TrowPtr& row);

  /// Pushes the row table of row ix onto L and returns 1; -1 and nothing pushed for an
  /// invalid ix.
  int getNode(lua_State* L, int ix);
  /// The Lua function getNode(ix): the row table of flat row floor(ix) of the display data that
  /// opened the calling state, or no value when there is no such row.
  static int getNodeC(lua_State* L);

  /// Loads a sample file; the new number of rows, or 0 when it yields none (rows kept).
  size_t sampleFileRead(const std::string& path);
  /// Hub handler of the sample-file save topic: arg is the address of the path text.
  void onSampleFileSave(long arg);
  /// Runs the capture dialog; the new number of rows, or 0 when it was cancelled or brought no
  /// rows (rows kept).
  size_t doCapture();
  /// Sets what doCapture runs.
  void setCaptureRunner(TcaptureRunner runner) { captureRunner = std::move(runner); }

  lua_State* lua() const { return luaState; }
  const std::shared_ptr<TlinRowVec>& pLinRows() const { return linRows; }
  const std::shared_ptr<TrowVec>& pTreeRoots() const { return treeRoots; }

  /// Path of the decode script, relative to the working directory.
  static constexpr const char* INIT_SCRIPT = "./scripts/init.lua";
  /// Most memory the Lua state may hold: a script that allocates without end meets a Lua
  /// memory error there instead of taking the machine's memory.
  static constexpr size_t LUA_MEMORY_CEILING = size_t{64} << 20;

  /// The memory of the Lua state: what it holds and its ceiling.
  struct TluaMemory {
    size_t used = 0;
    size_t ceiling = LUA_MEMORY_CEILING;
  };
  /// The Lua state's allocator: realloc and free, counted, refusing growth past the ceiling.
  static void* luaAlloc(void* ud, void* block, size_t oldSize, size_t newSize);

 private:
  void initLua();
  void openBareLua();
  bool nakHidden(const Tbase& row) const;
  bool hiddenByAncestor(const Tbase& row) const;

  std::shared_ptr<TlinRowVec> linRows;
  std::shared_ptr<TrowVec> treeRoots;
  Tboxes boxGen;
  TluaMemory luaMemory;  ///< outlives luaState, whose allocator counts into it
  lua_State* luaState = nullptr;
  TcaptureRunner captureRunner;
  int saveSub = 0;  ///< hub handle of the sample-file save subscription
};
