// Tests of the packet tree view: scroll range, wheel, drag, clicks and the scroll bar's publishing.
#include "kvtree.h"

#include <gtest/gtest.h>

#include <functional>

#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "capture_driver.h"
#include "desk_helpers.h"
#include "gui/displ_helpers.h"
#include "gui_env.h"
#include "kvdecode.h"
#include "kvdispldata.h"
#include "kvdpane.h"
#include "kvmainframe.h"
#include "kvwxmid.h"

namespace {

using kvtest::TdeskScope;

// Static texts with that label in the window and below it.
int countLabels(wxWindow* w, const wxString& label) {
  int n = 0;
  if (auto* t = dynamic_cast<wxStaticText*>(w); t && t->GetLabel() == label) ++n;
  for (wxWindow* c : w->GetChildren()) n += countLabels(c, label);
  return n;
}

// Paints the pane into a bitmap, as a paint event would, so that the hit test has rows.
void paint(TreeMidPane* tree) {
  wxBitmap bitmap(tree->paneWidth, tree->paneHeight);
  wxMemoryDC dc(bitmap);
  tree->doPaint(dc);
}

class TreeView : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = new wxFrame(nullptr, wxID_ANY, "tree");
    mid = new MidPane(frame, wxID_ANY);
    frame->SetClientSize(1000, 800);
    frame->Show();
    tree = mid->treePane->midPane;
    bar = mid->treePane->scrollBar;
    ASSERT_TRUE(kvtest::runLoopUntil([&] { return tree->paneHeight > 500; }, 5000));
  }
  void TearDown() override { delete frame; }

  TdisplData& data() { return tree->rowCache.rData(); }

  void loadResets(int n) {
    const std::string path = (scope.dir / ("resets" + std::to_string(n) + ".kvd")).string();
    ASSERT_TRUE(kvtest::writeResets(path, n));
    kvtest::readSampleFile(path);
    ASSERT_EQ(data().rowCount(), n);
  }

  // Reads the rows of an event spec (displ_helpers.h) from a sample file.
  void loadSpec(const std::string& spec) {
    const std::string path = (scope.dir / "spec.kvd").string();
    const kvtest::Views v = kvtest::viewsOf(spec);
    ASSERT_EQ(TdataIO().saveLinearToFile(v.lin, path), v.lin->size());
    kvtest::readSampleFile(path);
    ASSERT_EQ(data().rowCount(), static_cast<int>(v.lin->size()));
  }

  // The thumb dragged to pos: the bar moves, then notifies as the toolkit does.
  void dragThumb(int pos) {
    bar->wxScrollBar::SetThumbPosition(pos);
    wxScrollEvent event(wxEVT_SCROLL_THUMBTRACK, bar->GetId(), bar->GetThumbPosition(), wxVERTICAL);
    event.SetEventObject(bar);
    bar->GetEventHandler()->ProcessEvent(event);
  }

  void paint() { ::paint(tree); }

  void mouse(wxEventType type, int y, int rotation = 0, int mods = 0) {
    wxMouseEvent event(type);
    event.SetEventObject(tree);
    event.m_x = 10;
    event.m_y = y;
    event.m_wheelRotation = rotation;
    event.m_wheelDelta = 120;
    event.m_controlDown = (mods & wxMOD_CONTROL) != 0;
    event.m_shiftDown = (mods & wxMOD_SHIFT) != 0;
    event.m_altDown = (mods & wxMOD_ALT) != 0;
    tree->GetEventHandler()->ProcessEvent(event);
  }

  TdeskScope scope;
  wxFrame* frame = nullptr;
  MidPane* mid = nullptr;
  TreeMidPane* tree = nullptr;
  TreeScrollBarPane* bar = nullptr;
};

TEST_F(TreeView, ScrollRangeCountsSixVisibleRowsBackFromTheEndAndNeverBelowTen) {
  EXPECT_EQ(tree->scrollMax, 10);  // no rows
  EXPECT_EQ(bar->GetRange(), 26);
  // A click on the top line of the blank pane marks row 0 and empties both panes.
  mid->decodePane->render("Sold");
  paint();
  mouse(wxEVT_LEFT_DOWN, 1);
  mouse(wxEVT_LEFT_UP, 1);
  EXPECT_EQ(tree->rowCache.hiLightIx(0), 0);
  EXPECT_EQ(mid->dataPane->textCtrl->GetValue(), " No Data");
  EXPECT_EQ(countLabels(mid->decodePane, "old"), 0);

  loadResets(100);
  EXPECT_EQ(tree->scrollMax, 93);
  EXPECT_EQ(bar->GetRange(), 93 + TreeScrollBarPane::THUMB_SIZE);
  // The wheel goes on past the bar's end until the last row is at the top.
  tree->scrollByLines(500);
  EXPECT_EQ(tree->topRow, 99);
  loadResets(5);
  EXPECT_EQ(tree->scrollMax, 10);
  // The old top row lies beyond the new list: no visible row is near it.
  EXPECT_EQ(tree->topRow, 0);
}

