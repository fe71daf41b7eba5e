// Main window: menus, the button bar, file dialogs, zoom, help and the about box.
#include "kvmainframe.h"

#include <algorithm>
#include <cstdio>

#include <wx/aboutdlg.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/filefn.h>
#include <wx/filename.h>
#include <wx/intl.h>
#include <wx/menu.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/utils.h>

#include "kvcolours.h"
#include "kvdispldata.h"
#include "kvglobs.h"
#include "kvtree.h"
#include "kvwxmid.h"

namespace {
// The toolbar's Exit button reaches the main window through this; set once, never cleared.
TmainFrame* evilMainFramePtr = nullptr;

constexpr const char* VERSION_TEXT = KV_VERSION;
constexpr const char* SAMPLE_WILDCARD = "KVD files (*.kvd)|*.kvd|All files (*.*)|*.*";
constexpr int TOOLBAR_BORDER = 5;
}  // namespace

Ttoolbar::Ttoolbar(wxWindow* parent, int id)
    : wxPanel(parent, id, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  // Created in tab order. The zoom buttons are made to fit their labels: under GTK 3 a button
  // squeezed below the width it was made at no longer draws its label.
  zoomInButton = new wxButton(this, ID_ZOOM_IN, "+", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
  zoomOutButton = new wxButton(this, ID_ZOOM_OUT, "-", wxDefaultPosition, wxDefaultSize, wxBU_EXACTFIT);
  captureButton = new wxButton(this, ID_CAPTURE, "Capture");
  sofButton = new wxButton(this, ID_SOF, sofLabel());
  nakButton = new wxButton(this, ID_NAK, nakLabel());
  packetsButton = new wxButton(this, ID_PACKETS, pktLabel());
  helpButton = new wxButton(this, wxID_HELP, "Help");
  exitButton = new wxButton(this, wxID_EXIT, "Exit");

  // Square zoom buttons, as high as the other buttons.
  const int side = std::max(zoomInButton->GetSize().GetHeight(), captureButton->GetSize().GetHeight());
  const wxSize square(side, side);
  for (wxButton* b : {zoomInButton, zoomOutButton}) {
    b->SetMinSize(square);
    b->SetMaxSize(square);
  }

  auto* sizer = new wxBoxSizer(wxHORIZONTAL);
  for (wxButton* b : {captureButton, sofButton, nakButton, packetsButton})
    sizer->Add(b, 0, wxALL, TOOLBAR_BORDER);
  sizer->AddStretchSpacer(1);
  for (wxButton* b : {helpButton, exitButton, zoomInButton, zoomOutButton})
    sizer->Add(b, 0, wxALL, TOOLBAR_BORDER);
  SetSizer(sizer);
  sizer->Fit(this);

  captureButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnCapture, this);
  sofButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnSOF, this);
  nakButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnNAK, this);
  packetsButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnPacket, this);
  helpButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnHelp, this);
  exitButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnExit, this);
  zoomInButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnZoomIn, this);
  zoomOutButton->Bind(wxEVT_BUTTON, &Ttoolbar::OnZoomOut, this);

  SetBackgroundColour(wxSystemSettings::GetColour(wxSYS_COLOUR_MENU));
}

const char* Ttoolbar::sofLabel() { return _G.showSOF ? "Hide SOFs" : "Show SOFs"; }

const char* Ttoolbar::nakLabel() { return _G.showNAK ? "Hide NAKs" : "Show NAKs"; }

const char* Ttoolbar::pktLabel() { return _G.showPackets ? "Hide Packets" : "Show Packets"; }

wxString Ttoolbar::helpAddress() {
  return wxFileName::FileNameToURL(wxFileName(wxGetCwd(), wxString(_G.helpFile)));
}

void Ttoolbar::OnCapture(wxCommandEvent&) { _G.pub(msgDoCapture, 0); }

void Ttoolbar::OnSOF(wxCommandEvent&) {
  _G.showSOF = !_G.showSOF;
  sofButton->SetLabel(sofLabel());
  _G.pub(msgVisRowsChanged, 0);
}

