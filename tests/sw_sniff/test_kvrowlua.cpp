// Tests of the Lua row table, the protected decode call and the default decode script.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <lua.hpp>

#include "kvdataio.h"
#include "kvrowutils.h"
#include "tools/usbenc/usbenc.h"

namespace {

std::string dataDir() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  return env ? env : KV_TEST_DATA_DIR;
}

std::string initScript() { return std::string(KV_TEST_DATA_DIR) + "/../../scripts/init.lua"; }

// The rows that the test's getNode reads; the desktop's display data registers the real one.
const TlinRowVec* gRows = nullptr;

int getNodeC(lua_State* L) {
  const int n = lua_gettop(L);
  const double v = n > 0 ? static_cast<double>(lua_tonumber(L, n)) : 0.0;
  const double ix = std::isfinite(v) ? std::floor(v) : -1.0;
  if (!gRows || ix < 0 || ix >= static_cast<double>(gRows->size())) return 0;
  rowutils::setParams((*gRows)[static_cast<size_t>(ix)].row, L);
  return 1;
}

/// Keys of the table on top of the stack with their Lua types, sorted: "crcOK=boolean ...".
std::string describe(lua_State* L) {
  std::map<std::string, std::string> keys;
  lua_pushnil(L);
  while (lua_next(L, -2) != 0) {
    std::string type = lua_isinteger(L, -1) ? "integer" : luaL_typename(L, -1);
    lua_pushvalue(L, -2);  // lua_tostring on the copy keeps lua_next's key intact
    keys[lua_tostring(L, -1)] = type;
    lua_pop(L, 2);
  }
  std::string out;
  for (const auto& [k, t] : keys) out += (out.empty() ? "" : " ") + k + "=" + t;
  return out;
}

/// The integers of the sequence in field key of the table on top of the stack.
std::vector<long long> sequence(lua_State* L, const char* key) {
  std::vector<long long> out;
  lua_getfield(L, -1, key);
  const auto n = static_cast<lua_Integer>(luaL_len(L, -1));
  for (lua_Integer i = 1; i <= n; ++i) {
    lua_rawgeti(L, -1, i);
    out.push_back(lua_tointeger(L, -1));
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
  return out;
}

std::string textField(lua_State* L, const char* key) {
  lua_getfield(L, -1, key);
  std::string s = lua_isstring(L, -1) ? lua_tostring(L, -1) : "<none>";
  lua_pop(L, 1);
  return s;
}

/// Field key of a row's row table, as Lua's tostring gives it.
std::string field(lua_State* L, const TrowPtr& row, const char* key) {
  const int top = lua_gettop(L);
  rowutils::setParams(row, L);
  lua_getfield(L, -1, key);
  std::string s = luaL_tolstring(L, -1, nullptr);
  lua_settop(L, top);
  return s;
}

std::vector<std::string> splitKeep(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) {
    if (c == sep) out.emplace_back();
    else out.back() += c;
  }
  return out;
}

/// The decode-pane grammar, strictly: non-empty items of "S" + paragraph or "T" + title, a head
/// line and table rows with as many non-empty cells as heads; no other control characters.
::testing::AssertionResult obeysGrammar(const std::string& s) {
  if (s.empty()) return ::testing::AssertionFailure() << "empty decode string";
  for (char c : s)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f)
      return ::testing::AssertionFailure() << "control character in: " << s;
  for (const std::string& item : splitKeep(s, ';')) {
    if (item.size() < 2) return ::testing::AssertionFailure() << "empty item in: " << s;
    if (item[0] == 'S') {
      if (item.find('\n') != std::string::npos)
        return ::testing::AssertionFailure() << "line end in paragraph: " << item;
      continue;
    }
    if (item[0] != 'T') return ::testing::AssertionFailure() << "item kind " << item[0] << ": " << s;
    const auto lines = splitKeep(item, '\n');
    if (lines.size() < 2) return ::testing::AssertionFailure() << "table without heads: " << item;
    if (lines[0].size() < 2) return ::testing::AssertionFailure() << "table without title: " << item;
    const size_t heads = splitKeep(lines[1], '#').size();
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto cells = splitKeep(lines[i], '#');
      if (cells.size() != heads)
        return ::testing::AssertionFailure() << "line " << i << " has " << cells.size()
                                             << " cells for " << heads << " heads: " << item;
      for (const auto& c : cells)
        if (c.empty()) return ::testing::AssertionFailure() << "empty cell: " << item;
    }
  }
  return ::testing::AssertionSuccess();
}

