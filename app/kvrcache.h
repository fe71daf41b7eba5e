// Row bitmap cache: the tree view's rows drawn as bitmaps of display boxes, the last used kept.
#pragma once

#include <list>
#include <string>

#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/font.h>
#include <wx/gdicmn.h>
#include <wx/window.h>

#include "kvdispldata.h"

/// One cached row: its bitmap, the width drawn and its decode string. Built and drawn in one go
/// by the constructor, then only read. GUI thread only.
class Trow {
 public:
  /// Draws flat row rowIx into a bitmap width pixels wide, on the background of hi-light slot
  /// slot (0, 1, or -1 for none). A hidden or invalid row stays blank with used width 0.
  Trow(TdisplData& displData, wxFont& font, int rowIx, int width, int slot);
  Trow(Trow&&) = default;
  Trow& operator=(Trow&&) = default;
  Trow(const Trow&) = delete;
  Trow& operator=(const Trow&) = delete;

  int ix() const { return rowIx; }
  /// Width of the bitmap.
  int maxWidth() const { return bmWidth; }
  /// Width of what was drawn (0 for a blank row).
  int usedWidth() const { return x; }
  std::string& getDecode() { return decode; }
  wxBitmap* getRowBitmap(int& usedWidth, int& rowHeight);

  // Drawing steps.
  void gap(int n) { x += n; }
  void drawBox(wxMemoryDC& dc, const TdisplayBox& box);
  void textBox(wxMemoryDC& dc, const wxRect& rect, unsigned long fg, unsigned long bg,
               const char* text);
  void borderRect(wxMemoryDC& dc, int x1, int y1, int x2, int y2);
  void midHbar(wxMemoryDC& dc);
  void clearBM(wxMemoryDC& dc, unsigned long colour);

 private:
  int rowIx;
  int x = 0;
  int xRight = 0;
  int bmWidth;
  wxBitmap bitmap;
  wxFont* font;
  std::string decode;
  TdisplData* displData;
};

/// Makes the tree view's row bitmaps and keeps the most recently used (at least 32, and every
/// row the pane shows); owns the display data, the row font and the two hi-light slots. Reacts
/// to the capture and sample-file-read topics of the hub. GUI thread only.
class TrowCache {
 public:
  /// Rows kept at least, whatever the pane's height.
  static constexpr size_t MIN_ROWS = 32;
  /// Rows kept beyond those the pane shows: those a wheel or drag step brings in before the
  /// ones it scrolls out are needed again.
  static constexpr size_t SPARE_ROWS = 8;
  /// Rows are built this many pixels wider than asked, so small widenings stay hits.
  static constexpr int EXTRA_WIDTH = 100;
  /// Requests wider than this are drawn at this width.
  static constexpr int MAX_WIDTH = 32000;
  /// Width set by the constructor.
  static constexpr int DEFAULT_WIDTH = 1024;

  TrowCache();
  /// Withdraws the hub subscriptions.
  ~TrowCache();
  TrowCache(const TrowCache&) = delete;
  TrowCache& operator=(const TrowCache&) = delete;

  TdisplData& rData() { return displData; }
  /// Drops every row, takes the window's font and measures it, then setWidth(width).
  void init(wxWindow* window, int width);
  /// Sets the font's point size, measures it and drops every row.
  void zoom(int pointSize);
  /// Drops every row.
  void setWidth(int width);
  /// The height of the pane the rows are painted into: the cache keeps every row it shows.
  void setPaneHeight(int height) { paneHeight = height; }
  /// Rows kept: those a pane of the last height shows at the current row height plus
  /// SPARE_ROWS, and never fewer than MIN_ROWS.
  size_t capacity() const;
  int getRowHt() const;
  /// The bitmap of row (never null): at least width + 100 pixels wide when built for this
  /// request. usedWidth is what was drawn, rowHeight the row height. Valid while cached.
  wxBitmap* getRowBitmap(int row, int width, int& usedWidth, int& rowHeight);
  /// The decode string of row (empty for a blank row); valid while the row is cached.
  std::string& getRowDecode(int row);
  /// Puts row into hi-light slot 0 or 1, drops the old and the new row and returns the old
  /// one; -1 and no change for another slot.
  int setClickRow(int slot, int row);
  /// 0 or 1 for the slot that holds row (slot 0 first), -1 for none or a negative row.
  int hiLightIx(int row) const;
  void invalidateRow(int row);
  void invalidateAll();
  /// The cached row for (row, width), built when missing or narrower; moved to the front.
  std::list<Trow>::iterator getRow(int row, int width);
  /// Hub handlers: a capture and a sample-file read (arg: the path's address).
  void onDoCapture();
  void onSampleFileRead(long arg);
  /// Counts the times new rows replaced the display data's (a capture or a file read that
  /// brought rows), so that the view can tell new rows from a change of the show flags.
  unsigned long dataGeneration() const { return generation; }

  /// Row geometry from the height and width of "X" in the row font; shared by all caches.
  static void setSizes(int h, int w);
  static int fontWidth();
  /// Number of rows cached and the index of the one at position pos (front = 0), for tests.
  size_t cachedCount() const { return rows.size(); }
  int cachedIx(size_t pos) const;
  /// Rows drawn since the cache was made (every miss draws one and runs its decode script).
  size_t rowsBuilt() const { return built; }
  wxFont& rowFont() { return font; }

 private:
  void measureFont();

  TdisplData displData;
  std::list<Trow> rows;
  wxFont font;
  int hiLight[2] = {-1, -1};
  size_t built = 0;
  int paneHeight = 0;
  unsigned long generation = 0;
  int captureSub = 0;  ///< hub handles of the two subscriptions
  int readSub = 0;
};
