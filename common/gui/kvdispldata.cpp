// Display data: the rows on screen, their visibility filters, boxes, decode strings and Lua state.
#include "kvdispldata.h"

#include <cassert>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <sys/stat.h>

#include <lua.hpp>

#include "kvglobs.h"
#include "kvrowutils.h"

namespace {

/// The display data whose rows the scripts' getNode reads: the last one that opened a state.
TdisplData* theThis = nullptr;

/// What getData gives for a row without bytes.
const std::vector<uint8_t> NO_DATA;

/// An error outside any protected call: Lua aborts the program after this returns. The
/// program makes every call protected, so this reports a fault of its own.
int luaPanic(lua_State* L) {
  const char* msg = lua_tostring(L, -1);
  std::fprintf(stderr, "PANIC: unprotected error in call to Lua API (%s)\n", msg ? msg : "?");
  return 0;
}

/// Arguments of the script's start-up call.
constexpr lua_Number MY_ADD_A = 30;
constexpr lua_Number MY_ADD_B = 12;

}  // namespace

TdisplData::TdisplData()
    : linRows(std::make_shared<TlinRowVec>()), treeRoots(std::make_shared<TrowVec>()) {
  initLua();
  saveSub = _G.sub(msgSampleFileSave, [this](long arg) { onSampleFileSave(arg); });
}

TdisplData::~TdisplData() {
  // Nothing may call into a destroyed object through the hub, which outlives it.
  _G.unsub(msgSampleFileSave, saveSub);
  if (theThis == this) theThis = nullptr;
  if (luaState) lua_close(luaState);
  luaState = nullptr;
}

TrowPtr TdisplData::getDisplRowPtr(int ix) const {
  return linRowIxOK(ix) ? (*linRows)[static_cast<size_t>(ix)].row : TrowPtr();
}

uint8_t TdisplData::rowFlags(int ix) const {
  return linRowIxOK(ix) ? (*linRows)[static_cast<size_t>(ix)].flags : 0;
}

// ---- visibility ----

bool TdisplData::nakHidden(const Tbase& row) const {
  if (row.kind != ROW_TRANSAX || _G.showNAK) return false;
  for (const auto& child : static_cast<const Ttransax&>(row).children)
    if (child && child->kind == ROW_HANDSHAKE &&
        static_cast<const Thandshake&>(*child).pid == PID_NAK)
      return true;
  return false;
}

// A row below a NAKed transaction goes with it, whichever of the two is asked about first.
bool TdisplData::hiddenByAncestor(const Tbase& row) const {
  int p = row.parent;
  // Parents precede their children in the flat list; the bound guards against a cycle.
  for (int steps = 0; p >= 0 && p < rowCount() && steps <= TdataIO::MAX_LEVELS; ++steps) {
    const Tbase& up = *(*linRows)[static_cast<size_t>(p)].row;
    if (nakHidden(up)) return true;
    p = up.parent;
  }
  return false;
}

bool TdisplData::isVisible(int ix) {
  if (!linRowIxOK(ix)) return false;
  TlinRow& lr = (*linRows)[static_cast<size_t>(ix)];
  if (lr.flags & LINROW_VIS_KNOWN) return (lr.flags & LINROW_VISIBLE) != 0;
  const Tbase& row = *lr.row;
  bool visible = true;
  switch (row.kind) {
    case ROW_SOF:
    case ROW_SOFGROUP:
      visible = _G.showSOF;
      break;
    case ROW_TRANSAX:
      if (nakHidden(row)) {
        visible = false;
        // The transaction's subtree follows it in the flat list: every row deeper than it.
        for (int i = ix + 1; i < rowCount(); ++i) {
          TlinRow& below = (*linRows)[static_cast<size_t>(i)];
          if (below.row->depth <= row.depth) break;
          below.flags = static_cast<uint8_t>((below.flags & ~LINROW_VISIBLE) | LINROW_VIS_KNOWN);
        }
      }
      break;
    case ROW_TOKEN:
    case ROW_DATA:
    case ROW_HANDSHAKE:
      visible = _G.showPackets;
      break;
    default:
      break;
  }
  if (visible && hiddenByAncestor(row)) visible = false;
  lr.flags = static_cast<uint8_t>((lr.flags & ~LINROW_VISIBLE) | LINROW_VIS_KNOWN |
                                  (visible ? LINROW_VISIBLE : 0));
  return visible;
}