template <class T>
std::shared_ptr<T> add(const std::shared_ptr<Tgrouper>& parent, std::shared_ptr<T> child) {
  parent->children.push_back(child);
  return child;
}

std::shared_ptr<Ttransax> trx(TtrxType type, unsigned addr, std::vector<uint8_t> payload,
                              int handshakePid, bool withData = true) {
  auto t = std::make_shared<Ttransax>(type);
  auto tok = std::make_shared<Ttoken>();
  tok->pid = type == TRX_SETUP ? PID_SETUP : type == TRX_IN ? PID_IN : PID_OUT;
  tok->addr = addr;
  t->children.push_back(tok);
  if (withData) {
    auto d = std::make_shared<Tdata>();
    d->pid = type == TRX_SETUP ? PID_DATA0 : PID_DATA1;
    d->data = std::move(payload);
    t->children.push_back(d);
  }
  if (handshakePid >= 0) {
    auto h = std::make_shared<Thandshake>();
    h->pid = handshakePid;
    t->children.push_back(h);
  }
  return t;
}

/// A control transfer with a setup stage, optional IN data, and a status stage.
std::shared_ptr<Ttransfer> control(std::vector<uint8_t> setup, unsigned addr,
                                   std::vector<uint8_t> inData = {}) {
  auto t = std::make_shared<Ttransfer>(TFR_CONTROL);
  const bool in = (setup[0] & 0x80) != 0;
  t->children.push_back(trx(TRX_SETUP, addr, std::move(setup), PID_ACK));
  if (!inData.empty()) t->children.push_back(trx(TRX_IN, addr, std::move(inData), PID_ACK));
  t->children.push_back(trx(in ? TRX_OUT : TRX_IN, addr, {}, PID_ACK));
  return t;
}

/// One row of every kind, flattened: handles and parents as the pipeline gives them.
std::shared_ptr<TlinRowVec> everyKind() {
  auto roots = std::make_shared<TrowVec>();
  auto reset = std::make_shared<Treset>();
  reset->duration = 120000;
  reset->idleTicks = 7;
  roots->push_back(reset);
  auto group = std::make_shared<TsofGroup>();
  for (uint32_t f = 100; f < 102; ++f) {
    auto s = std::make_shared<Tsof>();
    s->pid = PID_SOF;
    s->frame = f;
    s->crc5 = 0x1a;
    s->crcOK = false;
    group->children.push_back(s);
  }
  roots->push_back(group);
  roots->push_back(control({0x80, 6, 0, 1, 0, 0, 18, 0}, 0, {0x12, 0x01, 0x10, 0x01}));
  auto lone = std::make_shared<Tdata>();  // a data packet without payload at the root
  lone->pid = PID_DATA0;
  roots->push_back(lone);
  roots->push_back(std::make_shared<Ttransax>());  // subtype Undefined
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  io.treeRootVecToLinVec(roots, lin);
  return lin;
}

std::shared_ptr<TlinRowVec> loadCapture(const std::string& path) {
  auto events = std::make_shared<TrowVec>();
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  io.loadRawFile(path, events, roots, lin);
  return lin;
}

class RowLua : public ::testing::Test {
 protected:
  void SetUp() override {
    L = luaL_newstate();
    luaL_openlibs(L);
  }
  void TearDown() override {
    gRows = nullptr;
    lua_close(L);
  }
  void run(const std::string& code) {
    ASSERT_EQ(luaL_dostring(L, code.c_str()), LUA_OK) << lua_tostring(L, -1);
  }
  void loadInit() {
    ASSERT_EQ(luaL_dofile(L, initScript().c_str()), LUA_OK) << lua_tostring(L, -1);
  }
  void useRows(const TlinRowVec& rows) {
    gRows = &rows;
    lua_register(L, "getNode", getNodeC);
  }
  /// Decodes with a value already on the stack and checks that the stack is as it was.
  std::string decode(const TrowPtr& row) {
    lua_pushliteral(L, "sentinel");
    const int top = lua_gettop(L);
    std::string s = rowutils::doDecode(row, L);
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_STREQ(lua_tostring(L, -1), "sentinel");
    lua_pop(L, 1);
    return s;
  }
  lua_State* L = nullptr;
};

}  // namespace