TEST_F(TreeView, HiddenRowsAreSkippedByTheRangeAndTheTopRow) {
  // SOFs are hidden by default: only the resets between them count.
  auto roots = std::make_shared<TrowVec>();
  for (int i = 0; i < 20; ++i) {
    if (i % 2) {
      roots->push_back(std::make_shared<Treset>());
    } else {
      auto sof = std::make_shared<Tsof>();
      sof->pid = 5;
      sof->frame = static_cast<uint32_t>(i);
      roots->push_back(sof);
    }
  }
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO().treeRootVecToLinVec(roots, lin);
  const std::string path = (scope.dir / "mixed.kvd").string();
  ASSERT_EQ(TdataIO().saveLinearToFile(lin, path), 20u);
  kvtest::readSampleFile(path);
  ASSERT_EQ(data().rowCount(), 20);
  EXPECT_EQ(tree->topRow, 1);  // row 0 is hidden; its nearest visible row is 1
  EXPECT_EQ(tree->scrollMax, 10);  // six visible steps back from before row 19: row 7
  bar->SetThumbPosition(12);  // hidden; ties go to the earlier row
  EXPECT_EQ(tree->topRow, 11);
  tree->scrollByLines(-2);
  EXPECT_EQ(tree->topRow, 7);
}

// The range never has fewer than ten positions, so the thumb's end lies past the last row of a
// short list: the last row then stands at the top, and the wheel brings the others back.
TEST_F(TreeView, AThumbPastTheLastRowShowsTheLastVisibleRowAndTheWheelScrollsBack) {
  loadResets(8);
  ASSERT_EQ(tree->scrollMax, 10);
  dragThumb(10);
  ASSERT_EQ(bar->GetThumbPosition(), 10);
  EXPECT_EQ(tree->topRow, 7);
  paint();
  EXPECT_EQ(tree->paintedRows.front(), 7);
  mouse(wxEVT_MOUSEWHEEL, 5, 120);
  mouse(wxEVT_MOUSEWHEEL, 5, 120);
  EXPECT_EQ(tree->topRow, 5);
  dragThumb(8);  // the first position past the list
  EXPECT_EQ(tree->topRow, 7);

  // A hidden last row: the last visible one. No visible row at all: no top row.
  loadSpec("R R R R S S S");  // resets 0-3, a SOF group (4) with its SOFs, hidden
  dragThumb(9);
  EXPECT_EQ(tree->topRow, 3);
  loadSpec("S S S");
  dragThumb(10);
  EXPECT_EQ(tree->topRow, -1);
}

// New rows replace rows scrolled to their end; the new row 0 is a SOF group, hidden while SOFs
// are. The view starts at the first visible row, thumb at 0, and a click there picks that row.
TEST_F(TreeView, NewRowsStartAtTheirFirstVisibleRowWithTheThumbAtZero) {
  loadResets(100);
  tree->scrollByLines(500);
  ASSERT_EQ(tree->topRow, 99);
  ASSERT_EQ(bar->GetThumbPosition(), 93);
  std::string spec = "S S S";  // a SOF group (row 0) with its three SOFs, then 40 resets
  for (int i = 0; i < 40; ++i) spec += " R";
  loadSpec(spec);
  ASSERT_EQ(data().getDisplRowPtr(0)->kind, ROW_SOFGROUP);
  EXPECT_EQ(tree->topRow, 4);
  EXPECT_EQ(bar->GetThumbPosition(), 0);
  paint();
  EXPECT_EQ(tree->paintedRows.front(), 4);
  mouse(wxEVT_LEFT_DOWN, 1);
  mouse(wxEVT_LEFT_UP, 1);
  EXPECT_EQ(tree->rowCache.hiLightIx(4), 0);

  // A change of the show flags keeps the place, thumb included.
  bar->SetThumbPosition(20);
  _G.showSOF = true;
  _G.pub(msgVisRowsChanged, 0);
  EXPECT_EQ(tree->topRow, 20);
  EXPECT_EQ(bar->GetThumbPosition(), 20);
}

