// Test access to the capture control page's state and widgets (a friend of TctlPage).
#pragma once

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "wxsPanes.h"

struct TctlPageTestAccess {
  static void setState(TctlPage& p, int s) { p.state = s; }
  static void setNeededBytes(TctlPage& p, uint32_t n) { p.neededBytes = n; }
  static wxButton* start(TctlPage& p) { return p.startBtn; }
  static wxButton* ok(TctlPage& p) { return p.okBtn; }
  static wxButton* cancel(TctlPage& p) { return p.cancelBtn; }
  static wxButton* connect(TctlPage& p) { return p.connectBtn; }
  static wxButton* disconn(TctlPage& p) { return p.disconnBtn; }
  static wxTextCtrl* box(TctlPage& p) { return p.bufferBox; }
  static wxStaticText* acqLabel(TctlPage& p) { return p.acqLabel; }
  static wxStaticText* decLabel(TctlPage& p) { return p.decLabel; }
  static wxGauge* acqGauge(TctlPage& p) { return p.acqGauge; }
  static wxGauge* decGauge(TctlPage& p) { return p.decGauge; }
  static TloThread& loThread(TctlPage& p) { return p.loThread; }
};