TEST_F(RowLua, RowTableKeysAndTypesForEveryKind) {
  auto lin = everyKind();
  // reset, group, sof, sof, transfer, setup trx, token, data, ack, in trx, token, data, ack,
  // out trx, token, data, ack, lone data, undefined trx
  ASSERT_EQ(lin->size(), 19u);
  const std::map<int, std::string> expected = {
      {ROW_RESET, "duration=integer handle=integer idleTicks=integer parent=integer type=string"},
      {ROW_SOF, "crc5=integer crcOK=boolean frame=integer handle=integer parent=integer pid=integer "
                "type=string"},
      {ROW_TOKEN, "addr=integer crc5=integer crcOK=boolean endp=integer handle=integer "
                  "parent=integer pid=integer type=string"},
      {ROW_DATA, "crc16=integer crcOK=boolean data=table handle=integer parent=integer "
                 "pid=integer type=string"},
      {ROW_HANDSHAKE, "handle=integer parent=integer pid=integer type=string"},
      {ROW_SOFGROUP, "children=table handle=integer parent=integer type=string"},
      {ROW_TRANSAX, "children=table handle=integer parent=integer subType=string type=string"},
      {ROW_TRANSFER, "children=table handle=integer parent=integer subType=string type=string"},
  };
  const char* typeNames[] = {"reset", "sof", "token", "data", "handshake", "sofgroup",
                             "transaction", "transfer"};
  for (const TlinRow& lr : *lin) {
    const TrowPtr& row = lr.row;
    const int before = lua_gettop(L);
    rowutils::setParams(row, L);
    ASSERT_EQ(lua_gettop(L), before + 1);
    ASSERT_TRUE(lua_istable(L, -1));
    EXPECT_EQ(describe(L), expected.at(row->kind)) << "handle " << row->handle;
    EXPECT_EQ(textField(L, "type"), typeNames[row->kind]);
    lua_getfield(L, -1, "handle");
    EXPECT_EQ(lua_tointeger(L, -1), row->handle);
    lua_getfield(L, -2, "parent");
    EXPECT_EQ(lua_tointeger(L, -1), row->parent);
    lua_pop(L, 2);
    if (auto g = std::dynamic_pointer_cast<Tgrouper>(row)) {
      std::vector<long long> handles;
      for (const auto& c : g->children) handles.push_back(c->handle);
      EXPECT_EQ(sequence(L, "children"), handles);
    }
    lua_pop(L, 1);
  }

  // Values: the root reset, the data stage's bytes, an empty payload, subtypes, a bad CRC.
  EXPECT_EQ(field(L, (*lin)[0].row, "parent"), "-1");
  EXPECT_EQ(field(L, (*lin)[0].row, "handle"), "0");
  EXPECT_EQ(field(L, (*lin)[0].row, "duration"), "120000");
  rowutils::setParams((*lin)[11].row, L);
  EXPECT_EQ(sequence(L, "data"), (std::vector<long long>{0x12, 0x01, 0x10, 0x01}));
  lua_pop(L, 1);
  rowutils::setParams((*lin)[17].row, L);
  EXPECT_TRUE(sequence(L, "data").empty());
  lua_pop(L, 1);
  EXPECT_EQ(field(L, (*lin)[17].row, "crc16"), "0");
  EXPECT_EQ(field(L, (*lin)[5].row, "subType"), "SETUP");
  EXPECT_EQ(field(L, (*lin)[18].row, "subType"), "OUT");
  EXPECT_EQ(field(L, (*lin)[4].row, "subType"), "CONTROL");
  EXPECT_EQ(field(L, (*lin)[2].row, "crcOK"), "false");

  rowutils::setParams(nullptr, L);
  EXPECT_TRUE(lua_isnil(L, -1));
  lua_pop(L, 1);
}

