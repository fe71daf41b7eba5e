// Tests of the caption strip.
#include "kvwxmid.h"

#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "gui_env.h"
#include "kvcolours.h"

namespace {

wxStaticText* captionOf(wxWindow* pane) {
  for (wxWindow* child : pane->GetChildren())
    if (auto* text = dynamic_cast<wxStaticText*>(child))
      return text;
  return nullptr;
}

TEST(TitlePane, CaptionIsHalfAgainAsLargeAndCentredOnGrey) {
  for (int points : {12, 13}) {
    auto* frame = new wxFrame(nullptr, wxID_ANY, "caption");
    frame->SetFont(wxFontInfo(points));
    auto* pane = new TitlePane(frame, L"Decode");
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(pane, 0, wxEXPAND);
    frame->SetSizer(sizer);
    frame->SetClientSize(600, 200);
    frame->Layout();

    wxStaticText* text = captionOf(pane);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->GetLabel(), "Decode");
    EXPECT_EQ(text->GetFont().GetPointSize(), points * 15 / 10);
    EXPECT_EQ(pane->GetBackgroundColour(), wxColour(TITLE_BG));
    EXPECT_EQ(wxColour(TITLE_BG).Red(), 0xd3);
    const wxRect r = text->GetRect();
    EXPECT_NEAR(r.x + r.width / 2, pane->GetClientSize().x / 2, 1);
    frame->Destroy();
  }
}

}  // namespace
