// Application object of the desktop program: start-up settings and the main window.
#include "kvapp.h"

#include <csignal>
#include <cstdio>
#include <exception>

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/image.h>

#include "kvglobs.h"
#include "kvicon.xpm"
#include "kvmainframe.h"

namespace {
const wxPoint MAIN_FRAME_POS(50, 50);
const wxSize MAIN_FRAME_SIZE(1400, 500);
}  // namespace

void TkvApp::setUpSignals() { std::signal(SIGXFSZ, SIG_IGN); }

bool TkvApp::OnInit() {
  setUpSignals();
  if (!wxApp::OnInit()) return false;
  _G.init();
  _G.appName = APP_NAME;
  _G.shortName = SHORT_NAME;
  _G.maxBufferKB = MAX_BUFFER_KB;
  _G.helpFile = HELP_FILE;

  mainFrame = new TmainFrame(nullptr, wxID_ANY, wxString(_G.appName, wxConvLibc), MAIN_FRAME_POS,
                             MAIN_FRAME_SIZE);
  // Decoded by wxWidgets' own XPM reader: the toolkit's image loaders may lack XPM support.
  wxIcon icon;
  icon.CopyFromBitmap(wxBitmap(wxImage(kvicon_xpm)));
  mainFrame->SetIcon(icon);
  mainFrame->Show(true);
  return true;
}

bool TkvApp::OnExceptionInMainLoop() {
  try {
    throw;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ostrel: stopped by an unexpected error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "ostrel: stopped by an unexpected error\n");
  }
  return false;
}

// The tests build this file without the entry point and drive OnInit themselves.
#ifndef KV_APP_NO_MAIN
wxIMPLEMENT_APP(TkvApp);
#endif