TEST_F(RowLua, WithoutScriptSofGroupsDecodeAndOtherRowsGetLuasError) {
  auto lin = everyKind();
  for (const TlinRow& lr : *lin) {
    const std::string s = decode(lr.row);
    if (lr.row->kind == ROW_SOFGROUP) {
      EXPECT_EQ(s, "SAn uninterrupted sequence of 2 SOF (Start Of Frame) packets");
    } else {
      EXPECT_NE(s.find("attempt to call a nil value"), std::string::npos) << s;
      EXPECT_NE(s[0], 'S');
      EXPECT_NE(s[0], 'T');
    }
  }
  // The SOF group text needs no Lua state at all; other rows then give no text.
  EXPECT_EQ(rowutils::doDecode((*lin)[1].row, nullptr),
            "SAn uninterrupted sequence of 2 SOF (Start Of Frame) packets");
  EXPECT_EQ(rowutils::doDecode((*lin)[0].row, nullptr), "");
  EXPECT_EQ(rowutils::doDecode(nullptr, L), "");
  EXPECT_EQ(rowutils::doDecode(std::make_shared<Tbase>(), L), "");
}

TEST_F(RowLua, ResultsAndErrorValuesBecomeTheDecodeString) {
  run(R"(
    function reset_decode(t) return 42 end
    function sof_decode(t) return 4.5 end
    function token_decode(t) return "Snul\0byte" end
    function data_decode(t) return nil end
    function handshake_decode(t) return {} end
    function transaction_decode(t) error("boom") end
    function transfer_decode(t) error({}) end
  )");
  auto lin = everyKind();
  EXPECT_EQ(decode((*lin)[0].row), "42");
  EXPECT_EQ(decode((*lin)[2].row), "4.5");
  EXPECT_EQ(decode((*lin)[6].row), std::string("Snul\0byte", 9));
  EXPECT_EQ(decode((*lin)[7].row), "");
  EXPECT_EQ(decode((*lin)[8].row), "");
  EXPECT_NE(decode((*lin)[5].row).find("boom"), std::string::npos);
  EXPECT_EQ(decode((*lin)[4].row), "");

  run("function transfer_decode(t) error(7) end function handshake_decode(t) return true end");
  EXPECT_EQ(decode((*lin)[4].row), "7");
  EXPECT_EQ(decode((*lin)[8].row), "");
}

TEST_F(RowLua, ScriptErrorsLeaveTheStateUsableAndOtherRowsDecoded) {
  // A script that does not even load changes nothing; the state takes the next one.
  EXPECT_NE(luaL_dostring(L, "function reset_decode(t) return 'S' .. end"), LUA_OK);
  lua_pop(L, 1);
  auto lin = everyKind();
  EXPECT_NE(decode((*lin)[0].row).find("attempt to call a nil value"), std::string::npos);

  // Data row 11 fails at run time, every other data row decodes.
  run(R"(
    function data_decode(t)
      if t.handle == 11 then local x = nil; return x.field end
      return "Sdata " .. t.handle
    end
    function reset_decode(t) return "S" .. #t end
  )");
  std::vector<std::string> got;
  for (const TlinRow& lr : *lin)
    if (lr.row->kind == ROW_DATA) got.push_back(decode(lr.row));
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], "Sdata 7");
  EXPECT_NE(got[1].find("attempt to index"), std::string::npos) << got[1];
  EXPECT_EQ(got[2], "Sdata 15");
  EXPECT_EQ(got[3], "Sdata 17");
  EXPECT_EQ(decode((*lin)[0].row), "S0");
  EXPECT_EQ(decode((*lin)[7].row), "Sdata 7");
}

TEST_F(RowLua, AnEndlessScriptIsStoppedAndTheStateStaysUsable) {
  run(R"(
    function reset_decode(t) while true do end end
    function token_decode(t)
      while true do pcall(function() while true do end end) end
    end
    function sof_decode(t) return "Sframe " .. t.frame end
  )");
  auto lin = everyKind();
  const std::string endless = decode((*lin)[0].row);
  EXPECT_NE(endless.find("stopped"), std::string::npos) << endless;
  const std::string swallowed = decode((*lin)[6].row);
  EXPECT_NE(swallowed.find("stopped"), std::string::npos) << swallowed;
  EXPECT_EQ(decode((*lin)[2].row), "Sframe 100");
  EXPECT_EQ(lua_gethook(L), nullptr);  // the budget hook is gone after each call
  EXPECT_EQ(lua_gethookmask(L), 0);
}

TEST_F(RowLua, ScriptsReachOtherRowsThroughGetNode) {
  auto lin = everyKind();
  useRows(*lin);
  run(R"(
    function transfer_decode(t)
      local first = getNode(t.children[1])
      local token = getNode(first.children[1])
      return "S" .. first.subType .. " " .. token.type .. " " .. tostring(getNode(2.7).frame)
        .. " " .. tostring((getNode(-1))) .. " " .. select("#", getNode(1e9))
    end
  )");
  EXPECT_EQ(decode((*lin)[4].row), "SSETUP token 100 nil 0");
}

