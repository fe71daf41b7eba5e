// Tests of the Lua row table, the protected decode call and the default decode script.
#include <gtest/gtest.h>

#include <map>

#include <lua.hpp>

#include "child_helpers.h"
#include "pipe_helpers.h"
#include "tools/usbenc/usbenc.h"

using namespace kvtest;

namespace {

// The rows that the test's getNode reads; the desktop's display data registers the real one.
const TlinRowVec* gRows = nullptr;

int getNodeC(lua_State* L) {
  const lua_Integer ix = lua_gettop(L) > 0 ? lua_tointeger(L, 1) : -1;
  if (!gRows || ix < 0 || ix >= static_cast<lua_Integer>(gRows->size())) return 0;
  rowutils::setParams((*gRows)[static_cast<size_t>(ix)].row, L);
  return 1;
}

/// The value on top of the stack as text: integers plain, strings quoted, a sequence as "{a,b}",
/// another table as its sorted "key=value" pairs, anything else as Lua's tostring gives it.
std::string value(lua_State* L) {
  if (lua_isinteger(L, -1)) return std::to_string(lua_tointeger(L, -1));
  if (lua_type(L, -1) == LUA_TSTRING) return "\"" + std::string(lua_tostring(L, -1)) + "\"";
  std::string s = lua_istable(L, -1) ? "" : luaL_tolstring(L, -1, nullptr);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    return s;
  }
  std::map<std::string, std::string> fields;
  for (lua_pushnil(L); lua_next(L, -2) != 0; lua_pop(L, 1)) {
    lua_pushvalue(L, -2);  // converting the copy keeps lua_next's key intact
    const std::string key = luaL_tolstring(L, -1, nullptr);
    lua_pop(L, 2);
    fields[key] = value(L);
  }
  const auto n = static_cast<size_t>(luaL_len(L, -1));
  for (size_t i = 1; n == fields.size() && i <= n; ++i)
    s += (i > 1 ? "," : "") + fields[std::to_string(i)];
  if (n == fields.size()) return "{" + s + "}";
  for (const auto& [k, v] : fields) s += (s.empty() ? "" : " ") + k + "=" + v;
  return s;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out(1);
  for (char c : s) c == sep ? out.emplace_back() : out.back() += c;
  return out;
}

/// The decode-pane grammar, strictly: non-empty items of "S" + paragraph or "T" + title, a head
/// line and table rows with as many non-empty cells as heads; no other control characters.
::testing::AssertionResult obeysGrammar(const std::string& s) {
  auto fail = [&s](const std::string& why) {
    return ::testing::AssertionFailure() << why << " in: " << s;
  };
  if (s.empty()) return fail("empty decode string");
  for (char c : s)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f)
      return fail("control character");
  for (const std::string& item : split(s, ';')) {
    if (item.size() < 2 || (item[0] != 'S' && item[0] != 'T')) return fail("bad item \"" + item + "\"");
    const auto lines = split(item, '\n');
    if (item[0] == 'S' && lines.size() > 1) return fail("line end in paragraph");
    if (item[0] == 'S') continue;
    if (lines.size() < 2 || lines[0].size() < 2) return fail("table without title or heads");
    for (size_t i = 1; i < lines.size(); ++i) {
      const auto cells = split(lines[i], '#');
      if (cells.size() != split(lines[1], '#').size()) return fail("cell count of line " + lines[i]);
      for (const auto& c : cells)
        if (c.empty()) return fail("empty cell");
    }
  }
  return ::testing::AssertionSuccess();
}

std::shared_ptr<TlinRowVec> flatten(const TrowVec& rows) {
  auto roots = std::make_shared<TrowVec>(rows);
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO().treeRootVecToLinVec(roots, lin);
  return lin;
}

