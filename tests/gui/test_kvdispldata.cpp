// Tests of the display data: show filters, visible-row walks, bytes, marks, getNode, loads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <lua.hpp>

#include "gui/displ_helpers.h"
#include "kvmemory.h"

using namespace kvtest;

namespace {

class DisplData : public ::testing::Test {
 protected:
  WorkDir cwd{repoRoot()};
};

/// Whether a row of the ALL_KINDS list passes the filters: the rules written out per row.
bool expectedVisible(int ix, bool sof, bool nak, bool packets) {
  const bool nakTrx = ix == 5 || ix == 21;
  const bool inNakTrx = ix == 6 || ix == 7 || ix == 22 || ix == 23;
  const bool isSof = (ix >= 1 && ix <= 4) || ix == 24;
  const bool isPacket = inNakTrx || (ix >= 10 && ix <= 12) || (ix >= 14 && ix <= 16) ||
                        (ix >= 18 && ix <= 20) || (ix >= 26 && ix <= 28);
  if (isSof) return sof;
  if (nakTrx) return nak;
  if (inNakTrx) return nak && packets;
  if (isPacket) return packets;
  return true;  // reset, transfer, transactions without a NAK
}

TEST_F(DisplData, FiltersForEveryKindAndFlagCombinationInAnyOrder) {
  TdisplData dd;
  const Views v = viewsOf(ALL_KINDS);
  ASSERT_EQ(loadViews(dd, v), 29u);
  for (int combo = 0; combo < 8; ++combo) {
    const bool sof = combo & 1, nak = combo & 2, packets = combo & 4;
    ShowFlags flags(sof, nak, packets);
    // Upwards first (packets before their transaction), then downwards, then cached.
    for (int pass = 0; pass < 3; ++pass) {
      if (pass < 2) dd.resetVisibleRows();
      for (int k = 0; k < dd.rowCount(); ++k) {
        const int ix = pass == 0 ? dd.rowCount() - 1 - k : k;
        EXPECT_EQ(dd.isVisible(ix), expectedVisible(ix, sof, nak, packets))
            << "row " << ix << " sof " << sof << " nak " << nak << " packets " << packets
            << " pass " << pass;
      }
    }
  }
  EXPECT_FALSE(dd.isVisible(-1));
  EXPECT_FALSE(dd.isVisible(dd.rowCount()));
}

TEST_F(DisplData, ResetKeepsOtherFlagBits) {
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  dd.isVisible(2);
  EXPECT_EQ(dd.rowFlags(2), LINROW_SOF | LINROW_PACKET | LINROW_VIS_KNOWN);  // SOFs hidden by default
  dd.resetVisibleRows();
  EXPECT_EQ(dd.rowFlags(2), LINROW_SOF | LINROW_PACKET);
}

/// The visible rows, with resets always shown and SOFs hidden.
std::string visibleRows(TdisplData& dd) {
  std::string s;
  for (int i = 0; i < dd.rowCount(); ++i) s += dd.isVisible(i) ? 'v' : '.';
  return s;
}

TEST_F(DisplData, WalksAndNearestVisibleRow) {
  ShowFlags flags(false, false, true);
  TdisplData dd;
  loadViews(dd, viewsOf("R S S S S R S S S R"));  // resets 0, 6, 11; SOF groups 1 and 7
  ASSERT_EQ(visibleRows(dd), "v.....v....v");
  EXPECT_EQ(dd.nextVisibleRow(0), 6);
  EXPECT_EQ(dd.nextVisibleRow(3), 6);
  EXPECT_EQ(dd.prevVisibleRow(6), 0);
  EXPECT_EQ(dd.prevVisibleRow(10), 6);
  EXPECT_EQ(dd.nearestVisibleRow(6), 6);
  EXPECT_EQ(dd.nearestVisibleRow(3), 0) << "3 rows either way: the tie goes to the previous row";
  EXPECT_EQ(dd.nearestVisibleRow(2), 0);
  EXPECT_EQ(dd.nearestVisibleRow(4), 6);
  EXPECT_EQ(dd.nearestVisibleRow(9), 11);
  // The ends of the list and invalid indexes.
  EXPECT_EQ(dd.nextVisibleRow(-1), -1);
  EXPECT_EQ(dd.nextVisibleRow(11), -1);
  EXPECT_EQ(dd.prevVisibleRow(0), -1);
  EXPECT_EQ(dd.prevVisibleRow(dd.rowCount()), -1);
  EXPECT_EQ(dd.nearestVisibleRow(-1), -1);
  EXPECT_EQ(dd.nearestVisibleRow(dd.rowCount()), -1);

  loadViews(dd, viewsOf("S S S R"));  // nothing visible before row 4
  ASSERT_EQ(visibleRows(dd), "....v");
  EXPECT_EQ(dd.nearestVisibleRow(1), 4);
  loadViews(dd, viewsOf("R S S S"));  // nothing visible after row 0
  EXPECT_EQ(dd.nearestVisibleRow(3), 0);
  loadViews(dd, viewsOf("S S S"));
  EXPECT_EQ(dd.nearestVisibleRow(1), -1);
}

TEST_F(DisplData, DecodeErrorTextAndDataOfEveryKind) {
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  EXPECT_EQ(dd.genRowDecode(-1), "Error - row -1");
  EXPECT_EQ(dd.genRowDecode(29), "Error - row 29");
  EXPECT_TRUE(dd.genRowBoxes(-1).empty());

  const auto bytes = [&](int ix) { return std::vector<uint8_t>(dd.getData(ix)); };
  const std::vector<uint8_t> none;
  for (int ix : {-1, 29, 0, 1, 2, 10, 12, 24}) EXPECT_EQ(bytes(ix), none) << ix;  // kinds 0,5,1,2,4
  EXPECT_EQ(bytes(11), (std::vector<uint8_t>{0x80, 6, 0, 1, 0, 0, 0x12, 0}));  // data row
  EXPECT_EQ(bytes(13), (std::vector<uint8_t>{0, 1, 2, 3}));  // transaction: its data packet
  EXPECT_EQ(bytes(5), none);                                 // NAKed IN: no data packet
  EXPECT_EQ(bytes(8), (std::vector<uint8_t>{0, 1, 2, 3}));   // transfer: its data stage
}

TEST_F(DisplData, DoubleClickTogglesPacketMarksOfGroups) {
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  const auto marks = [&] {
    std::string m;
    for (int i = 0; i < dd.rowCount(); ++i) m += (dd.rowFlags(i) & LINROW_USER) ? 'U' : '.';
    return m;
  };
  const std::string clear(29, '.');
  EXPECT_FALSE(dd.doubleClick(-1));
  EXPECT_FALSE(dd.doubleClick(29));
  EXPECT_TRUE(dd.doubleClick(10));  // a packet: nothing changes
  EXPECT_EQ(marks(), clear);
  EXPECT_TRUE(dd.doubleClick(8));  // the transfer marks every packet of its transactions
  EXPECT_EQ(marks(), "..........UUU.UUU.UUU........");
  EXPECT_TRUE(dd.doubleClick(13));  // one transaction toggles its own packets back
  EXPECT_EQ(marks(), "..........UUU.....UUU........");
  EXPECT_TRUE(dd.doubleClick(13));
  EXPECT_TRUE(dd.doubleClick(8));  // twice restores
  EXPECT_EQ(marks(), clear);
  EXPECT_TRUE(dd.doubleClick(1));  // a SOF group marks its SOFs
  EXPECT_EQ(marks(), "..UUU........................");
}

/// Runs a chunk in the display data's Lua state and returns its one result as text ("nil" for
/// none or nil).
std::string lua(TdisplData& dd, const std::string& chunk) {
  lua_State* L = dd.lua();
  const int top = lua_gettop(L);
  if (luaL_dostring(L, chunk.c_str()) != LUA_OK) {
    std::string err = lua_tostring(L, -1);
    lua_settop(L, top);
    return "error: " + err;
  }
  std::string out = lua_gettop(L) > top ? luaL_tolstring(L, top + 1, nullptr) : "nil";
  lua_settop(L, top);
  return out;
}

TEST_F(DisplData, GetNodeConvertsAndChecksItsArgument) {
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  EXPECT_EQ(lua(dd, "return getNode(2.7).handle"), "2");
  EXPECT_EQ(lua(dd, "return getNode(8).type"), "transfer");
  EXPECT_EQ(lua(dd, "return getNode(28.999).parent"), "25");
  EXPECT_EQ(lua(dd, "return getNode('3').handle"), "3");
  EXPECT_EQ(lua(dd, "return getNode(1, 4).handle"), "4") << "the last argument counts";
  EXPECT_EQ(lua(dd, "return getNode('x').handle"), "0") << "no number counts as 0";
  EXPECT_EQ(lua(dd, "return getNode({}).handle"), "0");
  EXPECT_EQ(lua(dd, "return getNode().handle"), "0");
  for (const char* bad : {"29", "-1", "-0.5", "0/0", "math.huge", "-math.huge", "2^31", "-2^31-1",
                          "1e300", "math.maxinteger", "math.mininteger"})
    EXPECT_EQ(lua(dd, std::string("return select('#', getNode(") + bad + "))"), "0") << bad;
  // The stack the script sees is left as it was.
  EXPECT_EQ(lua(dd, "local a, b = 'a', getNode(99); return a .. tostring(b)"), "anil");
  // The rows of the display data in use; no rows, no tables.
  TdisplData empty;
  EXPECT_EQ(lua(empty, "return select('#', getNode(0))"), "0");
}

TEST_F(DisplData, FailedLoadsKeepRowsAndFlags) {
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  dd.doubleClick(8);
  for (int i = 0; i < dd.rowCount(); ++i) dd.isVisible(i);
  std::vector<uint8_t> before;
  for (int i = 0; i < dd.rowCount(); ++i) before.push_back(dd.rowFlags(i));
  const auto lin = dd.pLinRows();
  const auto roots = dd.pTreeRoots();

  TempDir tmp;
  writeFile(tmp.path("empty.kvd"), "KVFMT01\n0\n", true);
  writeFile(tmp.path("bad.kvd"), "KVFMT01\n12x\n", true);
  for (const char* name : {"missing.kvd", "empty.kvd", "bad.kvd"})
    EXPECT_EQ(dd.sampleFileRead(tmp.path(name)), 0u) << name;
  // Good rows whose declared 100 MB of text would not fit into the memory the system can give.
  writeFile(tmp.path("good.kvd"), "KVFMT01\n100000000\n0;H:2;TI:1;TL:1\n", true);
  utils::setMemorySource([]() -> uint64_t { return 0; });
  EXPECT_EQ(dd.sampleFileRead(tmp.path("good.kvd")), 0u) << "no memory";
  utils::setMemorySource(nullptr);
  ASSERT_EQ(TdisplData().sampleFileRead(tmp.path("good.kvd")), 1u);
  // A capture cancelled, or ended with OK but no rows.
  dd.setCaptureRunner([&] { return TcaptureResult{false, roots, lin}; });
  EXPECT_EQ(dd.doCapture(), 0u);
  dd.setCaptureRunner([] { return TcaptureResult{true, std::make_shared<TrowVec>(),
                                                 std::make_shared<TlinRowVec>()}; });
  EXPECT_EQ(dd.doCapture(), 0u);
  dd.setCaptureRunner([] { return TcaptureResult{true, nullptr, nullptr}; });
  EXPECT_EQ(dd.doCapture(), 0u);

  EXPECT_EQ(dd.pLinRows(), lin);
  EXPECT_EQ(dd.pTreeRoots(), roots);
  for (int i = 0; i < dd.rowCount(); ++i) EXPECT_EQ(dd.rowFlags(i), before[size_t(i)]) << i;
}

TEST_F(DisplData, SaveAndReadBackThroughTheHub) {
  TempDir tmp;
  const std::string path = tmp.path("saved.kvd");
  TdisplData dd;
  loadViews(dd, viewsOf(ALL_KINDS));
  _G.pub(msgSampleFileSave, reinterpret_cast<long>(path.c_str()));
  _G.pub(msgSampleFileSave, 0);  // no path: nothing happens
  const std::string saved = linText(*dd.pLinRows());

  TdisplData other;
  EXPECT_EQ(other.sampleFileRead(path), 29u);
  EXPECT_EQ(linText(*other.pLinRows()), saved);
  EXPECT_EQ(other.pTreeRoots()->size(), dd.pTreeRoots()->size());
}

TEST_F(DisplData, ShippedScriptDecodesEveryRowOfEveryCapture) {
  TdisplData dd;
  for (const auto& name : captureNames()) {
    Views v;
    ASSERT_GT(TdataIO().loadRawFile(captureDir() + "/" + name + ".raw", v.events, v.roots, v.lin),
              0u)
        << name;
    ASSERT_EQ(loadViews(dd, v), v.lin->size());
    for (int i = 0; i < dd.rowCount(); ++i) {
      const std::string s = dd.genRowDecode(i);
      ASSERT_FALSE(s.empty()) << name << " row " << i;
      // A script error starts with the script's name, a missing function with "attempt".
      ASSERT_TRUE(s[0] == 'S' || s[0] == 'T') << name << " row " << i << ": " << s;
      ASSERT_EQ(s.find("init.lua:"), std::string::npos) << name << " row " << i << ": " << s;
    }
  }
  EXPECT_GE(captureNames().size(), 4u);
}

TEST_F(DisplData, FailingScriptIsReportedAndLeftOut) {
  TempDir tmp;
  std::filesystem::create_directories(tmp.path("scripts"));
  writeFile(tmp.path("scripts/init.lua"),
            "function token_decode(t) return 'Shalf' end\nerror('broken on purpose')\n");
  WorkDir here(tmp.path(""));
  ::testing::internal::CaptureStderr();
  TdisplData dd;
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Error: ", 0), 0u) << err;
  EXPECT_NE(err.find("broken on purpose"), std::string::npos) << err;
  EXPECT_EQ(err.back(), '\n');

  loadViews(dd, viewsOf(ALL_KINDS));
  EXPECT_TRUE(dd.isVisible(0));
  // Nothing of the failed script decodes: the token gets Lua's error text, not "Shalf".
  const std::string token = dd.genRowDecode(26);
  EXPECT_NE(token, "Shalf");
  EXPECT_TRUE(token.empty() || (token[0] != 'S' && token[0] != 'T')) << token;
  EXPECT_EQ(dd.genRowDecode(1).rfind("SAn uninterrupted sequence of 3", 0), 0u);
  EXPECT_EQ(lua(dd, "return getNode(0).type"), "reset") << "getNode is there all the same";
}

// A script that loops or allocates without end while it loads meets the budget of a decode or
// the state's memory ceiling: "Error: " and Lua's message on standard error, and the program
// goes on without the script. One that allocates without end in a row's decode costs that row
// its decode text. Each within seconds, and the state never holds more than its ceiling.
TEST_F(DisplData, EndlessScriptsEndAsErrors) {
  constexpr const char* GROW = "local t = {} while true do t[#t + 1] = {} end\n";
  const struct {
    const char* what;
    std::string script;
    const char* message;
  } cases[] = {
      {"loop at load", "while true do end\n", "stopped after"},
      {"allocation at load", GROW, "not enough memory"},
      {"allocation in a decode",
       std::string("function reset_decode(t) ") + GROW + " end\nfunction handshake_decode() return 'Sok' end\n", nullptr},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    std::filesystem::create_directories(tmp.path("scripts"));
    writeFile(tmp.path("scripts/init.lua"), c.script);
    WorkDir here(tmp.path(""));
    const auto t0 = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    TdisplData dd;
    const std::string err = ::testing::internal::GetCapturedStderr();
    loadViews(dd, viewsOf("R IN1.1 D0:3 ACK"));
    const std::string reset = dd.genRowDecode(0);
    const std::string ack = dd.genRowDecode(4);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 60.0) << c.what;  // a guard against a hang, not a speed target
    std::printf("%s: %.2f s\n", c.what, seconds);
    if (c.message) {
      EXPECT_EQ(err.rfind("Error: ", 0), 0u) << c.what << ": " << err;
      EXPECT_NE(err.find(c.message), std::string::npos) << c.what << ": " << err;
      EXPECT_EQ(ack.rfind("S", 0), std::string::npos) << c.what << ": the script is left out";
    } else {
      EXPECT_EQ(err, "") << c.what;
      EXPECT_NE(reset.find("not enough memory"), std::string::npos) << c.what << ": " << reset;
      EXPECT_EQ(ack, "Sok") << c.what << ": the state goes on";
    }
    EXPECT_EQ(lua(dd, "return getNode(0).type"), "reset") << c.what;
  }
}

// A missing script and a FIFO in its place are load failures too. Opening a FIFO would block
// the start until a writer comes: the guard opens its other end after a while, so that such a
// start ends (late) instead of hanging the test.
TEST_F(DisplData, MissingScriptOrAFifoIsReportedToo) {
  for (const bool fifo : {false, true}) {
    TempDir tmp;
    std::filesystem::create_directories(tmp.path("scripts"));
    const std::string script = tmp.path("scripts/init.lua");
    if (fifo) {
      ASSERT_EQ(mkfifo(script.c_str(), 0600), 0);
    }
    WorkDir here(tmp.path(""));
    std::atomic<bool> started{true};
    std::thread guard([&] {
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (started && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      const int fd = fifo && started ? open(script.c_str(), O_WRONLY | O_NONBLOCK) : -1;
      if (fd >= 0) close(fd);
    });
    const auto t0 = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    {
      TdisplData dd;
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    started = false;
    guard.join();
    EXPECT_EQ(err.rfind("Error: ", 0), 0u) << (fifo ? "fifo: " : "missing: ") << err;
    if (fifo) {
      EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
      EXPECT_LT(seconds, 10.0) << "the start waited for a writer of the FIFO";
    }
  }
}

}  // namespace