TEST_F(RowLua, InitScriptDecodesEveryKindInTheGrammar) {
  loadInit();
  lua_getglobal(L, "myAdd");
  lua_pushnumber(L, 30);
  lua_pushnumber(L, 12);
  ASSERT_EQ(lua_pcall(L, 2, 1, 0), LUA_OK);
  EXPECT_EQ(lua_tonumber(L, -1), 42.0);
  lua_pop(L, 1);

  auto lin = everyKind();
  // Without getNode the script still gives well-formed text for every row.
  for (const TlinRow& lr : *lin) EXPECT_TRUE(obeysGrammar(decode(lr.row))) << lr.row->handle;

  useRows(*lin);
  std::vector<std::string> s;
  for (const TlinRow& lr : *lin) {
    s.push_back(decode(lr.row));
    EXPECT_TRUE(obeysGrammar(s.back())) << lr.row->handle;
  }
  EXPECT_NE(s[0].find("Duration#120000 ticks"), std::string::npos) << s[0];
  EXPECT_NE(s[0].find("Idle after#7 ticks"), std::string::npos) << s[0];
  EXPECT_NE(s[2].find("PID#SOF (5)\nFrame#100\nCRC5#0x1a (bad)"), std::string::npos) << s[2];
  EXPECT_NE(s[6].find("PID#SETUP (13)\nAddress#0\nEndpoint#0\nCRC5#0x00 (OK)"), std::string::npos);
  // The SETUP data packet spells out its request; the IN data packet shows its payload.
  EXPECT_NE(s[7].find("Direction#Device to host\nType#Standard\nRecipient#Device\n"
                      "bRequest#6 (GET_DESCRIPTOR)\nwValue#0x0100\nDescriptor type#1 (DEVICE)"),
            std::string::npos)
      << s[7];
  EXPECT_NE(s[7].find("wIndex#0x0000\nwLength#18"), std::string::npos);
  EXPECT_NE(s[11].find("0000#12 01 10 01"), std::string::npos) << s[11];
  EXPECT_EQ(s[11].find("Setup request"), std::string::npos);
  EXPECT_NE(s[8].find("PID#ACK (2)"), std::string::npos);
  EXPECT_NE(s[9].find("Type#IN\nAddress#0\nEndpoint#0\nData#DATA1, 4 bytes\nHandshake#ACK"),
            std::string::npos)
      << s[9];
  EXPECT_NE(s[4].find("Data stage#4 of 18 bytes\nStatus#OK"), std::string::npos) << s[4];
  EXPECT_NE(s[17].find("Length#0 bytes"), std::string::npos);
  EXPECT_NE(s[18].find("Type#OUT"), std::string::npos);
}

TEST_F(RowLua, InitScriptSurvivesDamagedTrees) {
  loadInit();
  auto roots = std::make_shared<TrowVec>();
  // A transaction holding rows of other kinds, a transfer of a short SETUP, an empty transfer.
  auto odd = std::make_shared<Ttransax>(TRX_SETUP);
  odd->children.push_back(std::make_shared<Treset>());
  odd->children.push_back(std::make_shared<TsofGroup>());
  auto h = std::make_shared<Thandshake>();
  h->pid = 0;
  odd->children.push_back(h);
  roots->push_back(odd);
  auto shortSetup = std::make_shared<Ttransfer>();
  shortSetup->children.push_back(trx(TRX_SETUP, 3, {0x80, 6, 0}, PID_ACK));
  roots->push_back(shortSetup);
  roots->push_back(std::make_shared<Ttransfer>());
  auto weird = std::make_shared<Tdata>();
  weird->pid = PID_NONE;
  roots->push_back(weird);
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  io.treeRootVecToLinVec(roots, lin);
  useRows(*lin);
  for (const TlinRow& lr : *lin) EXPECT_TRUE(obeysGrammar(decode(lr.row))) << lr.row->handle;
}

