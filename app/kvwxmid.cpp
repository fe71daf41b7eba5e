// Pane layout pieces of the main window: the caption strip above the decode and raw data panes.
#include "kvwxmid.h"

#include <wx/sizer.h>
#include <wx/stattext.h>

#include "kvcolours.h"

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
