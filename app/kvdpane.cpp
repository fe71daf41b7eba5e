// Raw data pane: the clicked row's bytes as a count line and a hex and character dump.
#include "kvdpane.h"

#include <algorithm>
#include <iomanip>
#include <sstream>

#include <wx/font.h>
#include <wx/sizer.h>
#include <wx/textctrl.h>

#include "kvcolours.h"
#include "kvglobs.h"
#include "kvwxmid.h"

namespace {

constexpr size_t BYTES_PER_LINE = 8;
constexpr int COUNT_FONT_EXTRA = 2;  // the count line is this many points above fontPointSize
constexpr unsigned long TEXT_COLOUR = 0x000000;
constexpr char NO_DATA[] = " No Data";
constexpr char HEADER[] = "\n\n      0  1  2  3  4  5  6  7  01234567";

// The character column shows printable ASCII as it is and every other byte as ".", whatever the
// locale: a byte above 0x7e would not be a character of its own in a UTF-8 text.
char shown(uint8_t b) {
  return b >= 0x20 && b <= 0x7e ? static_cast<char>(b) : '.';
}

void dumpLine(std::ostringstream& out, const std::vector<uint8_t>& data, size_t line) {
  const size_t first = line * BYTES_PER_LINE;
  const size_t end = std::min(data.size(), first + BYTES_PER_LINE);
  out << "\n " << std::hex << std::setfill('0') << std::setw(2) << first << ':';
  for (size_t i = first; i < first + BYTES_PER_LINE; ++i) {
    if (i < end) out << ' ' << std::setw(2) << static_cast<unsigned>(data[i]);
    else out << "   ";
  }
  out << "  ";
  for (size_t i = first; i < end; ++i) out << shown(data[i]);
}

}  // namespace

TdataPane::TdataPane(wxWindow* parent, int id)
    : wxPanel(parent, id, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  auto* box = new wxBoxSizer(wxVERTICAL);
  box->Add(new TitlePane(this, L"Raw Data"), 0, wxEXPAND);
  textCtrl = new wxTextCtrl(this, wxID_ANY, wxString(), wxDefaultPosition, wxDefaultSize,
                            wxTE_READONLY | wxTE_MULTILINE | wxTE_RICH | wxHSCROLL);
  textCtrl->SetBackgroundColour(wxColour(LIGHTGREEN));
  box->Add(textCtrl, 1, wxEXPAND);
  SetSizer(box);
}

void TdataPane::renderPacket(const std::vector<uint8_t>& data) {
  // The dump lines go in as one text: the control's cost per insertion (styling, scrolling to
  // the end) would otherwise be paid once per 8 bytes. Frozen, the control lays the text out
  // once, when it is complete.
  const size_t lines = (data.size() + BYTES_PER_LINE - 1) / BYTES_PER_LINE;
  std::ostringstream out;
  for (size_t i = 0; i < lines; ++i) dumpLine(out, data, i);
  textCtrl->Freeze();
  head(static_cast<int>(data.size()));
  if (lines > 0) render(out.str());
  textCtrl->SetSelection(0, 0);
  textCtrl->Thaw();
}

void TdataPane::head(int n) {
  textCtrl->Clear();
  colour(TEXT_COLOUR);
  textCtrl->SetDefaultStyle(
      wxTextAttr(wxNullColour, wxNullColour,
                 wxFont(wxFontInfo(_G.fontPointSize + COUNT_FONT_EXTRA).FaceName("Arial"))));
  if (n == 0) {
    render(NO_DATA);
    return;
  }
  render(" " + std::to_string(n) + " bytes");
  textCtrl->SetDefaultStyle(wxTextAttr(
      wxNullColour, wxNullColour,
      wxFont(wxFontInfo(_G.fontPointSize).Family(wxFONTFAMILY_TELETYPE).FaceName("Courier").Bold())));
  render(HEADER);
}

void TdataPane::render(const std::string& text) {
  textCtrl->AppendText(wxString::FromUTF8(text.data(), text.size()));
}

void TdataPane::colour(unsigned long c) {
  textCtrl->SetDefaultStyle(wxTextAttr(wxColour(c)));
}
