// Pane layout of the main window: the splitters around tree, decode and raw data panes, and the
// caption strip above the two right-hand panes.
#include "kvwxmid.h"

#include <wx/sizer.h>
#include <wx/stattext.h>

#include "kvcolours.h"
#include "kvdecode.h"
#include "kvdpane.h"
#include "kvglobs.h"
#include "kvtree.h"

namespace {
constexpr int TITLE_FONT_NUM = 15;  // caption font = panel font × 15 / 10
constexpr int TITLE_FONT_DEN = 10;
}  // namespace

TitlePane::TitlePane(wxWindow* parent, const wchar_t* text)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  auto* label = new wxStaticText(this, wxID_ANY, text, wxDefaultPosition, wxDefaultSize, 0);
  wxFont font = GetFont();
  font.SetPointSize(font.GetPointSize() * TITLE_FONT_NUM / TITLE_FONT_DEN);
  label->SetFont(font);

  auto* sizer = new wxBoxSizer(wxHORIZONTAL);
  sizer->AddStretchSpacer(1);
  sizer->Add(label, 0, 0, 0);
  sizer->AddStretchSpacer(1);
  SetSizer(sizer);
  SetBackgroundColour(wxColour(TITLE_BG));
}

namespace {
// Share of a width change that the tree side takes; no side narrower than this; the right
// column starts this wide (a negative sash position counts from the right).
constexpr double MAIN_SPLITTER_GRAVITY = 0.8;
constexpr int MAIN_SPLITTER_MIN_PANE_SIZE = 300;
constexpr int MAIN_SPLITTER_INIT_PANE_SIZE = -420;
// The same for the right column: the decode pane above, the raw data pane below.
constexpr double H_SPLITTER_GRAVITY = 0.6;
constexpr int H_SPLITTER_MIN_PANE_SIZE = 200;
constexpr int H_SPLITTER_INIT_PANE_SIZE = -220;
}  // namespace

MidPane::MidPane(wxWindow* parent, int id)
    : wxPanel(parent, id, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  auto* mainSplitter =
      new wxSplitterWindow(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxSP_3D, "splitter");
  mainSplitter->SetSashGravity(MAIN_SPLITTER_GRAVITY);
  mainSplitter->SetMinimumPaneSize(MAIN_SPLITTER_MIN_PANE_SIZE);

  auto* rightSplitter = new wxSplitterWindow(mainSplitter, wxID_ANY, wxDefaultPosition,
                                             wxDefaultSize, wxSP_3D, "splitter");
  rightSplitter->SetSashGravity(H_SPLITTER_GRAVITY);
  rightSplitter->SetMinimumPaneSize(H_SPLITTER_MIN_PANE_SIZE);

  decodePane = new TdecodePane(rightSplitter);
  dataPane = new TdataPane(rightSplitter, wxID_ANY);
  rightSplitter->SplitHorizontally(decodePane, dataPane, H_SPLITTER_INIT_PANE_SIZE);

  treePane = new TreePane(mainSplitter, *dataPane, *decodePane);
  mainSplitter->SplitVertically(treePane, rightSplitter, MAIN_SPLITTER_INIT_PANE_SIZE);

  auto* sizer = new wxBoxSizer(wxHORIZONTAL);
  sizer->Add(mainSplitter, 1, wxEXPAND);
  SetSizer(sizer);

  // The right splitter's notifications travel up to the main splitter and are caught here too.
  mainSplitter->Bind(wxEVT_SPLITTER_SASH_POS_CHANGED, &MidPane::onSplitterChanged, this);
}

void MidPane::zoom(int pointSize) { treePane->zoom(pointSize); }

void MidPane::onSplitterChanged(wxSplitterEvent&) { _G.pub(msgSplitterChanged, 0); }