TEST_F(TreeView, WheelStepsByModifiersInBothDirections) {
  loadResets(400);
  const struct {
    int rotation, mods, top;
  } steps[] = {
      {-120, 0, 1},
      {-120, wxMOD_CONTROL, 26},
      {-120, wxMOD_CONTROL | wxMOD_SHIFT, 151},
      {-120, wxMOD_SHIFT, 152},
      {-120, wxMOD_CONTROL | wxMOD_ALT, 153},
      {120, wxMOD_CONTROL | wxMOD_SHIFT, 28},
      {120, wxMOD_CONTROL, 3},
      {120, 0, 2},
      {0, 0, 1},  // no rotation counts as towards the start
      {120, wxMOD_CONTROL, 0},  // stops at the first row
  };
  for (const auto& s : steps) {
    mouse(wxEVT_MOUSEWHEEL, 5, s.rotation, s.mods);
    EXPECT_EQ(tree->topRow, s.top) << "rotation " << s.rotation << " modifiers " << s.mods;
  }
}

TEST_F(TreeView, DragScrollsWholeRowsAndDropsTheRemainder) {
  loadResets(100);
  bar->SetThumbPosition(50);
  paint();
  const int h = tree->rowCache.getRowHt();
  int y = h / 2;
  mouse(wxEVT_LEFT_DOWN, y);
  EXPECT_TRUE(tree->dragging);
  // Two rows and a part of one down: the rows follow the pointer, two rows up the list.
  y += 2 * h + h / 4;
  mouse(wxEVT_MOTION, y);
  EXPECT_EQ(tree->topRow, 48);
  // The part row was dropped: less than a row from the new position does nothing.
  y += h - 1;
  mouse(wxEVT_MOTION, y);
  EXPECT_EQ(tree->topRow, 48);
  y -= h - 1 + h;  // one row up from the last step: one row down the list
  mouse(wxEVT_MOTION, y);
  EXPECT_EQ(tree->topRow, 49);
  mouse(wxEVT_LEFT_UP, y);
  EXPECT_FALSE(tree->dragging);
  mouse(wxEVT_MOTION, y + 5 * h);  // no button held: nothing
  EXPECT_EQ(tree->topRow, 49);
}

TEST_F(TreeView, LeavingThePaneWhileDraggingReleasesTheMouse) {
  loadResets(100);
  bar->SetThumbPosition(50);
  paint();
  const int h = tree->rowHt;
  mouse(wxEVT_LEFT_DOWN, h / 2);
  ASSERT_TRUE(tree->dragging);
  ASSERT_TRUE(tree->HasCapture());
  mouse(wxEVT_LEAVE_WINDOW, h / 2);
  EXPECT_FALSE(tree->HasCapture());
  EXPECT_FALSE(tree->dragging);
  mouse(wxEVT_MOTION, h / 2 + 3 * h);  // the drag has ended: the rows stay
  EXPECT_EQ(tree->topRow, 50);
}

// A double click marks the packets of a group and has the view work out its visible rows again
// at once, with the show flags as they are now; on a filler row it does nothing.
TEST_F(TreeView, DoubleClickWorksOutTheVisibleRowsAtOnce) {
  loadSpec("R S S S IN1.1 D0:3 ACK R");  // 0 reset, 1-4 SOFs, 5 transaction, 6-8 its packets, 9
  paint();
  ASSERT_EQ(tree->paintedRows[1], 5);
  _G.showSOF = true;  // not announced: the view still shows what it worked out before
  paint();
  ASSERT_EQ(tree->paintedRows[1], 5);
  const int h = tree->rowHt;
  mouse(wxEVT_LEFT_DCLICK, h + h / 2);  // on the transaction
  EXPECT_EQ(tree->rowCache.cachedCount(), 0u) << "bitmaps dropped";
  paint();
  EXPECT_EQ(tree->paintedRows[1], 1);
  for (int packet : {6, 7, 8}) EXPECT_TRUE(data().rowFlags(packet) & LINROW_USER) << packet;

  _G.showSOF = false;
  mouse(wxEVT_LEFT_DCLICK, 12 * h + 1);  // a filler row
  paint();
  EXPECT_EQ(tree->paintedRows[1], 1);
  EXPECT_TRUE(data().rowFlags(6) & LINROW_USER);
}