/// One row of every kind, flattened: reset, SOF group of 2, a GET_DESCRIPTOR control transfer
/// (SETUP, IN with 4 bytes, OUT status), a lone empty DATA0 and a transaction of no subtype.
std::shared_ptr<TlinRowVec> everyKind() {
  TrowVec roots = group("R S S SETUP0.0 D0=80,06,00,01,00,00,12,00 ACK IN0.0 D1=12,01,10,01 ACK "
                        "OUT0.0 D1:0 ACK D0:0");
  std::static_pointer_cast<Treset>(roots[0])->duration = 120000;
  std::static_pointer_cast<Treset>(roots[0])->idleTicks = 7;
  for (const auto& sof : asGroup(roots[1])->children) {
    std::static_pointer_cast<Tsof>(sof)->crc5 = 0x1a;
    std::static_pointer_cast<Tsof>(sof)->crcOK = false;
  }
  roots.push_back(std::make_shared<Ttransax>());
  return flatten(roots);
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
    const std::string path = std::string(KV_TEST_DATA_DIR) + "/../../scripts/init.lua";
    ASSERT_EQ(luaL_dofile(L, path.c_str()), LUA_OK) << lua_tostring(L, -1);
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
  /// The init script's decode strings of every row (each checked against the grammar).
  std::vector<std::string> decodeAll(const TlinRowVec& lin, const std::string& what) {
    std::vector<std::string> out;
    for (const TlinRow& lr : lin) {
      out.push_back(decode(lr.row));
      EXPECT_TRUE(obeysGrammar(out.back())) << what << " row " << lr.row->handle;
    }
    return out;
  }
  lua_State* L = nullptr;
};

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

}  // namespace

TEST_F(RowLua, RowTablesOfEveryKind) {
  const std::string expected =
      "duration=120000 handle=0 idleTicks=7 parent=-1 type=\"reset\"\n"
      "children={2,3} handle=1 parent=-1 type=\"sofgroup\"\n"
      "crc5=26 crcOK=false frame=1 handle=2 parent=1 pid=5 type=\"sof\"\n"
      "crc5=26 crcOK=false frame=2 handle=3 parent=1 pid=5 type=\"sof\"\n"
      "children={5,9,13} handle=4 parent=-1 subType=\"CONTROL\" type=\"transfer\"\n"
      "children={6,7,8} handle=5 parent=4 subType=\"SETUP\" type=\"transaction\"\n"
      "addr=0 crc5=0 crcOK=true endp=0 handle=6 parent=5 pid=13 type=\"token\"\n"
      "crc16=0 crcOK=true data={128,6,0,1,0,0,18,0} handle=7 parent=5 pid=3 type=\"data\"\n"
      "handle=8 parent=5 pid=2 type=\"handshake\"\n"
      "children={10,11,12} handle=9 parent=4 subType=\"IN\" type=\"transaction\"\n"
      "addr=0 crc5=0 crcOK=true endp=0 handle=10 parent=9 pid=9 type=\"token\"\n"
      "crc16=0 crcOK=true data={18,1,16,1} handle=11 parent=9 pid=11 type=\"data\"\n"
      "handle=12 parent=9 pid=2 type=\"handshake\"\n"
      "children={14,15,16} handle=13 parent=4 subType=\"OUT\" type=\"transaction\"\n"
      "addr=0 crc5=0 crcOK=true endp=0 handle=14 parent=13 pid=1 type=\"token\"\n"
      "crc16=0 crcOK=true data={} handle=15 parent=13 pid=11 type=\"data\"\n"
      "handle=16 parent=13 pid=2 type=\"handshake\"\n"
      "crc16=0 crcOK=true data={} handle=17 parent=-1 pid=3 type=\"data\"\n"
      "children={} handle=18 parent=-1 subType=\"OUT\" type=\"transaction\"\n"
      "nil\n";
  std::string text;
  const auto lin = everyKind();
  for (const TlinRow& lr : *lin) {
    rowutils::setParams(lr.row, L);
    text += value(L) + "\n";
    lua_pop(L, 1);
  }
  rowutils::setParams(nullptr, L);
  text += value(L) + "\n";
  EXPECT_EQ(text, expected) << firstDifference(expected, text);
}

