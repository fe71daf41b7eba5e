// Packet tree view: the row column with its scroll bar, drawn from the row bitmap cache.
#include "kvtree.h"

#include <algorithm>

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/sizer.h>

#include "kvcolours.h"
#include "kvdecode.h"
#include "kvdispldata.h"
#include "kvdpane.h"
#include "kvglobs.h"

TreeScrollBarPane::TreeScrollBarPane(wxWindow* parent, int id)
    : wxScrollBar(parent, id, wxDefaultPosition, wxDefaultSize, wxSB_VERTICAL) {
  SetScrollbar(0, THUMB_SIZE, FIRST_POSITIONS + THUMB_SIZE, PAGE_SIZE, true);
  Bind(wxEVT_SCROLL_THUMBTRACK, &TreeScrollBarPane::onScroll, this);
  Bind(wxEVT_SCROLL_CHANGED, &TreeScrollBarPane::onScroll, this);
}

void TreeScrollBarPane::SetRange(int n) {
  const int thumb = GetThumbSize();
  SetScrollbar(GetThumbPosition(), thumb, n + thumb, GetPageSize(), true);
}

void TreeScrollBarPane::SetThumbPosition(int pos) {
  lastPos = pos;
  wxScrollBar::SetThumbPosition(pos);
  _G.pub(msgTreeScroll, pos);
}

void TreeScrollBarPane::placeThumb(int pos) {
  lastPos = pos;
  wxScrollBar::SetThumbPosition(pos);
}

void TreeScrollBarPane::onScroll(wxCommandEvent&) {
  const int pos = GetThumbPosition();
  if (pos != lastPos) _G.pub(msgTreeScroll, pos);
  lastPos = pos;
}

TreeMidPane::TreeMidPane(wxWindow* parent, int id, TreeScrollBarPane& bar, TdataPane& dPane,
                         TdecodePane& decPane)
    : wxPanel(parent, id, wxDefaultPosition, wxDefaultSize, wxFULL_REPAINT_ON_RESIZE),
      scrollBar(&bar),
      dataPane(&dPane),
      decodePane(&decPane) {
  init();
  topRow = 0;
  onVisRowsChanged();

  Bind(wxEVT_SIZE, &TreeMidPane::onResize, this);
  Bind(wxEVT_PAINT, &TreeMidPane::onPaint, this);
  Bind(wxEVT_ERASE_BACKGROUND, &TreeMidPane::onEraseBG, this);
  Bind(wxEVT_MOUSEWHEEL, &TreeMidPane::onMouseWheel, this);
  Bind(wxEVT_LEFT_DOWN, &TreeMidPane::onMouseLeftDown, this);
  Bind(wxEVT_RIGHT_DOWN, &TreeMidPane::onMouseRightDown, this);
  Bind(wxEVT_MOTION, &TreeMidPane::onMouseMove, this);
  Bind(wxEVT_LEFT_DCLICK, &TreeMidPane::onMouseLeftDclk, this);
  Bind(wxEVT_LEFT_UP, &TreeMidPane::onMouseLeftUp, this);
  Bind(wxEVT_LEAVE_WINDOW, &TreeMidPane::onLeaveWindow, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, &TreeMidPane::onMouseCaptureLost, this);

  // The pane lives as long as the main window, so the subscriptions are never withdrawn.
  _G.sub(msgTreeScroll, [this](long pos) { onScrolled(pos); });
  _G.sub(msgVisRowsChanged, [this](long) { onVisRowsChanged(); });
}

void TreeMidPane::init() { rowCache.init(GetParent(), FIRST_ROW_WIDTH); }

void TreeMidPane::zoom(int pointSize) {
  rowCache.zoom(pointSize);
  rowHt = rowCache.getRowHt();
  Refresh(false);
}

void TreeMidPane::onVisRowsChanged() {
  TdisplData& data = rowCache.rData();
  data.resetVisibleRows();
  rowCache.invalidateAll();
  // New rows start at their beginning, whose first rows may be hidden (a capture starts with a
  // SOF group); a change of the show flags or a double click keeps the place.
  const bool newRows = rowCache.dataGeneration() != shownGeneration;
  shownGeneration = rowCache.dataGeneration();
  topRow = std::max(0, data.nearestVisibleRow(newRows ? 0 : topRow));
  // The last row itself is never counted: six steps back start before it.
  int r = data.prevVisibleRow(data.rowCount() - 1);
  for (int i = 1; i < SCROLL_END_ROWS; ++i) r = data.prevVisibleRow(r);
  scrollMax = std::max(r, MIN_SCROLL_MAX);
  scrollBar->SetRange(scrollMax);
  if (newRows) scrollBar->placeThumb(0);
  Refresh(false);
}

void TreeMidPane::onScrolled(long pos) {
  TdisplData& data = rowCache.rData();
  // The range has at least MIN_SCROLL_MAX positions, so a short list's thumb can stand past its
  // last row: that shows the last visible row rather than none.
  const long last = std::max(data.rowCount() - 1, 0);
  topRow = data.nearestVisibleRow(static_cast<int>(std::clamp(pos, 0L, last)));
  Refresh(false);
}

