// Decode pane: a row's decode string shown as stacked paragraphs and titled tables.
#include "kvdecode.h"

#include <algorithm>

#include <wx/font.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

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

void TscrolledPanel::relayout() {
  Layout();
  GetParent()->FitInside();
}

// ---- paragraph ----

TdecodeTextItem::TdecodeTextItem(wxWindow* parent, std::string item)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      text(item.substr(1)) {
  label = new wxStaticText(this, wxID_ANY, wxString());
  label->SetLabelText(toWx(text));  // shown as it stands: "&" is no mnemonic here
  label->Wrap(-1);
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

void TdecodeTextItem::doResize() {
  // Back to the unwrapped text first: Wrap only adds line breaks to what the label holds.
  label->SetLabelText(toWx(text));
  label->Wrap(-1);
  label->Wrap(GetClientSize().x - WRAP_MARGIN);
  // A paragraph that now takes more or fewer lines needs another height, and the scroll range
  // with it; the scrolled panel lays its items out again once the current event is done.
  if (GetBestSize().y != GetSize().y)
    if (auto* panel = dynamic_cast<TscrolledPanel*>(GetParent()))
      panel->CallAfter(&TscrolledPanel::relayout);
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
}

void TdecodeList::setSize() {
  if (Fsv.size() < 2) return;
  wxRect r;
  const int y = GetItemCount() > 0 && GetItemRect(0, r, wxLIST_RECT_BOUNDS) ? r.y : 0;
  const int height = y * static_cast<int>(Fsv.size() - 1) + LIST_EXTRA_HEIGHT;
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
