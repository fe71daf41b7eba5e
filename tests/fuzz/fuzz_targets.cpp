// Fuzz target bodies, shared by the libFuzzer programs and the test that replays their inputs.
#include "fuzz_targets.h"

#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include <lua.hpp>

#include "kvboxes.h"
#include "kvdataio.h"
#include "kvraw.h"
#include "kvrowutils.h"

namespace kvfuzz {

namespace {

/// Longest row line of a decoded row: a data packet as long as the decoder keeps one (64 Ki bit
/// times: 8 KiB of payload at three characters a byte), with its other fields.
constexpr size_t MAX_DECODED_LINE = 8 * 1024 * 3 + 256;
/// Longest row line of a loaded row: the loader reads lines of up to 64 KiB, and writing one
/// back can take up to half as much again (one hex digit per byte read, two written).
constexpr size_t MAX_LOADED_LINE = 2 * 64 * 1024 + 256;

bool isGroup(const Tbase& row) {
  return row.kind == ROW_SOFGROUP || row.kind == ROW_TRANSAX || row.kind == ROW_TRANSFER;
}

/// The row line of a row must be one line of at most maxLength bytes that reads back to a row
/// writing the same line (a group's child count aside: children are not carried by a line).
std::string checkRowLine(const TrowPtr& row, size_t maxLength) {
  const std::string line = rowutils::toString(row);
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1)
    return "row line is not one line: \"" + line + "\"";
  if (line.size() > maxLength)
    return "row line of " + std::to_string(line.size()) + " bytes: " + line.substr(0, 200);
  const TrowPtr back = rowutils::fromString(line.substr(0, line.size() - 1));
  if (!back) return "row line does not read back: " + line;
  std::string again = rowutils::toString(back);
  std::string expected = line;
  if (isGroup(*row)) {
    expected.erase(expected.rfind(";X:"));
    if (again.rfind(";X:") != std::string::npos) again.erase(again.rfind(";X:"));
  }
  if (again != expected) return "row line reads back as another row: " + line + "  became " + again;
  return {};
}

/// Every row of kinds 0..7 shows at least one box, and its box string is one line.
std::string checkBoxes(const TrowPtr& row, Tboxes& boxes) {
  const std::string s = boxes.getBoxesString(row);
  if (s.size() < 2 || s.back() != '\n' || s.find('\n') != s.size() - 1)
    return "bad box string for " + rowutils::toString(row) + ": \"" + s + "\"";
  return {};
}

/// Handles, parents and depths of a flat list: each row at its index, below a group row that
/// comes before it and is one level up; then the row line and box string of every row.
std::string checkFlatList(const TlinRowVec& lin, size_t maxLine) {
  Tboxes boxes;
  for (size_t i = 0; i < lin.size(); ++i) {
    const TrowPtr& row = lin[i].row;
    if (!row) return "null row in the flat list at " + std::to_string(i);
    if (row->handle != static_cast<int>(i)) return "handle " + std::to_string(row->handle) + " at " + std::to_string(i);
    if (row->parent == -1) {
      if (row->depth != 0) return "root row of depth " + std::to_string(row->depth);
    } else {
      if (row->parent < 0 || row->parent >= row->handle) return "parent after its child at " + std::to_string(i);
      const Tbase& parent = *lin[static_cast<size_t>(row->parent)].row;
      if (!isGroup(parent) || parent.depth + 1 != row->depth) return "bad parent of row " + std::to_string(i);
    }
    std::string fault = checkRowLine(row, maxLine);
    if (fault.empty()) fault = checkBoxes(row, boxes);
    if (!fault.empty()) return fault;
  }
  return {};
}

/// A file of this process for the loader to read; removed when the process ends.
class TtempFile {
 public:
  explicit TtempFile(const char* tag)
      : path((std::filesystem::temp_directory_path() /
              ("kvfuzz-" + std::to_string(getpid()) + "-" + tag)).string()) {}
  ~TtempFile() { std::remove(path.c_str()); }
  TtempFile(const TtempFile&) = delete;
  TtempFile& operator=(const TtempFile&) = delete;

