// The capture dialog's window and its panel: notebook with the control and help pages, footer, timer.
#include "wxsGui.h"

#include <wx/notebook.h>
#include <wx/sizer.h>

#include "wxsPanes.h"

namespace {
const wxColour PANEL_BG("#f0f0f0");

void invalidateBestSizes(wxWindow* w) {
  w->InvalidateBestSize();
  for (wxWindow* child : w->GetChildren())
    invalidateBestSizes(child);
}
}  // namespace

TsnifferGui::TsnifferGui(wxWindow* parent)
    : wxPanel(parent, ID_SNIFFER_GUI, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  SetBackgroundColour(PANEL_BG);
  // The pages and the footer derive their font sizes from this copy while they are built.
  wxFont font = GetFont();

  auto* notebook = new wxNotebook(this, ID_NOTEBOOK, wxDefaultPosition, wxDefaultSize, 0);
  ctlPage = new TctlPage(notebook, font);
  helpPage = new ThelpPage(notebook, font);
  notebook->AddPage(ctlPage, "Control", true);
  notebook->AddPage(helpPage, "Help", false);
  footer = new Tfooter(this, font);

  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(notebook, 1, wxEXPAND);
  sizer->Add(footer, 0, wxEXPAND | wxTOP, 5);
  SetSizer(sizer);

  Bind(wxEVT_TIMER, [this](wxTimerEvent&) { onTick(); });
  timer = new wxTimer(this, wxID_ANY);
  timer->Start(TICK_INTERVAL, wxTIMER_CONTINUOUS);
}

TsnifferGui::~TsnifferGui() { killTimer(); }

void TsnifferGui::onTick() { ctlPage->onTick(); }

void TsnifferGui::killTimer() {
  if (!timer)
    return;
  timer->Stop();
  delete timer;
  timer = nullptr;
}

void TsnifferGui::doExit(int code) {
  killTimer();
  if (auto* dialog = dynamic_cast<wxDialog*>(GetParent()))
    dialog->EndModal(code);
}

TexThread& TsnifferGui::exThreadRef() { return ctlPage->exThreadRef(); }

// ---------------------------------------------------------------------------------------------

TcaptureDialogInner::TcaptureDialogInner()
    : wxDialog(nullptr, wxID_ANY, "USB Packet Sniffer", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE) {
  gui = new TsnifferGui(this);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(gui, 0, 0, 0);
  SetSizer(sizer);
  fitToContents();
  Bind(wxEVT_CLOSE_WINDOW, &TcaptureDialogInner::OnCloseWindow, this);
  // A window disabled while the dialog was inactive took the focus with it: once the dialog is
  // active again (its focus events handled), Cancel gets it, or no key would reach the dialog.
  Bind(wxEVT_ACTIVATE, [this](wxActivateEvent& event) {
    event.Skip();
    if (event.GetActive())
      CallAfter([this] { gui->controlPage()->keepKeyboardFocus(); });
  });
  // GTK measures texts with their own fonts only once the windows exist on screen: fit again
  // then, or the enlarged labels push the button row out of the fixed client area.
  Bind(wxEVT_SHOW, [this](wxShowEvent& event) {
    event.Skip();
    if (event.IsShown() && !refitted) {
      refitted = true;
      CallAfter(&TcaptureDialogInner::fitToContents);
    }
  });
}

void TcaptureDialogInner::fitToContents() {
  invalidateBestSizes(this);
  SetMinClientSize(wxDefaultSize);
  SetMaxClientSize(wxDefaultSize);
  Fit();
  const wxSize size = GetClientSize();
  SetMinClientSize(size);
  SetMaxClientSize(size);
  Centre(wxBOTH);
}

void TcaptureDialogInner::OnCloseWindow(wxCloseEvent&) {
  gui->killTimer();
  EndModal(wxID_CANCEL);
}

std::shared_ptr<TrowVec> TcaptureDialogInner::pevtVec() { return gui->exThreadRef().pEventVec(); }
std::shared_ptr<TrowVec> TcaptureDialogInner::ptreeVec() { return gui->exThreadRef().pTreeRootVec(); }
std::shared_ptr<TlinRowVec> TcaptureDialogInner::plinVec() { return gui->exThreadRef().pLinearRowVec(); }