// At the smallest zoom a 1200-pixel pane shows more rows than the cache's least size; once
// painted, a repaint draws no row, and a scroll by one row draws one.
TEST_F(TreeView, ATallPaneAtTheSmallestZoomRepaintsFromTheCache) {
  frame->SetClientSize(2800, 1200);
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return tree->paneHeight == 1200 && tree->paneWidth >= 1920; }, 5000))
      << tree->paneWidth << " x " << tree->paneHeight;
  mid->treePane->zoom(MIN_FONT_POINT_SIZE);
  loadResets(300);
  bar->SetThumbPosition(100);
  paint();
  ASSERT_GT(tree->paintedRows.size(), TrowCache::MIN_ROWS);
  const size_t built = tree->rowCache.rowsBuilt();
  paint();
  EXPECT_EQ(tree->rowCache.rowsBuilt(), built);
  mouse(wxEVT_MOUSEWHEEL, 5, -120);
  paint();
  EXPECT_EQ(tree->rowCache.rowsBuilt(), built + 1);
}

TEST_F(TreeView, ClicksBelowTheLastRowClearSlotZeroAndLeaveBothPanes) {
  loadResets(5);
  paint();
  ASSERT_GT(tree->paintedRows.size(), 5u);
  EXPECT_EQ(tree->paintedRows[4], 4);
  EXPECT_EQ(tree->paintedRows[5], -1);
  const int h = tree->rowHt;
  mouse(wxEVT_LEFT_DOWN, 2 * h + 1);
  mouse(wxEVT_LEFT_UP, 2 * h + 1);
  EXPECT_EQ(tree->rowCache.hiLightIx(2), 0);
  mouse(wxEVT_RIGHT_DOWN, 3 * h + 1);
  EXPECT_EQ(tree->rowCache.hiLightIx(3), 1);

  mid->dataPane->renderPacket({1, 2, 3});
  mid->decodePane->render("Skept");
  const wxString dump = mid->dataPane->textCtrl->GetValue();
  mouse(wxEVT_LEFT_DOWN, 6 * h + 1);  // a filler row
  mouse(wxEVT_LEFT_UP, 6 * h + 1);
  EXPECT_EQ(tree->rowCache.hiLightIx(2), -1);
  EXPECT_EQ(tree->rowCache.hiLightIx(3), 1);  // the right button's slot stays
  EXPECT_EQ(mid->dataPane->textCtrl->GetValue(), dump);
  EXPECT_EQ(countLabels(mid->decodePane, "kept"), 1);

  // Below every painted row: nothing at all changes.
  mouse(wxEVT_RIGHT_DOWN, 100 * tree->paneHeight);
  EXPECT_EQ(tree->rowCache.hiLightIx(3), 1);
}

TEST_F(TreeView, ThumbMovesAlwaysPublishWhileBarNotificationsOnlyOnChange) {
  loadResets(100);
  std::vector<long> published;
  _G.sub(msgTreeScroll, [&](long pos) { published.push_back(pos); });
  bar->SetThumbPosition(bar->GetThumbPosition());
  bar->SetThumbPosition(bar->GetThumbPosition());
  bar->SetThumbPosition(500);  // beyond the range: the position itself is published
  EXPECT_EQ(published, (std::vector<long>{0, 0, 500}));

  published.clear();
  bar->wxScrollBar::SetThumbPosition(7);
  auto notify = [&](wxEventType type) {
    wxScrollEvent event(type, bar->GetId(), bar->GetThumbPosition(), wxVERTICAL);
    event.SetEventObject(bar);
    bar->GetEventHandler()->ProcessEvent(event);
  };
  notify(wxEVT_SCROLL_THUMBTRACK);
  notify(wxEVT_SCROLL_CHANGED);  // same position as the last one published
  EXPECT_EQ(published, (std::vector<long>{7}));
  EXPECT_EQ(tree->topRow, 7);
}