void Ttoolbar::OnNAK(wxCommandEvent&) {
  _G.showNAK = !_G.showNAK;
  nakButton->SetLabel(nakLabel());
  _G.pub(msgVisRowsChanged, 0);
}

void Ttoolbar::OnPacket(wxCommandEvent&) {
  _G.showPackets = !_G.showPackets;
  packetsButton->SetLabel(pktLabel());
  _G.pub(msgVisRowsChanged, 0);
}

void Ttoolbar::OnHelp(wxCommandEvent&) { wxLaunchDefaultBrowser(helpAddress()); }

void Ttoolbar::OnExit(wxCommandEvent&) {
  if (evilMainFramePtr) evilMainFramePtr->Close(true);
}

void Ttoolbar::OnZoomIn(wxCommandEvent&) { _G.pub(msgZoom, 1); }

void Ttoolbar::OnZoomOut(wxCommandEvent&) { _G.pub(msgZoom, -1); }

ThLine::ThLine(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  SetMinClientSize(wxSize(-1, 1));
  SetBackgroundColour(wxColour(BORDER_BG));
}

TmainFrame::TmainFrame(wxFrame* parent, int id, const wxString& title, const wxPoint& pos,
                       const wxSize& size)
    : wxFrame(parent, id, title, pos, size, wxDEFAULT_FRAME_STYLE) {
  fitToDisplay();
  // Before any child exists, so that every child takes this font over.
  SetFont(wxFont(wxFontInfo(_G.fontPointSize).FaceName("Arial")));
  buildMenus();

  Bind(wxEVT_MENU, &TmainFrame::OnFileRead, this, ID_READ_DATA);
  Bind(wxEVT_MENU, &TmainFrame::OnFileSave, this, ID_SAVE_DATA);
  Bind(wxEVT_MENU, &TmainFrame::OnCapture, this, ID_CAPTURE);
  Bind(wxEVT_MENU, &TmainFrame::OnAbout, this, wxID_ABOUT);
  Bind(wxEVT_MENU, &TmainFrame::OnExit, this, wxID_EXIT);
  Bind(wxEVT_CLOSE_WINDOW, &TmainFrame::OnClose, this);

  auto* panel = new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                            wxTAB_TRAVERSAL | wxNO_BORDER);
  toolbar = new Ttoolbar(panel, wxID_ANY);
  midPane = new MidPane(panel, wxID_ANY);

  auto* barSizer = new wxBoxSizer(wxHORIZONTAL);
  barSizer->Add(toolbar, 1, wxEXPAND);
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(barSizer, 0, wxEXPAND);
  sizer->Add(new ThLine(panel), 0, wxEXPAND);
  sizer->Add(midPane, 1, wxEXPAND);
  // Not fitted: a panel fitted to its sizer would hand the splitters a provisional width (the
  // toolbar's), at which their start positions would be taken and which gravity then shifts.
  // The frame lays the panel out at its real size, so the splitters first see that.
  panel->SetSizer(sizer);
  panel->SetBackgroundColour(wxColour(APP_BG));

  // Never so narrow that the toolbar's buttons are squeezed or cut off.
  const int minWidth = std::max(MIN_CLIENT_WIDTH, toolbar->GetBestSize().GetWidth());
  SetMinClientSize(wxSize(minWidth, toolbar->GetSize().GetHeight() + MIN_CLIENT_HEIGHT_BELOW_BAR));
  evilMainFramePtr = this;
  // The window lives until the program ends, so the subscription is never withdrawn.
  _G.sub(msgZoom, [this](long direction) { zoom(static_cast<int>(direction)); });

  _G.pub(msgSampleFileRead, reinterpret_cast<long>(DEFAULT_SAMPLE_FILE));
  reportDefaultFile();
}

void TmainFrame::fitToDisplay() {
  // A window on no display is measured against the first one.
  int index = wxDisplay::GetFromWindow(this);
  if (index == wxNOT_FOUND) index = 0;
  const wxRect area = wxDisplay(static_cast<unsigned>(index)).GetClientArea();
  SetClientSize(clientSizeFor(GetClientSize().GetWidth(), area));
  Centre(wxBOTH);
}

