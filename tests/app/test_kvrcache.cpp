// Tests of the row bitmap cache: replacement, widths, hi-light slots, blank rows and drawn pixels.
#include <gtest/gtest.h>

#include <wx/frame.h>
#include <wx/image.h>

#include <climits>
#include <fstream>

#include "gui/displ_helpers.h"
#include "capture_driver.h"
#include "kvrcache.h"
#include "workloads.h"
#include "kvutils.h"

using namespace kvtest;

namespace {

class RowCache : public ::testing::Test {
 protected:
  void SetUp() override { TrowCache::setSizes(17, 8); }  // an "X" 17 pixels high, 8 wide
  WorkDir cwd{repoRoot()};
  ShowFlags show{true, true, true};
};

/// Loads rows into the cache's display data as a finished capture would.
void load(TrowCache& rc, const std::string& spec) {
  const Views v = viewsOf(spec);
  rc.rData().setCaptureRunner([v] { return TcaptureResult{true, v.roots, v.lin}; });
  ASSERT_GT(rc.rData().doCapture(), 0u);
  rc.invalidateAll();
}

/// The colour of one pixel as 0x00BBGGRR.
unsigned long pixel(const wxImage& img, int x, int y) {
  return img.GetRed(x, y) | (unsigned long)img.GetGreen(x, y) << 8 |
         (unsigned long)img.GetBlue(x, y) << 16;
}

/// Every pixel of the image has colour c.
bool allOf(const wxImage& img, unsigned long c) {
  for (int y = 0; y < img.GetHeight(); ++y)
    for (int x = 0; x < img.GetWidth(); ++x)
      if (pixel(img, x, y) != c) return false;
  return true;
}

std::string cached(const TrowCache& rc) {
  std::string s;
  for (size_t i = 0; i < rc.cachedCount(); ++i) s += std::to_string(rc.cachedIx(i)) + " ";
  return s;
}

TEST_F(RowCache, KeepsTheLast32AndMovesHitsToTheFront) {
  TrowCache rc;
  std::string resets;
  for (int i = 0; i < 40; ++i) resets += "R ";
  load(rc, resets);
  int used = 0, ht = 0;
  for (int r = 0; r < 33; ++r) rc.getRowBitmap(r, 500, used, ht);
  EXPECT_EQ(rc.cachedCount(), 32u);
  EXPECT_EQ(rc.cachedIx(0), 32);
  EXPECT_EQ(rc.cachedIx(31), 1) << "row 0, the first asked for, was dropped: " << cached(rc);

  wxBitmap* b1 = rc.getRowBitmap(1, 500, used, ht);  // a hit: same bitmap, now in front
  EXPECT_EQ(rc.cachedIx(0), 1);
  EXPECT_EQ(rc.cachedCount(), 32u);
  rc.getRowBitmap(33, 500, used, ht);  // a miss drops the least recently used: row 2
  EXPECT_EQ(rc.cachedIx(31), 3) << cached(rc);
  EXPECT_EQ(rc.getRowBitmap(1, 500, used, ht), b1);
  EXPECT_EQ(ht, rc.getRowHt());
  EXPECT_EQ(rc.getRowHt(), 2 * 17 + 9);
}

// The pane's rows stay cached, a part row at its bottom included, with spares for scrolling;
// a low pane still keeps 32.
TEST_F(RowCache, KeepsEveryRowOfATallPanePlusSparesAndNeverFewerThan32) {
  TrowCache rc;
  std::string resets;
  for (int i = 0; i < 80; ++i) resets += "R ";
  load(rc, resets);
  rc.setPaneHeight(40 * rc.getRowHt() + 1);
  EXPECT_EQ(rc.capacity(), 41 + TrowCache::SPARE_ROWS);
  int used = 0, ht = 0;
  for (int r = 0; r < 80; ++r) rc.getRowBitmap(r, 500, used, ht);
  EXPECT_EQ(rc.cachedCount(), 41 + TrowCache::SPARE_ROWS);
  rc.setPaneHeight(10 * rc.getRowHt());
  EXPECT_EQ(rc.capacity(), 32u);
}

TEST_F(RowCache, WidthRule) {
  TrowCache rc;
  load(rc, "R R");
  int used = 0, ht = 0;
  wxBitmap* b = rc.getRowBitmap(0, 1024, used, ht);
  EXPECT_EQ(b->GetWidth(), 1124);
  EXPECT_EQ(b->GetHeight(), rc.getRowHt());
  EXPECT_EQ(rc.getRowBitmap(0, 1124, used, ht), b) << "a hit up to the width built";
  EXPECT_EQ(rc.getRowBitmap(0, 100, used, ht), b);
  b = rc.getRowBitmap(0, 1200, used, ht);
  EXPECT_EQ(b->GetWidth(), 1300);
  EXPECT_EQ(rc.cachedCount(), 1u) << "the narrower row was dropped, not kept beside";

  // The decode of an uncached row builds a 100-pixel row; the pane's width rebuilds it.
  rc.getRowDecode(1);
  EXPECT_EQ(rc.getRowBitmap(1, 0, used, ht)->GetWidth(), 100);
  EXPECT_EQ(rc.getRowBitmap(1, 800, used, ht)->GetWidth(), 900);
  // Nonsense widths still give a bitmap.
  EXPECT_GT(rc.getRowBitmap(1, -50, used, ht)->GetWidth(), 0);
  EXPECT_EQ(rc.getRowBitmap(1, INT_MAX, used, ht)->GetWidth(), TrowCache::MAX_WIDTH + 100);
}

TEST_F(RowCache, HiLightSlots) {
  TrowCache rc;
  load(rc, "R R R R R R R");
  int used = 0, ht = 0;
  EXPECT_EQ(rc.setClickRow(0, 3), -1);
  for (int r : {3, 5, 6}) rc.getRowBitmap(r, 300, used, ht);
  EXPECT_EQ(rc.setClickRow(0, 5), 3);
  EXPECT_EQ(cached(rc), "6 ") << "rows 3 and 5 dropped";
  EXPECT_EQ(rc.hiLightIx(5), 0);
  EXPECT_EQ(rc.hiLightIx(3), -1);
  EXPECT_EQ(rc.setClickRow(2, 1), -1);
  EXPECT_EQ(rc.setClickRow(-1, 1), -1);
  EXPECT_EQ(rc.hiLightIx(1), -1);

  const auto background = [&](int r) {
    return pixel(rc.getRowBitmap(r, 300, used, ht)->ConvertToImage(), 1, 1);
  };
  EXPECT_EQ(background(5), PINK);
  EXPECT_EQ(background(3), ROWS_BG);
  EXPECT_EQ(rc.setClickRow(1, 6), -1);
  EXPECT_EQ(background(6), LIGHTBLUE);
  EXPECT_EQ(rc.setClickRow(1, 5), 6);
  EXPECT_EQ(background(5), PINK) << "a row in both slots takes slot 0's colour";
  EXPECT_EQ(rc.setClickRow(0, -1), 5);
  EXPECT_EQ(background(5), LIGHTBLUE);
  EXPECT_EQ(rc.hiLightIx(-1), -1);
}

TEST_F(RowCache, BlankRows) {
  TrowCache rc;
  load(rc, "R S R");
  int used = 99, ht = 0;
  wxBitmap* b = rc.getRowBitmap(-1, 200, used, ht);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(used, 0);
  EXPECT_TRUE(allOf(b->ConvertToImage(), ROWS_BG));
  EXPECT_EQ(rc.getRowDecode(-1), "");
  EXPECT_EQ(rc.getRowDecode(3), "");

  {
    ShowFlags hideSof(false, true, true);
    rc.rData().resetVisibleRows();
    rc.invalidateAll();
    b = rc.getRowBitmap(1, 200, used, ht);
    EXPECT_EQ(used, 0);
    EXPECT_TRUE(allOf(b->ConvertToImage(), ROWS_BG));
    EXPECT_EQ(rc.getRowDecode(1), "");
  }
  rc.rData().resetVisibleRows();
  rc.invalidateAll();
  rc.getRowBitmap(1, 200, used, ht);
  EXPECT_GT(used, 0);
  EXPECT_FALSE(rc.getRowDecode(1).empty());
}

TEST_F(RowCache, UsedWidthOfKnownBoxes) {
  TrowCache rc;
  load(rc, "R S IN1.1 NAK");
  int used = 0, ht = 0;
  rc.getRowBitmap(0, 600, used, ht);
  EXPECT_EQ(used, 8 + 28 * 8 + 10 + 8 * 8 + 125) << "reset box and idle box: 431";

  // A SOF: left box, PID box (gap 10 at depth 0), frame, CRC5 and idle.
  rc.getRowBitmap(1, 600, used, ht);
  EXPECT_EQ(used, 8 + 14 * 8 + 10 + 7 * 8 + 7 * 8 + 7 * 8 + 10 + 8 * 8 + 125);

  // Fit-to-text boxes take the wider text plus two "X" widths.
  const auto& boxes = rc.rData().genRowBoxes(2);  // transaction: IN, ADDR, ENDP, NAK
  int expected = 8 + 125;
  for (const TdisplayBox& box : boxes) expected += box.gap + box.width * 8;
  rc.getRowBitmap(2, 600, used, ht);
  EXPECT_EQ(used, expected);
}

TEST_F(RowCache, DrawnPixels) {
  TrowCache rc;
  load(rc, "R ACK");  // a lone handshake: left box, PID box, idle box
  int used = 0, ht = 0;
  const wxImage img = rc.getRowBitmap(1, 600, used, ht)->ConvertToImage();
  const int w = TrowCache::fontWidth();
  const int h = (rc.getRowHt() - 9) / 2;
  const int boxTop = 2, boxMid = h + 4, boxBot = 2 * h + 6;
  const int pidLeft = 8 + 14 * w + 10;  // depth 0: gap 10
  EXPECT_EQ(pixel(img, pidLeft + 2, boxTop + 2), utils::pidBG(PID_ACK)) << "PID fill";
  EXPECT_EQ(utils::pidBG(PID_ACK), YELLOW);
  EXPECT_EQ(pixel(img, pidLeft + 2, boxMid), BLACK) << "middle line of a two-line box";
  EXPECT_EQ(pixel(img, pidLeft + 2, boxMid + 2), WHITE) << "lower line's fill";
  EXPECT_EQ(pixel(img, pidLeft, boxTop + 5), BLACK) << "left border";
  EXPECT_EQ(pixel(img, pidLeft + 2, boxTop), BLACK) << "top border";
  EXPECT_EQ(pixel(img, pidLeft + 2, boxBot), BLACK) << "bottom border";
  EXPECT_EQ(pixel(img, pidLeft + 2, boxBot + 1), ROWS_BG);
  EXPECT_EQ(pixel(img, 4, boxTop + 5), ROWS_BG) << "left margin";
  EXPECT_EQ(pixel(img, 8 + 2, boxTop + 2), AZURE) << "packet box";

  // The reset box of a row in slot 0: background pink, box purple.
  rc.setClickRow(0, 0);
  const wxImage reset = rc.getRowBitmap(0, 600, used, ht)->ConvertToImage();
  EXPECT_EQ(pixel(reset, 1, 1), PINK);
  EXPECT_EQ(pixel(reset, 8 + 2, boxTop + 2), PURPLE);
  EXPECT_EQ(pixel(reset, used - 10, boxTop + 2), PINK) << "right margin";
}

TEST_F(RowCache, GeometryFollowsTheFont) {
  TrowCache rc;
  wxFrame* frame = new wxFrame(nullptr, wxID_ANY, "rows");
  wxFont font = frame->GetFont();
  font.SetPointSize(12);
  frame->SetFont(font);
  const wxSize x12 = frame->GetTextExtent("X");
  rc.init(frame, 800);
  EXPECT_EQ(rc.getRowHt(), 2 * x12.GetHeight() + 9);
  EXPECT_EQ(TrowCache::fontWidth(), x12.GetWidth());
  load(rc, "R");
  int used = 0, ht = 0;
  rc.getRowBitmap(0, 800, used, ht);
  rc.zoom(24);
  EXPECT_EQ(rc.cachedCount(), 0u);
  EXPECT_GT(rc.getRowHt(), 2 * x12.GetHeight() + 9);
  EXPECT_EQ(rc.getRowBitmap(0, 800, used, ht)->GetHeight(), rc.getRowHt());
  EXPECT_EQ(used, 8 + (28 + 8) * TrowCache::fontWidth() + 10 + 125);
  frame->Destroy();
}

TEST_F(RowCache, HubTopicsReloadOnlyOnSuccess) {
  TrowCache rc;
  int published = 0;
  const int h = _G.sub(msgVisRowsChanged, [&](long) { ++published; });
  load(rc, "R R R");
  int used = 0, ht = 0;
  rc.getRowBitmap(0, 300, used, ht);

  TempDir tmp;
  const std::string missing = tmp.path("missing.kvd");
  _G.pub(msgSampleFileRead, reinterpret_cast<long>(missing.c_str()));
  _G.pub(msgSampleFileRead, 0);
  EXPECT_EQ(published, 0);
  EXPECT_EQ(rc.cachedCount(), 1u) << "old bitmaps stay";

  // A capture that brings no rows changes nothing; one that does drops every row, once.
  rc.rData().setCaptureRunner([] { return TcaptureResult{}; });
  _G.pub(msgDoCapture, 0);
  EXPECT_EQ(published, 0);
  EXPECT_EQ(rc.cachedCount(), 1u);
  const Views v = viewsOf("R S R S R");
  rc.rData().setCaptureRunner([v] { return TcaptureResult{true, v.roots, v.lin}; });
  _G.pub(msgDoCapture, 0);
  EXPECT_EQ(published, 1);
  EXPECT_EQ(rc.cachedCount(), 0u);
  EXPECT_EQ(rc.rData().rowCount(), 5);

  const std::string path = tmp.path("saved.kvd");
  _G.pub(msgSampleFileSave, reinterpret_cast<long>(path.c_str()));
  load(rc, "R");
  rc.getRowBitmap(0, 300, used, ht);
  _G.pub(msgSampleFileRead, reinterpret_cast<long>(path.c_str()));
  EXPECT_EQ(published, 2);
  EXPECT_EQ(rc.cachedCount(), 0u);
  EXPECT_EQ(rc.rData().rowCount(), 5);
  _G.unsub(msgVisRowsChanged, h);
}

}  // namespace

