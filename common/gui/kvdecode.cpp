// Decode pane: a row's decode string shown as stacked paragraphs and titled tables.
#include "kvdecode.h"

#include <algorithm>

#include <wx/dcclient.h>
#include <wx/font.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/settings.h>

#include "kvcolours.h"
#include "kvglobs.h"
#include "kvutils.h"
#include "kvwxmid.h"

namespace {

constexpr int ITEM_BORDER = 10;       // left, right and top of every item window
constexpr int WRAP_MARGIN = 20;       // a paragraph wraps this much narrower than its item
constexpr int SCROLL_RATE_Y = 5;      // pixels per vertical scroll step
constexpr int LIST_EXTRA_HEIGHT = 12; // added to the list's computed height
constexpr int FIRST_CELL_LINE = 2;    // lines 0 and 1 of a table are its title and heads
constexpr int COLUMN1_MARGIN = 20;    // column 1 takes three quarters of the width less this
constexpr int TITLE_FONT_NUM = 12;    // table title font = inherited font × 12 / 10
constexpr int TITLE_FONT_DEN = 10;
constexpr size_t MAX_SHOWN_BYTES = 64 * 1024;  // a longer paragraph is cut and marked
constexpr size_t NATIVE_LABEL_MAX = 4 * 1024;  // characters; a longer paragraph is drawn by wx
constexpr char UNTITLED[] = " ";      // title of a table whose title line is the bare "T"
constexpr char TEXT_ITEM = 'S';
constexpr char TABLE_ITEM = 'T';

// Scripts write UTF-8; a text that is not valid UTF-8 is taken byte by byte as Latin-1 so that
// it shows rather than vanishing.
wxString toWx(const std::string& s) {
  wxString w = wxString::FromUTF8(s.data(), s.size());
  if (w.empty() && !s.empty()) w = wxString(s.data(), wxConvISO8859_1, s.size());
  return w;
}

// The paragraph as the label shows it: whole up to MAX_SHOWN_BYTES; beyond, cut there (at a
// character boundary) and ended by an ellipsis, so that a script's runaway text costs a bounded
// time to wrap and draw.
wxString shownText(const std::string& text) {
  if (text.size() <= MAX_SHOWN_BYTES) return toWx(text);
  size_t cut = MAX_SHOWN_BYTES;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80) --cut;
  return toWx(text.substr(0, cut)) + wxString::FromUTF8("\xe2\x80\xa6");
}

// Appends line to out broken into pieces no wider than width pixels at its blanks, the way
// wxStaticText::Wrap breaks it: the blank at a break becomes the line break, and a word wider
// than the width stands alone on its line. ext holds the extent of every prefix of line, so
// the line is measured once and the work grows with its length.
void wrapLine(const std::wstring& line, const wxArrayInt& ext, int width, std::wstring& out) {
  const size_t n = std::min(line.size(), ext.size());
  size_t start = 0;
  int base = 0;  // the extent of line[0, start)
  for (;;) {
    // line[start, end) is narrower than width; the character at end would reach it.
    const size_t end = static_cast<size_t>(
        std::lower_bound(ext.begin() + static_cast<long>(start), ext.begin() + static_cast<long>(n),
                         base + width) - ext.begin());
    if (end >= n) break;
    size_t cut = end;
    while (cut > start && line[cut] != L' ') --cut;
    if (cut == start) cut = line.find(L' ', end);  // one long word: break after it
    if (cut == std::wstring::npos || cut >= n) break;
    out.append(line, start, cut - start).push_back(L'\n');
    start = cut + 1;
    base = ext[cut];
  }
  out.append(line, start, std::wstring::npos);
}