TEST_F(RowLua, WithoutScriptSofGroupsDecodeAndOtherRowsGetLuasError) {
  const std::string sofText = "SAn uninterrupted sequence of 2 SOF (Start Of Frame) packets";
  auto lin = everyKind();
  for (const TlinRow& lr : *lin) {
    const std::string s = decode(lr.row);
    if (lr.row->kind == ROW_SOFGROUP) EXPECT_EQ(s, sofText);
    else EXPECT_TRUE(has(s, "attempt to call a nil value") && s[0] != 'S' && s[0] != 'T') << s;
  }
  // The SOF group text needs no Lua state at all; other rows then give no text.
  EXPECT_EQ(rowutils::doDecode((*lin)[1].row, nullptr), sofText);
  EXPECT_EQ(rowutils::doDecode((*lin)[0].row, nullptr), "");
  EXPECT_EQ(rowutils::doDecode(nullptr, L), "");
  EXPECT_EQ(rowutils::doDecode(std::make_shared<Tbase>(), L), "");
}

// Results and error values that are strings or numbers become the decode string, others give "".
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
  const std::pair<int, std::string> cases[] = {{0, "42"}, {2, "4.5"}, {6, std::string("Snul\0byte", 9)},
                                               {7, ""}, {8, ""}, {4, ""}};
  for (const auto& [row, text] : cases) EXPECT_EQ(decode((*lin)[row].row), text) << row;
  EXPECT_TRUE(has(decode((*lin)[5].row), "boom"));
  run("function transfer_decode(t) error(7) end function handshake_decode(t) return true end");
  EXPECT_EQ(decode((*lin)[4].row), "7");
  EXPECT_EQ(decode((*lin)[8].row), "");
}

TEST_F(RowLua, ScriptErrorsLeaveTheStateUsableAndOtherRowsDecoded) {
  // A script that does not even load changes nothing; the state takes the next one.
  EXPECT_NE(luaL_dostring(L, "function reset_decode(t) return 'S' .. end"), LUA_OK);
  lua_pop(L, 1);
  auto lin = everyKind();
  EXPECT_TRUE(has(decode((*lin)[0].row), "attempt to call a nil value"));

  // Data row 11 fails at run time, every other data row decodes.
  run(R"(
    function data_decode(t)
      if t.handle == 11 then local x = nil; return x.field end
      return "Sdata " .. t.handle
    end
  )");
  std::string got;
  for (const TlinRow& lr : *lin)
    if (lr.row->kind == ROW_DATA) got += decode(lr.row).substr(0, 15) + "|";
  EXPECT_TRUE(has(got, "Sdata 7|") && has(got, "Sdata 15|Sdata 17|")) << got;
  EXPECT_TRUE(has(decode((*lin)[11].row), "attempt to index"));

  // An endless loop, also one that swallows the budget's error, is stopped.
  run(R"(
    function reset_decode(t) while true do end end
    function token_decode(t) while true do pcall(function() while true do end end) end end
    function sof_decode(t) return "Sframe " .. t.frame end
  )");
  EXPECT_TRUE(has(decode((*lin)[0].row), "stopped"));
  EXPECT_TRUE(has(decode((*lin)[6].row), "stopped"));
  EXPECT_EQ(decode((*lin)[2].row), "Sframe 1");
  EXPECT_EQ(decode((*lin)[7].row), "Sdata 7");
  EXPECT_EQ(lua_gethook(L), nullptr);  // the budget hook is gone after each call
}

