// Packet tree view: the row column with its scroll bar, drawn from the row bitmap cache.
#pragma once

#include <vector>

#include <wx/panel.h>
#include <wx/scrolbar.h>

#include "kvrcache.h"

class TdataPane;
class TdecodePane;

/// The tree's vertical scroll bar. Its position is the flat-row index of the top row; every
/// move, by the user or by the program, is published as msgTreeScroll. GUI thread only.
class TreeScrollBarPane : public wxScrollBar {
 public:
  /// Thumb size and page size the bar starts with; the range is always positions + thumb size.
  static constexpr int THUMB_SIZE = 16;
  static constexpr int PAGE_SIZE = 10;
  static constexpr int FIRST_POSITIONS = 1000;

  TreeScrollBarPane(wxWindow* parent, int id);
  ~TreeScrollBarPane() override = default;

  /// Makes the positions run from 0 to n; thumb and page size stay.
  void SetRange(int n);
  /// Moves the thumb and publishes msgTreeScroll with pos, also when pos did not change.
  void SetThumbPosition(int pos) override;
  /// Moves the thumb and publishes nothing (the tree has already put its top row there).
  void placeThumb(int pos);
  /// Publishes the bar's position when it differs from the last one published.
  void onScroll(wxCommandEvent& event);

  int lastPos = -1;  ///< the last position published
};

/// The drawing surface: paints the visible flat rows from topRow down, scrolls by wheel and
/// drag, and passes clicks on to the row cache, the decode pane and the raw data pane.
class TreeMidPane : public wxPanel {
 public:
  /// Wheel steps: plain, with Ctrl, with Ctrl and Shift.
  static constexpr int WHEEL_STEP = 1;
  static constexpr int WHEEL_STEP_CTRL = 25;
  static constexpr int WHEEL_STEP_CTRL_SHIFT = 125;
  /// Rows counted back from the end of the list for the highest scroll position.
  static constexpr int SCROLL_END_ROWS = 6;
  /// The scroll range never has fewer positions than this.
  static constexpr int MIN_SCROLL_MAX = 10;
  /// Width the row cache is set to before the first size event.
  static constexpr int FIRST_ROW_WIDTH = 1024;

  TreeMidPane(wxWindow* parent, int id, TreeScrollBarPane& scrollBar, TdataPane& dataPane,
              TdecodePane& decodePane);
  ~TreeMidPane() override = default;

  /// Gives the row cache the parent's font and a first width.
  void init();
  /// New font point size for the rows; the scroll range stays.
  void zoom(int pointSize);
  /// Works out visibility again, snaps topRow to a visible row and sets the scroll range. New
  /// rows start at their first visible row with the thumb at 0.
  void onVisRowsChanged();
  /// msgTreeScroll: the top row becomes the visible row nearest to pos; a pos past the last
  /// row gives the last visible row. -1 only when no row is visible.
  void onScrolled(long pos);
  /// Moves the top row by n visible rows (bounded by the first and last visible row).
  void scrollByLines(int n);
  /// Paints rows from topRow down to the bottom of the pane.
  void doPaint(wxDC& dc);
  /// Hit test: puts the row under y into hi-light slot; returns it, or -1.
  int setClickRow(int slot, int y);
  /// Ends a drag and releases the mouse.
  void doMouseRelease();

  int topRow = 0;
  int dragY = 0;
  int paneWidth = 100;
  int paneHeight = 100;
  int rowHt = 50;
  int scrollMax = MIN_SCROLL_MAX;
  bool dragging = false;
  std::vector<int> paintedRows;
  unsigned long shownGeneration = 0;  ///< the row cache's data generation last shown
  TreeScrollBarPane* scrollBar;
  TdataPane* dataPane;
  TdecodePane* decodePane;
  TrowCache rowCache;

 private:
  void onResize(wxSizeEvent& event);
  void onPaint(wxPaintEvent& event);
  void onEraseBG(wxEraseEvent& event);
  void onMouseWheel(wxMouseEvent& event);
  void onMouseLeftDown(wxMouseEvent& event);
  void onMouseRightDown(wxMouseEvent& event);
  void onMouseMove(wxMouseEvent& event);
  void onMouseLeftDclk(wxMouseEvent& event);
  void onMouseLeftUp(wxMouseEvent& event);
  void onLeaveWindow(wxMouseEvent& event);
  void onMouseCaptureLost(wxMouseCaptureLostEvent& event);
};

/// The tree view as MidPane places it: the drawing surface with its scroll bar on the right.
class TreePane : public wxPanel {
 public:
  /// Both panes must exist before the tree; the tree keeps references to them.
  TreePane(wxWindow* parent, TdataPane& dataPane, TdecodePane& decodePane);
  ~TreePane() override = default;

  /// New font point size for the rows.
  void zoom(int pointSize);

  TreeMidPane* midPane;
  TreeScrollBarPane* scrollBar;
};