// The paragraph with line breaks inserted so that no line is wider than width pixels in font,
// measured on dc (its own line breaks stay); unchanged for a negative width.
wxString wrapText(wxDC& dc, const wxFont& font, const wxString& text, int width) {
  if (width < 0) return text;
  dc.SetFont(font);
  const std::wstring all = text.ToStdWstring();
  std::wstring out;
  out.reserve(all.size() + all.size() / 16);
  wxArrayInt ext;
  for (size_t from = 0;;) {
    const size_t to = std::min(all.find(L'\n', from), all.size());
    const std::wstring line = all.substr(from, to - from);
    ext.clear();
    if (!line.empty()) dc.GetPartialTextExtents(wxString(line), ext);
    wrapLine(line, ext, width, out);
    if (to == all.size()) break;
    out.push_back(L'\n');
    from = to + 1;
  }
  return wxString(out);
}

}  // namespace

// ---- pane, scroller, scrolled panel ----

TdecodePane::TdecodePane(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  SetFont(wxFont(wxFontInfo(_G.fontPointSize).FaceName("Arial")));
  auto* box = new wxBoxSizer(wxVERTICAL);
  box->Add(new TitlePane(this, L"Decode"), 0, wxEXPAND);
  scroller = new TscrollerPanel(this);
  box->Add(scroller, 1, wxEXPAND);
  SetSizer(box);
}

void TdecodePane::render(const std::string& decode) {
  scroller->scrolled->render(decode);
  scroller->FitInside();
}

TscrollerPanel::TscrollerPanel(wxWindow* parent)
    : wxScrolledWindow(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxHSCROLL | wxVSCROLL) {
  auto* box = new wxBoxSizer(wxVERTICAL);
  scrolled = new TscrolledPanel(this);
  box->Add(scrolled, 1, wxEXPAND);
  SetSizer(box);
  SetBackgroundColour(wxColour(DECODE_BG));
  SetScrollRate(0, SCROLL_RATE_Y);
}

TscrolledPanel::TscrolledPanel(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  sizer = new wxBoxSizer(wxVERTICAL);
  SetSizer(sizer);
}

void TscrolledPanel::render(const std::string& decode) {
  // Destroys the windows at once, so text items leave the hub before new ones join it.
  sizer->Clear(true);
  for (std::string& item : utils::split(decode, ';')) {
    wxWindow* w = nullptr;
    if (item[0] == TEXT_ITEM) w = new TdecodeTextItem(this, item);
    else if (item[0] == TABLE_ITEM) w = new TdecodeListItem(this, item);
    if (w) sizer->Add(w, 0, wxEXPAND | wxLEFT | wxRIGHT | wxTOP, ITEM_BORDER);
  }
  Layout();
}

wxDC& TscrolledPanel::measureDC() {
  // Making a context costs about as much as measuring a paragraph: the paragraphs that one
  // render or one resize wraps share one, dropped once the current event is done.
  if (!measurer) {
    measurer = std::make_unique<wxClientDC>(this);
    CallAfter([this] { measurer.reset(); });
  }
  return *measurer;
}

void TscrolledPanel::relayout() {
  relayoutQueued = false;
  ++relayouts;
  Layout();
  GetParent()->FitInside();
}

void TscrolledPanel::queueRelayout() {
  // Every paragraph whose height changed asks; one layout serves them all.
  if (relayoutQueued) return;
  relayoutQueued = true;
  CallAfter(&TscrolledPanel::relayout);
}

// ---- paragraph ----

TdecodeTextItem::TdecodeTextItem(wxWindow* parent, std::string item)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      text(item.substr(1)),
      shown(shownText(text)) {
  // A long paragraph is drawn by wx a line at a time: the toolkit's own label lays a text of
  // many lines out in a time that grows with its square.
  if (shown.length() > NATIVE_LABEL_MAX) label = new wxGenericStaticText(this, wxID_ANY, wxString());
  else label = new wxStaticText(this, wxID_ANY, wxString());
  // Wrapped at once at the width the panel gives its items, when it is known: the label never
  // holds the whole paragraph on one line, and the first layout wraps nothing again.
  auto* panel = dynamic_cast<TscrolledPanel*>(parent);
  wrapTo(panel && panel->GetClientSize().x > 0 ? wrapWidth(panel->GetClientSize().x - 2 * ITEM_BORDER) : -1);
  sizer = new wxBoxSizer(wxHORIZONTAL);
  sizer->Add(label, 1, wxEXPAND);
  SetSizer(sizer);
  Fit();
  Layout();
  SetMinSize(wxSize(0, -1));  // see TdecodeListItem
  Bind(wxEVT_SIZE, &TdecodeTextItem::onResize, this);
  subHandle = _G.sub(msgSplitterChanged, this, &TdecodeTextItem::doResize);
}