// Coroutines draw on the budget of the decode call too, wherever they were made: while the
// script loaded, inside another coroutine, or during the call. Run in a child process, so that a
// budget that does not hold fails the test instead of hanging it.
TEST_F(RowLua, CoroutinesCannotEscapeTheBudget) {
  run(R"(
    local resume = coroutine.resume
    local spin = coroutine.create(function() while true do end end)
    local wrapped = coroutine.wrap(function() while true do end end)
    local catching = coroutine.create(function()
      while true do pcall(function() while true do end end) end
    end)
    local nested = coroutine.create(function()
      local inner = coroutine.create(function() while true do end end)
      coroutine.yield()
      resume(inner)
    end)
    resume(nested)
    function reset_decode(t) local ok, err = resume(spin) return "S" .. tostring(err) end
    function sof_decode(t) wrapped() end
    function token_decode(t) while true do resume(catching) end end
    function data_decode(t) local ok, err = resume(nested) return "S" .. tostring(err) end
    function handshake_decode(t)
      local fresh = coroutine.wrap(function() while true do end end)
      fresh()
    end
    counter = coroutine.wrap(function()
      coroutine.yield("Sstill here")
      local n = 0
      for i = 1, 20000000 do n = n + 1 end
      coroutine.yield(n)
    end)
    function transaction_decode(t) return counter() end
  )");
  const auto lin = everyKind();
  const auto got = runInChild(
      [&] {
        std::string out;
        for (const int row : {0, 2, 6, 7, 8, 5}) out += decode((*lin)[static_cast<size_t>(row)].row) + "|";
        // Outside a decode call a coroutine that was given the budget runs free: a script the
        // program calls otherwise is not limited.
        const bool free = luaL_dostring(L, "assert(counter() == 20000000)") == LUA_OK;
        return out + (free ? "free" : lua_tostring(L, -1)) + (lua_gethook(L) ? " hooked" : "");
      },
      std::chrono::seconds(120));
  ASSERT_TRUE(got) << "a decode call did not return";
  const auto parts = split(*got, '|');
  ASSERT_EQ(parts.size(), 7u) << *got;
  for (size_t i = 0; i < 5; ++i) EXPECT_TRUE(has(parts[i], "stopped after")) << parts[i];
  EXPECT_EQ(parts[5], "Sstill here");
  EXPECT_EQ(parts[6], "free");
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
  decodeAll(*lin, "without getNode");
  // A damaged tree: a transaction holding rows of other kinds, a transfer of a short SETUP, an
  // empty transfer, a data packet of no PID.
  auto odd = std::make_shared<Ttransax>(TRX_SETUP);
  auto h = std::make_shared<Thandshake>();
  h->pid = 0;
  odd->children = {std::make_shared<Treset>(), std::make_shared<TsofGroup>(), h};
  auto damaged = flatten({odd, group("SETUP3.0 D0=80,06,00 ACK")[0], std::make_shared<Ttransfer>(),
                          std::make_shared<Tdata>()});
  useRows(*damaged);
  decodeAll(*damaged, "damaged");

  useRows(*lin);
  const auto s = decodeAll(*lin, "every kind");
  const std::pair<int, const char*> parts[] = {
      {0, "Duration#120000 ticks"}, {0, "Idle after#7 ticks"},
      {2, "PID#SOF (5)\nFrame#1\nCRC5#0x1a (bad)"},
      {6, "PID#SETUP (13)\nAddress#0\nEndpoint#0\nCRC5#0x00 (OK)"},
      // The SETUP data packet spells out its request; the IN data packet shows its payload.
      {7, "Direction#Device to host\nType#Standard\nRecipient#Device\nbRequest#6 (GET_DESCRIPTOR)\n"
          "wValue#0x0100\nDescriptor type#1 (DEVICE)"},
      {7, "wIndex#0x0000\nwLength#18"}, {11, "0000#12 01 10 01"},
      {9, "Type#IN\nAddress#0\nEndpoint#0\nData#DATA1, 4 bytes\nHandshake#ACK"},
      {4, "Data stage#4 of 18 bytes\nStatus#OK"}};
  for (const auto& [row, part] : parts) EXPECT_TRUE(has(s[row], part)) << s[row] << "\nlacks " << part;
}

// A control transfer that never closes gathers every transaction of its endpoint; the script
// walks the first ones only, so it still gets its decode, with a note of how many were left out.
// Here a control write whose data stage the device NAKs to the end of the capture.
TEST_F(RowLua, InitScriptDecodesATransferOfManyTransactions) {
  constexpr int TRANSACTIONS = 300000;
  loadInit();
  TrowVec roots = group("SETUP0.0 D0=21,09,00,02,00,00,08,00 ACK");
  auto transfer = asGroup(roots.at(0));
  ASSERT_EQ(transfer->kind, ROW_TRANSFER);
  transfer->children.reserve(TRANSACTIONS);
  for (int i = 1; i < TRANSACTIONS; ++i) {
    auto t = std::make_shared<Ttransax>(TRX_OUT);
    auto out = std::make_shared<Ttoken>();
    out->pid = PID_OUT;
    auto data = std::make_shared<Tdata>();
    data->pid = PID_DATA1;
    data->data.assign(8, 0x55);
    auto nak = std::make_shared<Thandshake>();
    nak->pid = PID_NAK;
    t->children = {out, data, nak};
    transfer->children.push_back(t);
  }
  const auto lin = flatten(roots);
  useRows(*lin);
  const std::string s = decode((*lin)[0].row);
  EXPECT_TRUE(obeysGrammar(s)) << s.substr(0, 200);
  for (const char* part : {"bRequest#9 (Class request 9)", "Transactions#300000", "Data stage#0 of 8 bytes",
                           "Status#Incomplete", "SOnly the first 1000 transactions were examined: 299000 more follow"})
    EXPECT_TRUE(has(s, part)) << s.substr(0, 300) << "\nlacks " << part;
}

