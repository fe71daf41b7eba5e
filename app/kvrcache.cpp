// Row bitmap cache: the tree view's rows drawn as bitmaps of display boxes, the last used kept.
#include "kvrcache.h"

#include <algorithm>

#include <wx/colour.h>
#include <wx/pen.h>
#include <wx/brush.h>

#include "kvcapture.h"
#include "kvcolours.h"
#include "kvglobs.h"

namespace {

// Row geometry from the size of "X" in the row font (setSizes); shared by every cache. The
// start values are those of an "X" 17 pixels high and 8 wide, until a font is measured.
int SfontHt = 17;
int SfontWid = 8;
int SyBoxTop = 2;
int SyTopTxt = 3;
int SyBoxMid = 21;
int SyBotTxt = 22;
int SyBoxBot = 40;
int SrowHt = 43;

/// Left margin of a drawn row, and the room left after its last box.
constexpr int ROW_LEFT = 8;
constexpr int ROW_RIGHT = 125;

unsigned long slotColour(int slot) {
  switch (slot) {
    case 0: return PINK;
    case 1: return LIGHTBLUE;
    default: return ROWS_BG;
  }
}

/// Runs the modal capture dialog; the rows of its last decode when it ended with OK.
TcaptureResult runCaptureDialog() {
  TcaptureDialog dialog;
  if (!dialog.retOK()) return {};
  return {true, dialog.treeVec, dialog.linVec};
}

}  // namespace

// ---- Trow ----

Trow::Trow(TdisplData& data, wxFont& rowFont, int ix, int width, int slot)
    : rowIx(ix), bmWidth(std::max(width, 1)), bitmap(bmWidth, SrowHt), font(&rowFont),
      displData(&data) {
  wxMemoryDC dc(bitmap);
  if (font->IsOk()) dc.SetFont(*font);
  clearBM(dc, slotColour(slot));
  if (displData->isVisible(rowIx)) {
    x = ROW_LEFT;
    for (const TdisplayBox& box : displData->genRowBoxes(rowIx)) drawBox(dc, box);
    decode = displData->genRowDecode(rowIx);
    x += ROW_RIGHT;
  }
  dc.SelectObject(wxNullBitmap);
}

wxBitmap* Trow::getRowBitmap(int& usedWidth, int& rowHeight) {
  usedWidth = x;
  rowHeight = SrowHt;
  return &bitmap;
}

void Trow::drawBox(wxMemoryDC& dc, const TdisplayBox& box) {
  gap(box.gap);
  int bw = box.width * SfontWid;
  if (box.kind == 0) {
    xRight = x + bw;
    textBox(dc, wxRect(x, SyBoxTop, bw, SyBoxBot - SyBoxTop + 1), box.top.fg, box.top.bg,
            box.top.text.c_str());
  } else if (box.kind == 1) {
    if (box.width < 0) {
      const int top = dc.GetTextExtent(wxString::FromUTF8(box.top.text)).GetWidth();
      const int bottom = dc.GetTextExtent(wxString::FromUTF8(box.bottom.text)).GetWidth();
      bw = std::max(top, bottom) + 2 * SfontWid;
    }
    xRight = x + bw;
    textBox(dc, wxRect(x, SyBoxTop, bw, SyBoxMid - SyBoxTop + 1), box.top.fg, box.top.bg,
            box.top.text.c_str());
    textBox(dc, wxRect(x, SyBoxMid, bw, SyBoxBot - SyBoxMid + 1), box.bottom.fg, box.bottom.bg,
            box.bottom.text.c_str());
    midHbar(dc);
  }
  borderRect(dc, x, SyBoxTop, x + bw, SyBoxBot);
  x += bw;
}

void Trow::textBox(wxMemoryDC& dc, const wxRect& rect, unsigned long fg, unsigned long bg,
                   const char* text) {
  const wxColour fill(bg);
  dc.SetBrush(wxBrush(fill, wxBRUSHSTYLE_SOLID));
  dc.SetPen(wxPen(fill, 1, wxPENSTYLE_SOLID));
  dc.DrawRectangle(rect);
  dc.SetTextForeground(wxColour(fg));
  dc.DrawLabel(wxString::FromUTF8(text), rect, wxALIGN_CENTER_HORIZONTAL | wxALIGN_CENTER_VERTICAL);
}

void Trow::borderRect(wxMemoryDC& dc, int x1, int y1, int x2, int y2) {
  dc.SetPen(wxPen(wxColour(BLACK), 1, wxPENSTYLE_SOLID));
  const wxPoint corners[] = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}, {x1, y1}};
  dc.DrawLines(5, corners);
}

void Trow::midHbar(wxMemoryDC& dc) {
  dc.SetPen(wxPen(wxColour(BLACK), 1, wxPENSTYLE_SOLID));
  dc.DrawLine(x, SyBoxMid, xRight, SyBoxMid);
}