void TdisplData::resetVisibleRows() {
  for (auto& lr : *linRows) lr.flags = static_cast<uint8_t>(lr.flags & ~LINROW_VIS_KNOWN);
}

int TdisplData::nextVisibleRow(int ix) {
  if (!linRowIxOK(ix)) return -1;
  for (int i = ix + 1; i < rowCount(); ++i)
    if (isVisible(i)) return i;
  return -1;
}

int TdisplData::prevVisibleRow(int ix) {
  if (!linRowIxOK(ix)) return -1;
  for (int i = ix - 1; i >= 0; --i)
    if (isVisible(i)) return i;
  return -1;
}

int TdisplData::nearestVisibleRow(int ix) {
  if (isVisible(ix)) return ix;
  const int n = nextVisibleRow(ix);
  const int p = prevVisibleRow(ix);
  if (p < 0) return n;
  if (n < 0) return p;
  return n - ix < ix - p ? n : p;
}

// ---- boxes, decode strings, bytes ----

const std::vector<TdisplayBox>& TdisplData::genRowBoxes(int ix) {
  return boxGen.getBoxes(getDisplRowPtr(ix));
}

std::string TdisplData::genRowDecode(int ix) {
  if (!linRowIxOK(ix)) return "Error - row " + std::to_string(ix);
  return doDecode((*linRows)[static_cast<size_t>(ix)].row);
}

std::string TdisplData::doDecode(const TrowPtr& row) { return rowutils::doDecode(row, luaState); }

const std::vector<uint8_t>& TdisplData::getData(int ix) {
  const TrowPtr row = getDisplRowPtr(ix);
  if (!row) return NO_DATA;
  switch (row->kind) {
    case ROW_DATA:
      return static_cast<Tdata&>(*row).data;
    case ROW_TRANSAX: {
      // The data packet stays alive with the tree that holds it.
      const auto data = static_cast<Ttransax&>(*row).findDataPkt();
      return data ? data->data : NO_DATA;
    }
    case ROW_TRANSFER:
      return static_cast<Ttransfer&>(*row).findData();
    default:
      return NO_DATA;
  }
}

// ---- user marks ----

bool TdisplData::doubleClick(int ix) {
  if (!linRowIxOK(ix)) return false;
  const TrowPtr& row = (*linRows)[static_cast<size_t>(ix)].row;
  if (row->kind >= ROW_SOFGROUP && row->kind <= ROW_TRANSFER) flipUserFlag(row);
  return true;
}

void TdisplData::flipUserFlag(const TrowPtr& row) {
  if (!row) return;
  if (row->kind >= ROW_RESET && row->kind <= ROW_HANDSHAKE) {
    if (linRowIxOK(row->handle)) (*linRows)[static_cast<size_t>(row->handle)].flags ^= LINROW_USER;
  } else if (row->kind >= ROW_SOFGROUP && row->kind <= ROW_TRANSFER) {
    // Trees are at most TdataIO::MAX_LEVELS deep, which bounds the recursion.
    for (const auto& child : static_cast<const Tgrouper&>(*row).children) flipUserFlag(child);
  }
}

// ---- Lua ----

void* TdisplData::luaAlloc(void* ud, void* block, size_t oldSize, size_t newSize) {
  auto* memory = static_cast<TluaMemory*>(ud);
  const size_t old = block ? oldSize : 0;  // without a block, oldSize names the kind of object
  if (newSize == 0) {
    std::free(block);
    memory->used -= old;
    return nullptr;
  }
  // Lua answers a refusal with an emergency collection and, if that does not help, a memory
  // error. Shrinking is never refused: Lua relies on it.
  if (newSize > old && newSize - old > memory->ceiling - memory->used) return nullptr;
  void* grown = std::realloc(block, newSize);
  if (grown) memory->used = memory->used - old + newSize;
  return grown;
}