  bool write(const void* data, size_t size, bool gz) const {
    if (!gz) {
      FILE* f = std::fopen(path.c_str(), "wb");
      if (!f) return false;
      const bool ok = std::fwrite(data, 1, size, f) == size;
      return std::fclose(f) == 0 && ok;
    }
    gzFile f = gzopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = size == 0 || gzwrite(f, data, static_cast<unsigned>(size)) == static_cast<int>(size);
    return gzclose(f) == Z_OK && ok;
  }

  const std::string path;
};

/// The three views of a decode, made as the decode thread makes them.
struct Tviews {
  std::shared_ptr<TrowVec> events = std::make_shared<TrowVec>();
  std::shared_ptr<TrowVec> roots = std::make_shared<TrowVec>();
  std::shared_ptr<TlinRowVec> lin = std::make_shared<TlinRowVec>();
};

std::string decodeViews(const uint8_t* data, size_t size, Tviews& v) {
  const std::vector<uint8_t> raw(data, data + size);
  TdataIO io;
  size_t last = 0;
  bool progressOk = true;
  io.rawDataToEventVec(raw, v.events, [&](size_t pos) {
    progressOk = progressOk && pos >= last && pos <= size;
    last = pos;
  });
  if (!progressOk) return "progress went back or beyond the stream";
  io.eventVecToTreeRootVec(v.events, v.roots);
  io.treeRootVecToLinVec(v.roots, v.lin);
  return {};
}

/// Rows of a sample-file body (row lines), loaded as the desktop loads a file.
std::string loadBody(const uint8_t* data, size_t size, Tviews& v) {
  static const TtempFile file("body.kvd");
  std::string content = "KVFMT01\n" + std::to_string(size) + "\n";
  content.append(reinterpret_cast<const char*>(data), size);
  if (!file.write(content.data(), content.size(), false)) return {};  // no place to write: skip
  TdataIO().loadLinearFile(file.path, v.roots, v.lin);
  return {};
}

// ---- the decode script ----

const TlinRowVec* gRows = nullptr;

/// getNode for the script: the row table of a flat row, nil outside the list.
int getNode(lua_State* L) {
  if (!gRows || !lua_isinteger(L, 1)) return 0;
  const lua_Integer ix = lua_tointeger(L, 1);
  if (ix < 0 || ix >= static_cast<lua_Integer>(gRows->size())) return 0;
  rowutils::setParams((*gRows)[static_cast<size_t>(ix)].row, L);
  return 1;
}

/// The Lua state with the shipped script loaded, made once per process.
lua_State* scriptState() {
  static lua_State* const L = [] {
    lua_State* s = luaL_newstate();
    luaL_openlibs(s);
    if (luaL_dofile(s, scriptPath().c_str()) != LUA_OK) {
      std::fprintf(stderr, "cannot load %s: %s\n", scriptPath().c_str(), lua_tostring(s, -1));
      std::abort();
    }
    lua_register(s, "getNode", getNode);
    return s;
  }();
  return L;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) c == sep ? out.emplace_back() : out.back() += c;
  return out;
}

/// Empty when the decode string keeps the decode-pane grammar: ";"-separated items, each "S" and
/// a one-line paragraph or "T", a title, a head line and rows of as many non-empty cells.
std::string grammarFault(const std::string& s) {
  if (s.empty()) return "empty decode string";
  for (const std::string& item : split(s, ';')) {
    if (item.size() < 2 || (item[0] != 'S' && item[0] != 'T')) return "bad item \"" + item + "\"";
    const auto lines = split(item, '\n');
    if (item[0] == 'S') {
      if (lines.size() > 1) return "line end in a paragraph";
      continue;
    }
    if (lines.size() < 2) return "table without heads";
    const size_t heads = split(lines[1], '#').size();
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto cells = split(lines[i], '#');
      if (cells.size() != heads) return "cell count of table line \"" + lines[i] + "\"";
      for (const auto& c : cells)
        if (c.empty()) return "empty cell in \"" + lines[i] + "\"";
    }
  }
  return {};
}

/// Why a decode string is a fault of the script: a Lua error (whose text starts with the
/// script's path), the instruction budget's stop, or a text outside the grammar.
std::string decodeFault(const std::string& s) {
  static const std::string errorPrefix = scriptPath() + ":";
  if (s.rfind(errorPrefix, 0) == 0) return "script error: " + s;
  if (s.rfind("decode script stopped", 0) == 0) return "script budget hit: " + s;
  const std::string bad = grammarFault(s);
  return bad.empty() ? bad : bad + " in decode string: " + s;
}

}  // namespace