void Trow::clearBM(wxMemoryDC& dc, unsigned long colour) {
  dc.SetDeviceOrigin(0, 0);
  dc.SetBackground(wxBrush(wxColour(colour), wxBRUSHSTYLE_SOLID));
  dc.Clear();
}

// ---- TrowCache ----

TrowCache::TrowCache() {
  displData.setCaptureRunner(runCaptureDialog);
  setWidth(DEFAULT_WIDTH);
  captureSub = _G.sub(msgDoCapture, [this](long) { onDoCapture(); });
  readSub = _G.sub(msgSampleFileRead, [this](long arg) { onSampleFileRead(arg); });
}

TrowCache::~TrowCache() {
  _G.unsub(msgDoCapture, captureSub);
  _G.unsub(msgSampleFileRead, readSub);
}

void TrowCache::setSizes(int h, int w) {
  SfontHt = h;
  SfontWid = w;
  SyBoxTop = 2;
  SyTopTxt = SyBoxTop + 1;
  SyBoxMid = SyTopTxt + h + 1;
  SyBotTxt = SyBoxMid + 1;
  SyBoxBot = SyBotTxt + h + 1;
  SrowHt = SyBoxBot + 3;
}

int TrowCache::fontWidth() { return SfontWid; }

void TrowCache::measureFont() {
  wxCoord w = 0;
  wxCoord h = 0;
  wxMemoryDC dc;
  if (font.IsOk()) dc.SetFont(font);
  dc.GetTextExtent("X", &w, &h);
  if (w > 0 && h > 0) setSizes(h, w);
}

void TrowCache::init(wxWindow* window, int width) {
  rows.clear();
  if (window) font = window->GetFont();
  measureFont();
  setWidth(width);
}

void TrowCache::zoom(int pointSize) {
  if (font.IsOk()) font.SetPointSize(pointSize);
  measureFont();
  rows.clear();
}

void TrowCache::setWidth(int) { rows.clear(); }

int TrowCache::getRowHt() const { return SrowHt; }

size_t TrowCache::capacity() const {
  // A pane paints rows from y = 0 while y is above its height: a part row at the bottom counts.
  const size_t shown = paneHeight > 0 ? static_cast<size_t>((paneHeight + SrowHt - 1) / SrowHt) : 0;
  return std::max(MIN_ROWS, shown + SPARE_ROWS);
}

std::list<Trow>::iterator TrowCache::getRow(int row, int width) {
  width = std::clamp(width, 0, MAX_WIDTH);
  for (auto it = rows.begin(); it != rows.end(); ++it) {
    if (it->ix() != row) continue;
    if (it->maxWidth() >= width) {
      if (it != rows.begin()) rows.splice(rows.begin(), rows, it);
      return rows.begin();
    }
    rows.erase(it);
    break;
  }
  if (rows.size() >= capacity()) rows.pop_back();
  rows.emplace_front(displData, font, row, width + EXTRA_WIDTH, hiLightIx(row));
  ++built;
  return rows.begin();
}

wxBitmap* TrowCache::getRowBitmap(int row, int width, int& usedWidth, int& rowHeight) {
  return getRow(row, width)->getRowBitmap(usedWidth, rowHeight);
}

std::string& TrowCache::getRowDecode(int row) { return getRow(row, 0)->getDecode(); }

int TrowCache::setClickRow(int slot, int row) {
  if (slot != 0 && slot != 1) return -1;
  const int old = hiLight[slot];
  hiLight[slot] = row;
  invalidateRow(old);
  invalidateRow(row);
  return old;
}

int TrowCache::hiLightIx(int row) const {
  if (row < 0) return -1;
  if (hiLight[0] == row) return 0;
  if (hiLight[1] == row) return 1;
  return -1;
}

void TrowCache::invalidateRow(int row) {
  if (row < 0) return;
  for (auto it = rows.begin(); it != rows.end(); ++it)
    if (it->ix() == row) {
      rows.erase(it);
      return;
    }
}

void TrowCache::invalidateAll() { rows.clear(); }

int TrowCache::cachedIx(size_t pos) const {
  if (pos >= rows.size()) return -1;
  return std::next(rows.begin(), static_cast<long>(pos))->ix();
}

void TrowCache::onDoCapture() {
  if (displData.doCapture() == 0) return;
  rows.clear();
  ++generation;
  _G.pub(msgVisRowsChanged, 0);
}

void TrowCache::onSampleFileRead(long arg) {
  const char* text = reinterpret_cast<const char*>(arg);
  if (!text) return;
  if (displData.sampleFileRead(std::string(text)) == 0) return;
  rows.clear();
  ++generation;
  _G.pub(msgVisRowsChanged, 0);
}