TdecodeTextItem::~TdecodeTextItem() {
  _G.unsub(msgSplitterChanged, subHandle);
}

void TdecodeTextItem::wrapTo(int width) {
  // Shown as it stands: "&" is no mnemonic here.
  if (auto* panel = dynamic_cast<TscrolledPanel*>(GetParent())) {
    label->SetLabelText(wrapText(panel->measureDC(), label->GetFont(), shown, width));
  } else {
    wxClientDC dc(label);
    label->SetLabelText(wrapText(dc, label->GetFont(), shown, width));
  }
  wrapped = label->GetLabel();
  wrappedWidth = width;
  ++wraps;
}

int TdecodeTextItem::wrapWidth(int itemWidth) const {
  // While the pane is resized the toolkit counts the vertical scroll bar in and out of the
  // panel's width by turns, and the items follow. Wrapping as if the bar always took its room
  // keeps the paragraphs from being wrapped again at each turn.
  if (auto* panel = dynamic_cast<TscrolledPanel*>(GetParent())) {
    const wxWindow* scroller = panel->GetParent();
    const int withBar = scroller->GetSize().x - scroller->GetWindowBorderSize().x -
                        wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, scroller) - 2 * ITEM_BORDER;
    itemWidth = std::min(itemWidth, withBar);
  }
  return std::max(-1, itemWidth - WRAP_MARGIN);
}

bool TdecodeTextItem::rewrap() {
  // Wrapping costs time in the length of the text: done only when the width changed or the
  // label no longer shows the last wrap. A height change alone (a layout) leaves it be.
  const int width = wrapWidth(GetClientSize().x);
  if (width == wrappedWidth && label->GetLabel() == wrapped) return false;
  wrapTo(width);
  return true;
}

void TdecodeTextItem::doResize() {
  // A paragraph that now takes more or fewer lines needs another height, and the scroll range
  // with it; the scrolled panel lays its items out again once the current event is done.
  if (rewrap() && GetBestSize().y != GetSize().y)
    if (auto* panel = dynamic_cast<TscrolledPanel*>(GetParent())) panel->queueRelayout();
}

void TdecodeTextItem::onResize(wxSizeEvent& event) {
  doResize();
  event.Skip(true);
}

// ---- table ----

TdecodeListItem::TdecodeListItem(wxWindow* parent, std::string& item)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      lines(utils::split(item, '\n')) {
  std::string title = lines[0].size() > 1 ? lines[0].substr(1) : std::string(UNTITLED);
  auto* box = new wxBoxSizer(wxVERTICAL);
  box->Add(new TdecodeTitle(this, title), 0, wxEXPAND);
  box->Add(new TdecodeList(this, lines), 0, wxEXPAND);
  SetSizer(box);
  // The item's width comes from the pane, never from its content: a content width as minimum
  // would keep the pane from getting narrower, and the list's best width (the sum of its
  // columns, one of them as wide as the list) would grow it on every resize.
  SetMinSize(wxSize(0, -1));
}

