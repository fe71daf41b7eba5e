// Decode pane: a row's decode string shown as stacked paragraphs and titled tables.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <wx/dcclient.h>
#include <wx/listctrl.h>
#include <wx/panel.h>
#include <wx/scrolwin.h>
#include <wx/stattext.h>
// After wx/stattext.h, which it would otherwise keep from declaring wxStaticText.
#include <wx/generic/stattextg.h>

class wxBoxSizer;

/// The vertically scrolled panel that holds one window per item of the decode string.
class TscrolledPanel : public wxPanel {
 public:
  explicit TscrolledPanel(wxWindow* parent);

  /// Destroys the item windows of the previous string and makes one per item of decode:
  /// "S" + paragraph gives a TdecodeTextItem, "T" + table a TdecodeListItem, anything else
  /// nothing. Items are ";"-separated; empty ones are dropped.
  void render(const std::string& decode);
  /// Lays the items out again and updates the scroll range (after a paragraph re-wrapped).
  void relayout();
  /// Asks for one relayout once the current event is done, however many items ask.
  void queueRelayout();

  wxBoxSizer* sizer;  ///< vertical; holds the item windows in the order of the items
  int relayouts = 0;  ///< how often relayout ran (each lays out every item)
  /// The context paragraphs are measured on, kept until the current event is done.
  wxDC& measureDC();

 private:
  bool relayoutQueued = false;
  std::unique_ptr<wxClientDC> measurer;  ///< see measureDC
};

/// The scrolled window around the TscrolledPanel: background DECODE_BG, vertical scrolling only.
class TscrollerPanel : public wxScrolledWindow {
 public:
  explicit TscrollerPanel(wxWindow* parent);

  TscrolledPanel* scrolled;
};

/// The decode pane: a "Decode" caption over the scrolled item area. GUI thread only.
class TdecodePane : public wxPanel {
 public:
  /// Sets the pane's font (Arial at _G.fontPointSize), which every window below inherits.
  explicit TdecodePane(wxWindow* parent);

  /// Shows a decode string in place of the previous one (called on every row click).
  void render(const std::string& decode);

  TscrollerPanel* scroller;
};

/// One paragraph (its first 64 KB, then an ellipsis), wrapped 20 pixels narrower than the item
/// (than the item would be beside a vertical scroll bar, when it is wider) whenever a resize or
/// a msgSplitterChanged finds it showing anything else. Subscribed to that topic exactly while
/// it exists.
class TdecodeTextItem : public wxPanel {
 public:
  /// item is the whole item, "S" included.
  TdecodeTextItem(wxWindow* parent, std::string item);
  ~TdecodeTextItem() override;

  /// Wraps the paragraph at the client width less 20 unless the label already shows it so,
  /// and has the panel lay the items out again when the paragraph's height changed.
  void doResize();
  void onResize(wxSizeEvent& event);

  wxStaticTextBase* label;  ///< a wxStaticText; a wxGenericStaticText beyond 4 K characters
  wxBoxSizer* sizer;
  std::string text;    ///< the paragraph: the item without its "S"
  int subHandle = -1;  ///< the hub handle of the msgSplitterChanged subscription
  int wraps = 0;       ///< how often the paragraph was wrapped (each costs time in its length)

 private:
  bool rewrap();  ///< wraps unless the label shows the wrap at the width; true when it wrapped
  void wrapTo(int width);
  int wrapWidth(int itemWidth) const;  ///< the wrap width of an item that wide

  wxString shown;            ///< text as shown: cut after 64 KB and marked with an ellipsis
  wxString wrapped;          ///< the label as the last wrap set it
  int wrappedWidth = -2;     ///< the width of that wrap (-1: unwrapped; -2: none yet)
};

/// One table item: a centred title over a virtual list of the item's cell lines.
class TdecodeListItem : public wxPanel {
 public:
  /// item is the whole item, "T" included.
  TdecodeListItem(wxWindow* parent, std::string& item);

  std::vector<std::string> lines;  ///< the non-empty lines of the item, title line first
};

/// A table's title: one line at 12/10 of the inherited font size, centred on DECODE_TITLE_BG.
class TdecodeTitle : public wxPanel {
 public:
  TdecodeTitle(wxWindow* parent, std::string& title);
};

/// The list of a table item: columns from line 1, one list row per line from line 2 on, every
/// other row (the first included) on DECODE_EVEN_BG; exactly as high as its rows need.
class TdecodeList : public wxListView {
 public:
  /// lines must outlive the list (they are its owner's).
  TdecodeList(wxWindow* parent, std::vector<std::string>& lines);

  /// Fixes the height at the top of item 0 plus one line spacing (item 1's top less item 0's)
  /// per row, plus 12 pixels; with fewer than two rows at (top of item 0) × (lines - 1) + 12.
  /// Nothing when there are fewer than 2 lines.
  void setSize();
  void onResize(wxSizeEvent& event);
  /// The list never scrolls itself (it is as high as its rows): the wheel scrolls the pane.
  void onWheel(wxMouseEvent& event);

  std::vector<std::string>& Fsv;
  mutable wxItemAttr evenAttr;  // handed out as non-const by the const OnGetItemAttr

 protected:
  wxItemAttr* OnGetItemAttr(long item) const override;
  wxString OnGetItemText(long item, long column) const override;
};
