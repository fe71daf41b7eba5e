// Test tool: shows the capture dialog's footer with each status text given, each in a window of
// its own titled "footer: <text>", so that an end-to-end test reads the dialog's status line by
// comparing it with these renderings: the same code, fonts and X server draw both. Runs until it
// is ended. Usage: footer_ref <status text>...
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/panel.h>
#include <wx/sizer.h>

#include "wxsPanes.h"

namespace {

constexpr int WIDTH = 525;   // the capture dialog's width, near enough
constexpr int SPACING = 120; // windows one below the other, so that none hides another

class TfooterRefApp : public wxApp {
 public:
  bool OnInit() override {
    for (int i = 1; i < argc; ++i) {
      const wxString text = argv[i];
      auto* frame = new wxFrame(nullptr, wxID_ANY, "footer: " + text, wxPoint(10, 10 + SPACING * (i - 1)));
      // In the dialog the footer's base font is a panel's font; this panel's is the same.
      auto* panel = new wxPanel(frame);
      wxFont font = panel->GetFont();
      auto* footer = new Tfooter(panel, font);
      footer->setStatusStr(text.utf8_string());
      auto* sizer = new wxBoxSizer(wxVERTICAL);
      sizer->Add(footer, 1, wxEXPAND);
      panel->SetSizer(sizer);
      frame->SetClientSize(WIDTH, footer->GetBestSize().y);
      frame->Show();
    }
    return true;
  }
};

}  // namespace

wxIMPLEMENT_APP(TfooterRefApp);