wxSize TmainFrame::clientSizeFor(int clientWidth, const wxRect& area) {
  return wxSize(std::min(clientWidth, area.GetWidth() - SCREEN_MARGIN),
                area.GetHeight() - SCREEN_MARGIN);
}

void TmainFrame::buildMenus() {
  auto* file = new wxMenu;
  file->Append(ID_CAPTURE, "&Capture", "");
  file->AppendSeparator();
  file->Append(ID_READ_DATA, "&Read data", "");
  file->Append(ID_SAVE_DATA, "&Save data", "");
  file->AppendSeparator();
  file->Append(wxID_EXIT, "&Exit", "");
  auto* help = new wxMenu;
  help->Append(wxID_ABOUT, "&About", "");
  auto* bar = new wxMenuBar;
  bar->Append(file, "&File");
  bar->Append(help, "&Help");
  SetMenuBar(bar);
}

void TmainFrame::reportDefaultFile() {
  // The views simply stay empty; the person starting the program learns why on the terminal.
  if (midPane->treePane->midPane->rowCache.rData().rowCount() > 0) return;
  // Anything at the path (a FIFO, a device) is a file that holds no readable rows.
  if (!wxFileName::Exists(DEFAULT_SAMPLE_FILE, wxFILE_EXISTS_ANY))
    std::fprintf(stderr, "ostrel: %s not found; starting with no rows\n", DEFAULT_SAMPLE_FILE);
  else
    std::fprintf(stderr, "ostrel: %s holds no readable rows; starting with no rows\n",
                 DEFAULT_SAMPLE_FILE);
}

void TmainFrame::zoom(int direction) {
  wxFont font = GetFont();
  const int size = font.GetPointSize();
  const int step = std::max(2, size / 5);
  const int newSize = std::clamp(size + step * direction, MIN_FONT_POINT_SIZE, MAX_FONT_POINT_SIZE);
  font.SetPointSize(newSize);
  SetFont(font);
  midPane->zoom(newSize);
}

void TmainFrame::publishPath(int topic, const wxString& path) {
  // The locale's encoding first; a path it cannot express goes as the file system names it,
  // so that the file chosen is the file opened.
  wxCharBuffer narrow = path.mb_str(wxConvLibc);
  if (narrow.length() == 0 && !path.empty()) narrow = path.fn_str();
  if (narrow.length() == 0) {
    std::fprintf(stderr, "ostrel: the chosen path cannot be encoded; nothing done\n");
    return;
  }
  _G.pub(topic, reinterpret_cast<long>(narrow.data()));
}

void TmainFrame::OnFileRead(wxCommandEvent&) {
  wxFileDialog dialog(this, "Open saved sample data", "", "", SAMPLE_WILDCARD,
                      wxFD_OPEN | wxFD_FILE_MUST_EXIST);
  if (dialog.ShowModal() == wxID_OK) publishPath(msgSampleFileRead, dialog.GetPath());
}

void TmainFrame::OnFileSave(wxCommandEvent&) {
  wxFileDialog dialog(this, "Save sample data", "", "", SAMPLE_WILDCARD,
                      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() == wxID_OK) publishPath(msgSampleFileSave, dialog.GetPath());
}

void TmainFrame::OnCapture(wxCommandEvent&) { _G.pub(msgDoCapture, 0); }

wxAboutDialogInfo TmainFrame::aboutInfo() {
  const wxString name(_G.shortName);
  wxAboutDialogInfo info;
  info.SetName(wxGetTranslation(name));
  info.SetVersion(wxGetTranslation(VERSION_TEXT));
  info.SetDescription(wxGetTranslation(" \nThe Capture and Display interface to the " + name +
                                       " USB Protocol Analyzer."));
  return info;
}

void TmainFrame::OnAbout(wxCommandEvent&) { wxAboutBox(aboutInfo()); }

void TmainFrame::OnExit(wxCommandEvent&) { Close(true); }

void TmainFrame::OnClose(wxCloseEvent&) {
  // No question and no veto: whatever is shown goes with the window.
  Destroy();
}