namespace {

/// The row cache with the real capture dialog on the probe simulator, driven by a scripted user.
class RowCacheCapture : public captest::DialogTest {
 protected:
  void SetUp() override {
    captest::DialogTest::SetUp();
    streamingProbe(streamFile.path("stream.raw"));
    sub = _G.sub(msgVisRowsChanged, [this](long) { ++published; });
  }
  void TearDown() override {
    _G.unsub(msgVisRowsChanged, sub);
    captest::DialogTest::TearDown();
  }

  WorkDir cwd{repoRoot()};
  TempDir streamFile;
  int published = 0;
  int sub = 0;
};

// A capture decoded and then cancelled changes nothing; one left with OK replaces the rows,
// drops every bitmap and announces the change once.
TEST_F(RowCacheCapture, CancelKeepsRowsFlagsAndBitmapsOkReplacesThem) {
  TempDir tmp;
  const std::string path = tmp.path("rows.kvd");
  ASSERT_EQ(TdataIO().saveLinearToFile(viewsOf(ALL_KINDS).lin, path), 29u);
  TrowCache rc;  // its display data runs the real dialog on the capture topic
  _G.pub(msgSampleFileRead, reinterpret_cast<long>(path.c_str()));
  ASSERT_EQ(published, 1);
  TdisplData& dd = rc.rData();
  dd.doubleClick(8);
  int used = 0, ht = 0;
  for (int i = 0; i < dd.rowCount(); ++i) rc.getRowBitmap(i, 400, used, ht);
  std::vector<uint8_t> flags;
  for (int i = 0; i < dd.rowCount(); ++i) flags.push_back(dd.rowFlags(i));
  const auto lin = dd.pLinRows();
  const size_t cachedBefore = rc.cachedCount();

  {
    TuiScript user;
    captureThen(user, wxID_CANCEL);
    _G.pub(msgDoCapture, 0);  // returns when the dialog has gone
    EXPECT_TRUE(user.finished()) << user.failure();
    EXPECT_EQ(captest::dialog(), nullptr);
  }
  EXPECT_EQ(published, 1) << "no repaint announced";
  EXPECT_EQ(dd.pLinRows(), lin);
  for (int i = 0; i < dd.rowCount(); ++i) EXPECT_EQ(dd.rowFlags(i), flags[size_t(i)]) << i;
  EXPECT_EQ(rc.cachedCount(), cachedBefore) << "bitmaps kept";

  {
    TuiScript user;
    captureThen(user, wxID_OK);
    _G.pub(msgDoCapture, 0);
    EXPECT_TRUE(user.finished()) << user.failure();
  }
  EXPECT_EQ(published, 2);
  EXPECT_EQ(rc.cachedCount(), 0u);
  EXPECT_NE(dd.pLinRows(), lin);
  EXPECT_GT(dd.rowCount(), 0);
  EXPECT_EQ(dd.pTreeRoots()->empty(), false);
}

}  // namespace