TEST_F(RowLua, InitScriptOverCapturesAndAnEncodedEnumeration) {
  loadInit();
  for (const auto& name : captureNames()) {
    const Views v = decodeRaw(readBytes(captureDir() + "/" + name + ".raw"));
    ASSERT_FALSE(v.lin->empty()) << name;
    useRows(*v.lin);
    const auto s = decodeAll(*v.lin, name);
    if (name != "usb_failed_setup_fullspeed") continue;
    std::vector<std::string> t;
    for (size_t i = 0; i < s.size(); ++i)
      if ((*v.lin)[i].row->kind == ROW_TRANSFER) t.push_back(s[i]);
    ASSERT_EQ(t.size(), 5u);
    for (int i = 0; i < 3; ++i) {  // the device qualifier three times, stalled
      for (const char* part : {"bRequest#6 (GET_DESCRIPTOR)\nwValue#0x0600\nDescriptor type#6 (DEVICE_QUALIFIER)",
                               "wLength#10", "Status#STALLed", "Address#55"})
        EXPECT_TRUE(has(t[i], part)) << t[i] << "\nlacks " << part;
    }
    // Then the configuration descriptor: 9 bytes read, whose status stage is NAKed inside the
    // transfer (its acknowledgement comes later, outside it); then 41 bytes asked for, stalled.
    for (const auto& [i, part] : std::vector<std::pair<int, const char*>>{
             {3, "Descriptor type#2 (CONFIGURATION)"}, {3, "wLength#9;"},
             {3, "Data stage#9 of 9 bytes\nStatus#Incomplete"}, {3, "0000#09 02 29 00 01 01 00 80 32"},
             {4, "Descriptor type#2 (CONFIGURATION)"}, {4, "wLength#41;"},
             {4, "Data stage#0 of 41 bytes\nStatus#STALLed"}})
      EXPECT_TRUE(has(t[i], part)) << t[i] << "\nlacks " << part;
  }

  usbenc::Bus bus;
  usbenc::Host host(bus);
  usbenc::enumerateHid(host, 5, 1);
  const Views v = decodeRaw(bus.stream());
  ASSERT_FALSE(v.lin->empty());
  useRows(*v.lin);
  const auto s = decodeAll(*v.lin, "enumeration");
  const auto transfer = [&](const char* request) {
    for (size_t i = 0; i < s.size(); ++i)
      if ((*v.lin)[i].row->kind == ROW_TRANSFER && has(s[i], request)) return s[i];
    return std::string();
  };
  const std::pair<const char*, const char*> parts[] = {
      {"bRequest#5 (SET_ADDRESS)", "New address#5\nwIndex"}, {"bRequest#5 (SET_ADDRESS)", "Address#0\n"},
      {"bRequest#5 (SET_ADDRESS)", "Status#OK"},
      {"bRequest#9 (SET_CONFIGURATION)", "Configuration value#1\nwIndex"},
      {"bRequest#9 (SET_CONFIGURATION)", "Address#5\n"}, {"bRequest#9 (SET_CONFIGURATION)", "Status#OK"},
      {"Descriptor type#1 (DEVICE)", "Data stage#18 of"}, {"Descriptor type#3 (STRING)", "Status#"}};
  for (const auto& [request, part] : parts)
    EXPECT_TRUE(has(transfer(request), part)) << request << " lacks " << part;
}
