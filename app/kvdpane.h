// Raw data pane: the clicked row's bytes as a count line and a hex and character dump.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <wx/panel.h>

class wxTextCtrl;

/// A "Raw Data" caption over a read-only styled text control. GUI thread only.
class TdataPane : public wxPanel {
 public:
  TdataPane(wxWindow* parent, int id);

  /// Replaces the text with the dump of data: " N bytes", an empty line, the column header and
  /// one line per 8 bytes; " No Data" for an empty vector.
  void renderPacket(const std::vector<uint8_t>& data);
  /// Empties the text and writes the count line (or " No Data") and, for n > 0, the header.
  void head(int n);
  /// Appends text in the current default style.
  void render(const std::string& text);
  /// Makes colour (0x00BBGGRR) the text colour of the default style.
  void colour(unsigned long colour);

  wxTextCtrl* textCtrl;
};
