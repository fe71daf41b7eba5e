// Pane layout pieces of the main window: the caption strip above the decode and raw data panes.
#pragma once

#include <wx/panel.h>

/// Caption strip: one line of text at 1.5 times the parent's font, centred on a light grey band.
/// The text is fixed at construction. GUI thread only.
class TitlePane : public wxPanel {
 public:
  TitlePane(wxWindow* parent, const wchar_t* text);
};