TEST_F(TreeView, ClickOnARowOfARealCaptureFillsTheDecodeAndRawDataPanes) {
  const std::string path = (scope.dir / "capture.kvd").string();
  ASSERT_GT(kvtest::writeCapture("cp2110_serial_over_hid_ut612.raw", path), 0u);
  kvtest::readSampleFile(path);
  // The first visible row that has bytes to show.
  int row = data().nextVisibleRow(0);
  while (row >= 0 && data().getData(row).empty()) row = data().nextVisibleRow(row);
  ASSERT_GE(row, 0);
  const std::vector<uint8_t> bytes = data().getData(row);
  const std::string decode = data().genRowDecode(row);
  ASSERT_FALSE(decode.empty());
  ASSERT_TRUE(decode[0] == 'S' || decode[0] == 'T') << decode;

  bar->SetThumbPosition(row);
  ASSERT_EQ(tree->topRow, row);
  paint();
  mouse(wxEVT_LEFT_DOWN, tree->rowHt / 2);
  mouse(wxEVT_LEFT_UP, tree->rowHt / 2);
  EXPECT_EQ(tree->rowCache.hiLightIx(row), 0);

  // The panes show what panes of their own kind show for these bytes and this decode string.
  auto* refData = new TdataPane(frame, wxID_ANY);
  refData->renderPacket(bytes);
  EXPECT_EQ(mid->dataPane->textCtrl->GetValue(), refData->textCtrl->GetValue());
  EXPECT_TRUE(mid->dataPane->textCtrl->GetValue().StartsWith(" " + std::to_string(bytes.size()) + " bytes"));

  auto* refDecode = new TdecodePane(frame);
  refDecode->render(decode);
  std::function<void(wxWindow*, std::string&)> describe = [&](wxWindow* w, std::string& out) {
    // Paragraphs are wrapped to their pane's width: compare them unwrapped.
    if (auto* t = dynamic_cast<wxStaticText*>(w)) {
      wxString label = t->GetLabel();
      label.Replace("\n", " ");
      out += "text:" + label.utf8_string() + "\n";
    }
    if (auto* l = dynamic_cast<wxListCtrl*>(w)) {
      for (long i = 0; i < l->GetItemCount(); ++i)
        for (int c = 0; c < l->GetColumnCount(); ++c) out += "cell:" + l->GetItemText(i, c).utf8_string() + "\n";
    }
    for (wxWindow* c : w->GetChildren()) describe(c, out);
  };
  std::string shown, expected;
  describe(mid->decodePane, shown);
  describe(refDecode, expected);
  EXPECT_EQ(shown, expected);
  EXPECT_NE(shown.find("text:"), std::string::npos);
}

/// The main window on the project's default sample, with the probe simulator behind the
/// capture dialog.
class TreeCapture : public captest::DialogTest {
 protected:
  TdeskScope scope;
};

// The first capture replaces the default sample, scrolled to its end. The capture's row 0 is
// the SOF it starts with, hidden while SOFs are.
TEST_F(TreeCapture, ACaptureReplacingTheDefaultSampleStartsAtItsFirstVisibleRow) {
  std::filesystem::copy_file(std::filesystem::path(KV_SOURCE_DIR) / "default.kvd", scope.dir / "default.kvd");
  streamingProbe((scope.dir / "stream.raw").string());
  auto* frame = new TmainFrame(nullptr, wxID_ANY, "main", wxPoint(50, 50), wxSize(1400, 500));
  frame->Show();
  TreeMidPane* tree = frame->midPane->treePane->midPane;
  TdisplData& data = tree->rowCache.rData();
  const int sampleRows = data.rowCount();
  ASSERT_GT(sampleRows, 0);
  tree->scrollByLines(sampleRows);
  ASSERT_EQ(tree->topRow, data.nearestVisibleRow(sampleRows - 1));

  kvtest::TuiScript user;
  captureThen(user, wxID_OK);
  wxCommandEvent press(wxEVT_BUTTON, ID_CAPTURE);
  press.SetEventObject(frame->toolbar->captureButton);
  frame->toolbar->captureButton->GetEventHandler()->ProcessEvent(press);  // returns when the dialog has gone
  EXPECT_TRUE(user.finished()) << user.failure();

  ASSERT_GT(data.rowCount(), 0);
  EXPECT_NE(data.rowCount(), sampleRows);
  const int kind0 = data.getDisplRowPtr(0)->kind;
  ASSERT_TRUE(kind0 == ROW_SOF || kind0 == ROW_SOFGROUP) << kind0;
  ASSERT_FALSE(data.isVisible(0));
  EXPECT_EQ(tree->topRow, data.nextVisibleRow(0));
  EXPECT_EQ(tree->scrollBar->GetThumbPosition(), 0);
  paint(tree);
  EXPECT_EQ(tree->paintedRows.front(), data.nextVisibleRow(0));
  delete frame;
  scope.restoreHub();
}

}  // namespace