void TdisplData::openBareLua() {
  assert(luaMemory.used == 0 && "a closed Lua state gave all its memory back");
  luaState = lua_newstate(&TdisplData::luaAlloc, &luaMemory);
  assert(luaState && "Lua state allocation failed");
  lua_atpanic(luaState, &luaPanic);
  luaL_openlibs(luaState);
}

void TdisplData::initLua() {
  openBareLua();
  // The script's own code runs under the budget of a decode call, so that a loop at load
  // time ends as an error too.
  // Only a regular file is loaded: opening a FIFO without a writer would block the start for
  // ever. A missing script gets Lua's own message.
  struct stat st {};
  int status = LUA_ERRFILE;
  if (stat(INIT_SCRIPT, &st) == 0 && !S_ISREG(st.st_mode))
    lua_pushfstring(luaState, "cannot read %s: not a regular file", INIT_SCRIPT);
  else
    status = luaL_loadfile(luaState, INIT_SCRIPT);
  if (status == LUA_OK) status = rowutils::budgetedCall(luaState, 0, LUA_MULTRET);
  if (status != LUA_OK) {
    // The program goes on as with no script: a fresh state, so that nothing the failed script
    // defined before its error is used for decoding.
    const char* msg = lua_tostring(luaState, -1);
    std::fprintf(stderr, "Error: %s\n", msg ? msg : "(error object is not a string)");
    lua_close(luaState);
    openBareLua();
  } else {
    lua_settop(luaState, 0);
    lua_getglobal(luaState, "myAdd");
    lua_pushnumber(luaState, MY_ADD_A);
    lua_pushnumber(luaState, MY_ADD_B);
    rowutils::budgetedCall(luaState, 2, 1);  // its result, or its failure, is not used
    lua_pop(luaState, 1);
  }
  theThis = this;
  lua_register(luaState, "getNode", &TdisplData::getNodeC);
}

int TdisplData::getNode(lua_State* L, int ix) {
  if (!linRowIxOK(ix)) return -1;
  rowutils::setParams((*linRows)[static_cast<size_t>(ix)].row, L);
  return 1;
}

int TdisplData::getNodeC(lua_State* L) {
  const int top = lua_gettop(L);
  int isNum = 0;
  const lua_Number n = top > 0 ? lua_tonumberx(L, top, &isNum) : 0;
  const double d = isNum ? std::floor(static_cast<double>(n)) : 0.0;
  // NaN fails both comparisons; infinities and numbers beyond int fail one.
  if (!(d >= static_cast<double>(INT_MIN) && d <= static_cast<double>(INT_MAX))) return 0;
  if (!theThis || !theThis->linRowIxOK(static_cast<int>(d))) return 0;
  return theThis->getNode(L, static_cast<int>(d)) == 1 ? 1 : 0;
}

// ---- loading and saving ----

size_t TdisplData::sampleFileRead(const std::string& path) {
  return TdataIO::swapInLinearFile(path, treeRoots, linRows);
}

void TdisplData::onSampleFileSave(long arg) {
  const char* text = reinterpret_cast<const char*>(arg);
  if (!text) return;
  const std::string path(text);
  TdataIO io;
  io.saveLinearToFile(linRows, path);
}

size_t TdisplData::doCapture() {
  if (!captureRunner) return 0;
  TcaptureResult result = captureRunner();
  if (!result.ok || !result.linVec || result.linVec->empty()) return 0;
  linRows = std::move(result.linVec);
  treeRoots = result.treeVec ? std::move(result.treeVec) : std::make_shared<TrowVec>();
  return static_cast<size_t>(rowCount());
}