TdecodeTitle::TdecodeTitle(wxWindow* parent, std::string& title)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  wxFont font = GetFont();
  font.SetPointSize(font.GetPointSize() * TITLE_FONT_NUM / TITLE_FONT_DEN);
  SetFont(font);
  auto* text = new wxStaticText(this, wxID_ANY, wxString());
  text->SetLabelText(toWx(title));
  auto* box = new wxBoxSizer(wxHORIZONTAL);
  box->AddStretchSpacer(1);
  box->Add(text, 0);
  box->AddStretchSpacer(1);
  SetSizer(box);
  SetBackgroundColour(wxColour(DECODE_TITLE_BG));
}

TdecodeList::TdecodeList(wxWindow* parent, std::vector<std::string>& lines)
    : wxListView(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxLC_REPORT | wxLC_VIRTUAL),
      Fsv(lines) {
  evenAttr.SetBackgroundColour(wxColour(DECODE_EVEN_BG));
  if (Fsv.size() > 1) {
    const TstringVec heads = utils::split(Fsv[1], '#');
    for (size_t c = 0; c < heads.size(); ++c)
      InsertColumn(static_cast<long>(c), toWx(heads[c]), wxLIST_FORMAT_LEFT, -1);
    SetItemCount(Fsv.size() > 2 ? static_cast<long>(Fsv.size() - FIRST_CELL_LINE) : 0);
    setSize();
  }
  Bind(wxEVT_SIZE, &TdecodeList::onResize, this);
  // The wheel arrives at the window under the pointer: the list's rows and header are windows
  // of their own.
  Bind(wxEVT_MOUSEWHEEL, &TdecodeList::onWheel, this);
  for (wxWindow* child : GetChildren()) child->Bind(wxEVT_MOUSEWHEEL, &TdecodeList::onWheel, this);
}

void TdecodeList::setSize() {
  if (Fsv.size() < 2) return;
  // The rows stand as far apart as the toolkit draws them, which need not be the height of the
  // header above them: the first two rows tell the spacing. With a single row only the header
  // height is known, and it stands for the row's.
  const int rows = GetItemCount();
  wxRect r0, r1;
  const int y = rows > 0 && GetItemRect(0, r0, wxLIST_RECT_BOUNDS) ? r0.y : 0;
  int height = y * static_cast<int>(Fsv.size() - 1) + LIST_EXTRA_HEIGHT;
  if (rows > 1 && GetItemRect(1, r1, wxLIST_RECT_BOUNDS) && r1.y > r0.y)
    height = y + (r1.y - r0.y) * rows + LIST_EXTRA_HEIGHT;
  SetMinSize(wxSize(-1, height));
  SetMaxSize(wxSize(-1, height));
}

void TdecodeList::onResize(wxSizeEvent& event) {
  // Widths below zero would mean "fit the contents" to the list, or nothing sensible.
  const int w = GetClientSize().x;
  if (GetColumnCount() > 0) SetColumnWidth(0, std::max(0, w / 4));
  if (GetColumnCount() > 1) SetColumnWidth(1, std::max(0, w * 3 / 4 - COLUMN1_MARGIN));
  setSize();
  event.Skip(true);
}

void TdecodeList::onWheel(wxMouseEvent& event) {
  if (event.GetWheelAxis() == wxMOUSE_WHEEL_VERTICAL)
    for (wxWindow* w = GetParent(); w; w = w->GetParent())
      if (auto* scroller = dynamic_cast<wxScrolledWindow*>(w)) {
        scroller->HandleOnMouseWheel(event);
        return;
      }
  event.Skip();  // sideways: the list scrolls its columns itself
}

wxItemAttr* TdecodeList::OnGetItemAttr(long item) const {
  return item % 2 == 0 ? &evenAttr : nullptr;
}

wxString TdecodeList::OnGetItemText(long item, long column) const {
  const size_t line = static_cast<size_t>(item) + FIRST_CELL_LINE;
  if (item < 0 || line >= Fsv.size() || column < 0) return wxString();
  const TstringVec cells = utils::split(Fsv[line], '#');
  return static_cast<size_t>(column) < cells.size() ? toWx(cells[static_cast<size_t>(column)])
                                                     : wxString();
}