void TreeMidPane::scrollByLines(int n) {
  if (n == 0) return;
  TdisplData& data = rowCache.rData();
  int row = topRow;
  for (int steps = n > 0 ? n : -n; steps > 0; --steps) {
    const int next = n > 0 ? data.nextVisibleRow(row) : data.prevVisibleRow(row);
    if (next < 0) break;
    row = next;
  }
  scrollBar->SetThumbPosition(row);
}

void TreeMidPane::doPaint(wxDC& dc) {
  paintedRows.clear();
  TdisplData& data = rowCache.rData();
  wxMemoryDC source;
  int row = topRow;
  for (int y = 0; y < paneHeight;) {
    int usedWidth = 0;
    int rowHeight = 0;
    wxBitmap* bitmap = rowCache.getRowBitmap(row, paneWidth, usedWidth, rowHeight);
    source.SelectObjectAsSource(*bitmap);
    dc.Blit(0, y, paneWidth, rowHeight, &source, 0, 0, wxCOPY);
    source.SelectObjectAsSource(wxNullBitmap);
    paintedRows.push_back(row);
    // A zero height would never reach the bottom; the cache always gives at least one line.
    y += std::max(rowHeight, 1);
    row = data.nextVisibleRow(row);
  }
}

int TreeMidPane::setClickRow(int slot, int y) {
  const int k = y / rowHt;
  if (k < 0 || k >= static_cast<int>(paintedRows.size())) return -1;
  const int row = paintedRows[k];
  rowCache.setClickRow(slot, row);
  Refresh(false);
  return row;
}

void TreeMidPane::doMouseRelease() {
  if (HasCapture()) ReleaseMouse();
  dragging = false;
}

void TreeMidPane::onResize(wxSizeEvent& event) {
  paneWidth = event.GetSize().GetWidth();
  paneHeight = event.GetSize().GetHeight();
  rowHt = rowCache.getRowHt();
  rowCache.setPaneHeight(paneHeight);
  event.Skip(true);
}

void TreeMidPane::onPaint(wxPaintEvent&) {
  wxPaintDC dc(this);
  doPaint(dc);
}

void TreeMidPane::onEraseBG(wxEraseEvent& event) {
  wxDC* dc = event.GetDC();
  if (!dc) return;
  dc->SetBackground(wxBrush(wxColour(ROWS_BG), wxBRUSHSTYLE_SOLID));
  dc->Clear();
}

void TreeMidPane::onMouseWheel(wxMouseEvent& event) {
  const int direction = event.GetWheelRotation() < 0 ? 1 : -1;
  int factor = WHEEL_STEP;
  if (event.GetModifiers() == wxMOD_CONTROL)
    factor = WHEEL_STEP_CTRL;
  else if (event.GetModifiers() == (wxMOD_CONTROL | wxMOD_SHIFT))
    factor = WHEEL_STEP_CTRL_SHIFT;
  scrollByLines(direction * factor);
}

void TreeMidPane::onMouseLeftDown(wxMouseEvent& event) {
  if (!HasCapture()) CaptureMouse();
  dragY = event.GetY();
  dragging = true;
  const int row = setClickRow(0, event.GetY());
  if (row >= 0) {
    dataPane->renderPacket(rowCache.rData().getData(row));
    decodePane->render(rowCache.getRowDecode(row));
  }
  event.Skip(true);
}

void TreeMidPane::onMouseRightDown(wxMouseEvent& event) { setClickRow(1, event.GetY()); }

void TreeMidPane::onMouseMove(wxMouseEvent& event) {
  if (!dragging) return;
  const int dy = event.GetY() - dragY;
  const int h = rowCache.getRowHt();
  if (dy < h && -dy < h) return;
  // The remainder is dropped: the next step is measured from here.
  scrollByLines(-dy / h);
  dragY = event.GetY();
}

void TreeMidPane::onMouseLeftDclk(wxMouseEvent& event) {
  const int k = event.GetY() / rowHt;
  if (k >= 0 && k < static_cast<int>(paintedRows.size()) &&
      rowCache.rData().doubleClick(paintedRows[k]))
    onVisRowsChanged();
  event.Skip(true);
}

void TreeMidPane::onMouseLeftUp(wxMouseEvent&) { doMouseRelease(); }

void TreeMidPane::onLeaveWindow(wxMouseEvent&) { doMouseRelease(); }

void TreeMidPane::onMouseCaptureLost(wxMouseCaptureLostEvent&) { doMouseRelease(); }

TreePane::TreePane(wxWindow* parent, TdataPane& dataPane, TdecodePane& decodePane)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  // The bar first: the drawing surface sets its range while it is built.
  scrollBar = new TreeScrollBarPane(this, wxID_ANY);
  midPane = new TreeMidPane(this, wxID_ANY, *scrollBar, dataPane, decodePane);
  auto* sizer = new wxBoxSizer(wxHORIZONTAL);
  sizer->Add(midPane, 1, wxEXPAND);
  sizer->Add(scrollBar, 0, wxEXPAND | wxLEFT, 1);
  SetSizerAndFit(sizer);
}

void TreePane::zoom(int pointSize) { midPane->zoom(pointSize); }