std::string scriptPath() {
  const char* env = std::getenv("KV_DECODE_SCRIPT");
  return env && *env ? env : KV_DECODE_SCRIPT;
}

std::string rawStream(const uint8_t* data, size_t size) {
  Tviews v;
  std::string fault = decodeViews(data, size, v);
  if (!fault.empty()) return fault;
  uint64_t lastStart = 0;
  for (size_t i = 0; i < v.events->size(); ++i) {
    const Tbase& row = *(*v.events)[i];
    if (row.kind < ROW_RESET || row.kind > ROW_HANDSHAKE) return "event of kind " + std::to_string(row.kind);
    if (i > 0 && row.strt <= lastStart) return "events out of time order at " + std::to_string(i);
    lastStart = row.strt;
  }
  // Every event lands in the tree once: the flat list holds it and the group rows.
  size_t placed = 0;
  for (const TlinRow& lr : *v.lin) placed += lr.row && !isGroup(*lr.row);
  if (placed != v.events->size())
    return std::to_string(v.events->size()) + " events but " + std::to_string(placed) + " in the flat list";
  return checkFlatList(*v.lin, MAX_DECODED_LINE);
}

std::string rowLine(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  const TrowPtr row = rowutils::fromString(line);
  if (!row) return {};
  if (row->kind < ROW_RESET || row->kind > ROW_TRANSFER) return "row of kind " + std::to_string(row->kind);
  Tboxes boxes;
  // A line may grow in writing (defaults for missing fields, two hex digits per byte), but
  // never by more than a constant and a factor.
  const std::string fault = checkRowLine(row, 2 * size + 256);
  return fault.empty() ? checkBoxes(row, boxes) : fault;
}

std::string sampleFile(const uint8_t* data, size_t size) {
  static const TtempFile file("sample.kvd");
  const bool gz = size > 0 && (data[0] & 1);
  if (size > 0) {
    ++data;
    --size;
  }
  if (!file.write(data, size, gz)) return {};  // no place to write: nothing to test
  // The caller's vectors hold a row each: a rejected file must leave them as they were.
  const TrowPtr mark = std::make_shared<Treset>();
  auto roots = std::make_shared<TrowVec>(1, mark);
  auto lin = std::make_shared<TlinRowVec>();
  lin->emplace_back(mark, 0);
  TdataIO io;
  const uint32_t count = io.loadLinearFile(file.path, roots, lin);
  const bool untouched = lin->size() == 1 && (*lin)[0].row == mark && roots->size() == 1;
  if (count == 0) {
    if (!untouched && !(lin->empty() && roots->empty())) return "a load of no rows changed the vectors";
    return {};
  }
  if (lin->size() > count) return "more flat rows than rows read";
  return checkFlatList(*lin, MAX_LOADED_LINE);
}

std::string decodeScript(const uint8_t* data, size_t size) {
  lua_State* L = scriptState();
  Tviews v;
  const bool raw = size >= Traw::MAGIC_LEN && std::memcmp(data, Traw::MAGIC, Traw::MAGIC_LEN) == 0;
  std::string fault = raw ? decodeViews(data, size, v) : loadBody(data, size, v);
  if (!fault.empty()) return fault;
  gRows = v.lin.get();
  const int top = lua_gettop(L);
  for (const TlinRow& lr : *v.lin) {
    const std::string s = rowutils::doDecode(lr.row, L);
    if (lua_gettop(L) != top) fault = "the decode call left the Lua stack changed";
    if (fault.empty()) fault = decodeFault(s);
    if (!fault.empty()) {
      fault += "\n  row: " + rowutils::toString(lr.row);
      break;
    }
  }
  gRows = nullptr;
  return fault;
}

const std::vector<Ttarget>& targets() {
  static const std::vector<Ttarget> all = {
      {"rawstream", rawStream},
      {"rowline", rowLine},
      {"samplefile", sampleFile},
      {"decodescript", decodeScript},
  };
  return all;
}

const Ttarget* findTarget(const std::string& name) {
  for (const Ttarget& t : targets())
    if (name == t.name) return &t;
  return nullptr;
}

}  // namespace kvfuzz
