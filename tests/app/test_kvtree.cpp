// Tests of the packet tree view: scroll range, wheel, drag, clicks and the scroll bar's publishing.
#include "kvtree.h"

#include <gtest/gtest.h>

#include <functional>

#include <wx/dcmemory.h>
#include <wx/frame.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "desk_helpers.h"
#include "gui_env.h"
#include "kvdecode.h"
#include "kvdispldata.h"
#include "kvdpane.h"
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

  // Paints the pane into a bitmap, as a paint event would, so that the hit test has rows.
  void paint() {
    wxBitmap bitmap(tree->paneWidth, tree->paneHeight);
    wxMemoryDC dc(bitmap);
    tree->doPaint(dc);
  }

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

}  // namespace