TEST_F(RowLua, InitScriptOverEveryCapture) {
  namespace fs = std::filesystem;
  loadInit();
  int captures = 0;
  for (const auto& entry : fs::directory_iterator(dataDir() + "/captures")) {
    if (entry.path().extension() != ".raw") continue;
    ++captures;
    const std::string name = entry.path().stem().string();
    auto lin = loadCapture(entry.path().string());
    ASSERT_FALSE(lin->empty()) << name;
    useRows(*lin);
    std::vector<std::string> transfers;
    for (const TlinRow& lr : *lin) {
      const std::string s = decode(lr.row);
      ASSERT_TRUE(obeysGrammar(s)) << name << " row " << lr.row->handle;
      if (lr.row->kind == ROW_TRANSFER) transfers.push_back(s);
    }
    if (name == "cp2102_setup_with_outdata_nak") {
      // The same verdict as the transfer rows' boxes: 20 of 21 end with their status stage.
      ASSERT_EQ(transfers.size(), 21u);
      int ok = 0;
      for (const auto& t : transfers) ok += t.find("Status#OK") != std::string::npos;
      EXPECT_EQ(ok, 20);
    }
    if (name != "usb_failed_setup_fullspeed") continue;
    // The device qualifier three times, stalled.
    ASSERT_EQ(transfers.size(), 5u);
    for (int i = 0; i < 3; ++i) {
      EXPECT_NE(transfers[i].find("bRequest#6 (GET_DESCRIPTOR)\nwValue#0x0600\n"
                                  "Descriptor type#6 (DEVICE_QUALIFIER)"),
                std::string::npos)
          << transfers[i];
      EXPECT_NE(transfers[i].find("wLength#10"), std::string::npos);
      EXPECT_NE(transfers[i].find("Status#STALLed"), std::string::npos);
      EXPECT_NE(transfers[i].find("Address#55"), std::string::npos);
    }
    // Then the configuration descriptor: 9 bytes read, whose status stage is NAKed inside the
    // transfer (its acknowledgement comes later, outside it); then 41 bytes asked for, stalled.
    const char* lengths[] = {"wLength#9;", "wLength#41;"};
    const char* stages[] = {"Data stage#9 of 9 bytes\nStatus#Incomplete",
                            "Data stage#0 of 41 bytes\nStatus#STALLed"};
    for (int i = 3; i < 5; ++i) {
      EXPECT_NE(transfers[i].find("Descriptor type#2 (CONFIGURATION)"), std::string::npos);
      EXPECT_NE(transfers[i].find(lengths[i - 3]), std::string::npos) << transfers[i];
      EXPECT_NE(transfers[i].find(stages[i - 3]), std::string::npos) << transfers[i];
    }
    EXPECT_NE(transfers[3].find("0000#09 02 29 00 01 01 00 80 32"), std::string::npos);
  }
  EXPECT_EQ(captures, 3);
}

TEST_F(RowLua, InitScriptOverAnEncodedEnumeration) {
  loadInit();
  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host, 5, 1);
  auto events = std::make_shared<TrowVec>();
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  ASSERT_GT(io.loadRawData(bus.stream(), events, roots, lin), 0u);
  useRows(*lin);

  std::vector<std::string> transfers;
  for (const TlinRow& lr : *lin) {
    const std::string s = decode(lr.row);
    ASSERT_TRUE(obeysGrammar(s)) << lr.row->handle;
    if (lr.row->kind == ROW_TRANSFER) transfers.push_back(s);
  }
  const auto find = [&transfers](const std::string& what) {
    for (const auto& t : transfers)
      if (t.find(what) != std::string::npos) return t;
    return std::string();
  };
  const std::string setAddress = find("bRequest#5 (SET_ADDRESS)");
  EXPECT_NE(setAddress.find("New address#5\nwIndex"), std::string::npos) << setAddress;
  EXPECT_NE(setAddress.find("Address#0\n"), std::string::npos) << setAddress;
  EXPECT_NE(setAddress.find("Status#OK"), std::string::npos) << setAddress;
  const std::string setConfig = find("bRequest#9 (SET_CONFIGURATION)");
  EXPECT_NE(setConfig.find("Configuration value#1\nwIndex"), std::string::npos) << setConfig;
  EXPECT_NE(setConfig.find("Address#5\n"), std::string::npos) << setConfig;
  EXPECT_NE(setConfig.find("Status#OK"), std::string::npos) << setConfig;
  const std::string device = find("Descriptor type#1 (DEVICE)");
  EXPECT_NE(device.find("Data stage#18 of"), std::string::npos) << device;
  EXPECT_NE(find("Descriptor type#3 (STRING)"), "");
}
