// The capture dialog's pages and parts: control page, help page, footer, separator, number helpers.
#include "wxsPanes.h"

#include <wx/button.h>
#include <wx/gauge.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/toplevel.h>
#include <wx/valnum.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "kvglobs.h"
#include "wxsGui.h"

namespace {

constexpr int PAGE_WIDTH = 525;         // client width of the control and help pages
constexpr int HELP_WRAP = PAGE_WIDTH - 25;
constexpr int BUTTON_WIDTH = 133;
constexpr int GAUGE_RANGE = 100;
// Starting width of the box and the gauges: their grid column takes what the fixed page width
// leaves beside the labels, which grow with the numbers shown.
const wxSize GROWING_SIZE(60, -1);
constexpr int PAGE_FONT_PLUS = 2;       // points added to the panel's font
constexpr int LABEL_FONT_PLUS = 3;
constexpr int HELP_FONT_PLUS = 1;
constexpr int FOOTER_FONT_PLUS = 2;
constexpr int FOOTER_SMALL_FONT_PLUS = 1;
constexpr uint32_t BYTES_PER_KB = 1024;

const wxColour PAGE_BG("#eeeeee");
const wxColour HELP_TEXT_FG("#111111");
const wxColour FOOTER_BG("#444444");
const wxColour FOOTER_FG("#e0e0e0");
const wxColour SEPARATOR_BG("#c0c0c0");

const char* const VERSION_TEXT = "Version: " KV_VERSION;
const char* const DECODE_FAILED_TEXT = "Decode failed";

constexpr int NUMSTRS = 5;
const char* const helpText[NUMSTRS] = {
    "1. Optionally connect or disconnect the target device. By default the probe keeps the device "
    "disconnected from the host until sampling starts, which makes problems of the USB start-up "
    "easier to debug.",
    "2. Set the buffer size. USB traffic is stored in compressed form, so a few MBytes is "
    "typical; sizes above 100 MBytes risk running short of memory.",
    "3. Click on the Run button. This starts the Sniffer. The progress display will update a few "
    "times per second. ",
    "4. Captured data is kept in compressed form and is decompressed when the capture buffer is "
    "full.",
    "Press the Stop button to interrupt USB sniffing. Captured data will still be decompressed.",
};

/// The footer's note on a capture that ended early; empty for one that filled or was stopped.
std::string captureEndNote(TcaptureEnd end) {
  switch (end) {
    case TcaptureEnd::readError:
      return "Capture ended early: read error";
    case TcaptureEnd::unplugged:
      return "Capture ended early: probe unplugged";
    case TcaptureEnd::noMemory:
      return hardwareStatusMsg(HW_STATUS_NO_MEMORY);
    default:
      return "";
  }
}

wxFont enlarged(const wxFont& base, int points) {
  wxFont f(base);
  f.SetPointSize(base.GetPointSize() + points);
  return f;
}

/// The buffer-size box's validator. It keeps the integer validator's key filtering and range,
/// but leaves the text alone when the box loses focus: the page writes the box as num2str does
/// ("2_048"), which the toolkit's own normalisation cannot read and would empty, turning the
/// next Start into the smallest buffer.
class TbufferValidator : public wxIntegerValidator<unsigned int> {
 public:
  TbufferValidator(unsigned int* value, int style) : wxIntegerValidator<unsigned int>(value, style) {}
  wxObject* Clone() const override { return new TbufferValidator(*this); }

 protected:
  wxString NormalizeString(const wxString& s) const override { return s; }

  // The toolkit's key filter parses the text as it would be after the key, and cannot read the
  // '_' that num2str puts between digit groups: every digit typed into "2_048" would be refused.
  // It judges the text without those separators instead, so a digit is taken wherever it goes
  // (the value is the digits, as wxstr2num reads them); its other rules stay as they are.
  bool IsCharOk(const wxString& val, int pos, wxChar ch) const override {
    wxString digits;
    int digitsPos = pos;
    for (size_t i = 0; i < val.length(); ++i) {
      if (val[i] != '_')
        digits += val[i];
      else if (static_cast<int>(i) < pos)
        --digitsPos;
    }
    return wxIntegerValidator<unsigned int>::IsCharOk(digits, digitsPos, ch);
  }
};

/// Width of the widest text a progress label can show: the count of the largest capture buffer
/// with every digit drawn as the font's widest one, or the failed-decode text.
int widestProgressText(const wxWindow* label) {
  wxChar widest = '0';
  for (wxChar d = '0'; d <= '9'; ++d)
    if (label->GetTextExtent(wxString(d)).x > label->GetTextExtent(wxString(widest)).x)
      widest = d;
  wxString text = wxString::FromUTF8(num2str(uint64_t{MAX_BUFFER_KB} * BYTES_PER_KB) + " Bytes");
  for (size_t i = 0; i < text.length(); ++i)
    if (text[i] >= '0' && text[i] <= '9')
      text[i] = widest;
  return std::max(label->GetTextExtent(text).x, label->GetTextExtent(DECODE_FAILED_TEXT).x);
}

}  // namespace

std::string hardwareStatusMsg(int status) {
  switch (status) {
    case HW_STATUS_OK:
      return "Hardware Initialized OK";
    case HW_STATUS_NOT_FOUND:
      return "Sniffer hardware not found";
    case HW_STATUS_INIT_FAILED:
      return "Hardware initialization failed";
    case HW_STATUS_NO_MEMORY:
      return "Memory allocation failed";
    default:
      return "Unexpected Problem during initialization.";
  }
}

uint32_t wxstr2num(const wxString& text) {
  constexpr uint64_t LIMIT = std::numeric_limits<uint32_t>::max();
  uint64_t value = 0;
  for (wxUniChar c : text) {
    if (c < '0' || c > '9')
      continue;
    value = value * 10 + static_cast<uint64_t>(c.GetValue() - '0');
    if (value > LIMIT)  // stays above every maximum from here on
      return static_cast<uint32_t>(LIMIT);
  }
  return static_cast<uint32_t>(value);
}

std::string num2str(uint64_t value) {
  const std::string digits = std::to_string(value);
  std::string out;
  out.reserve(digits.size() + digits.size() / 3);
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0)
      out += '_';
    out += digits[i];
  }
  return out;
}

unsigned percentOf(uint64_t part, uint64_t whole) {
  if (part == 0)
    return 0;
  if (part >= whole)
    return 100;
  const float ratio = static_cast<float>(static_cast<double>(part) / static_cast<double>(whole));
  return static_cast<unsigned>(ratio * 100.0f + 0.5f);
}

uint32_t clampBufferKB(uint32_t n, uint32_t maxKB) {
  return std::max(std::min({n, maxKB, MAX_BUFFER_KB}), MIN_BUFFER_KB);
}

// ---------------------------------------------------------------------------------------------

TctlPage::TctlPage(wxWindow* parent, wxFont& font)
    : wxPanel(parent, ID_CTL_PAGE, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      baseFont(&font) {
  SetBackgroundColour(PAGE_BG);
  SetMinClientSize(wxSize(PAGE_WIDTH, -1));
  SetMaxClientSize(wxSize(PAGE_WIDTH, -1));
  SetFont(enlarged(*baseFont, PAGE_FONT_PLUS));

  auto* top = new wxBoxSizer(wxVERTICAL);

  top->Add(myLabel("(Optional) Connect/Disconnect"), 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);
  connectBtn = hBtn("Connect", true, ID_CONNECT_BTN, BUTTON_WIDTH);
  disconnBtn = hBtn("Disconnect", true, ID_DISCONN_BTN, BUTTON_WIDTH);
  auto* connectRow = new wxBoxSizer(wxHORIZONTAL);
  connectRow->AddStretchSpacer();
  connectRow->Add(connectBtn, 0, wxALL, 10);
  connectRow->Add(disconnBtn, 0, wxALL, 10);
  connectRow->AddStretchSpacer();
  top->Add(connectRow, 0, wxALIGN_CENTER_HORIZONTAL);
  top->Add(new ThBorder(this), 0, wxEXPAND | wxALL, 5);

  top->Add(myLabel("Buffer"), 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);
  auto* bufferGrid = new wxFlexGridSizer(3, 5, 5);
  bufferGrid->AddGrowableCol(1, 1);
  bufferBox = new wxTextCtrl(this, wxID_ANY, wxEmptyString, wxDefaultPosition, GROWING_SIZE, wxTE_RIGHT);
  TbufferValidator validator(&bufferKB, wxNUM_VAL_THOUSANDS_SEPARATOR);
  validator.SetRange(1, std::min(_G.maxBufferKB, MAX_BUFFER_KB));
  bufferBox->SetValidator(validator);
  bufferGrid->Add(new wxStaticText(this, wxID_ANY, "Buffer Size"), 0, wxALIGN_RIGHT | wxALIGN_CENTER_VERTICAL);
  bufferGrid->Add(bufferBox, 1, wxEXPAND);
  bufferGrid->Add(new wxStaticText(this, wxID_ANY, "KBytes"), 0, wxALIGN_LEFT | wxALIGN_CENTER_VERTICAL);
  addProgressRow(bufferGrid, acqGauge, acqLabel, "0 Bytes");
  top->Add(bufferGrid, 0, wxEXPAND | wxBOTTOM, 3);
  top->Add(new ThBorder(this), 0, wxEXPAND | wxALL, 5);

  top->Add(myLabel("Decompress"), 0, wxLEFT | wxRIGHT | wxBOTTOM, 5);
  auto* decodeGrid = new wxFlexGridSizer(3, 5, 5);
  decodeGrid->AddGrowableCol(1, 1);
  addProgressRow(decodeGrid, decGauge, decLabel, "0%");
  top->Add(decodeGrid, 0, wxEXPAND | wxBOTTOM, 3);
  // The progress texts grow with their numbers and the page is laid out again on every tick:
  // their column takes the width of the widest text from the start, so the box and the gauges
  // keep their widths while a capture runs.
  for (wxStaticText* text : {acqLabel, decLabel})
    text->SetMinSize(wxSize(widestProgressText(text), -1));

  top->AddStretchSpacer();
  top->Add(new ThBorder(this), 0, wxEXPAND | wxALL, 5);

  cancelBtn = hBtn("Cancel", true, wxID_CANCEL, BUTTON_WIDTH);
  startBtn = hBtn("Start", true, ID_START_BTN, BUTTON_WIDTH);
  okBtn = hBtn("OK", false, wxID_OK, BUTTON_WIDTH);
  auto* buttonRow = new wxBoxSizer(wxHORIZONTAL);
  buttonRow->AddStretchSpacer();
  buttonRow->Add(cancelBtn, 0, wxALL, 10);
  buttonRow->AddStretchSpacer();
  buttonRow->Add(startBtn, 0, wxALL, 10);
  buttonRow->AddStretchSpacer();
  buttonRow->Add(okBtn, 0, wxALL, 10);
  buttonRow->AddStretchSpacer();
  top->Add(buttonRow, 0, wxEXPAND);
  SetSizer(top);

  connectBtn->Bind(wxEVT_BUTTON, &TctlPage::onConnectBtn, this);
  disconnBtn->Bind(wxEVT_BUTTON, &TctlPage::onDisconnBtn, this);
  startBtn->Bind(wxEVT_BUTTON, &TctlPage::onStartStop, this);
  okBtn->Bind(wxEVT_BUTTON, &TctlPage::onOK, this);
  cancelBtn->Bind(wxEVT_BUTTON, &TctlPage::onCancel, this);
}

// Members go in reverse order: the decode pipeline first, then the capture thread object, whose
// destruction ends the capture thread and waits for it.
TctlPage::~TctlPage() = default;

wxButton* TctlPage::hBtn(const wxString& label, bool enabled, int id, int width) {
  auto* b = new wxButton(this, id, label, wxDefaultPosition, wxSize(width, -1));
  b->Enable(enabled);
  return b;
}

void TctlPage::addProgressRow(wxFlexGridSizer* grid, wxGauge*& gauge, wxStaticText*& text, const char* start) {
  auto* cell = new wxBoxSizer(wxHORIZONTAL);  // the word sits at the right of its cell
  cell->AddStretchSpacer();
  cell->Add(new wxStaticText(this, wxID_ANY, "Progress"), 0, wxALIGN_CENTER_VERTICAL);
  grid->Add(cell, 0, wxEXPAND);
  gauge = new wxGauge(this, wxID_ANY, GAUGE_RANGE, wxDefaultPosition, GROWING_SIZE, wxGA_HORIZONTAL);
  gauge->SetValue(GAUGE_RANGE);  // the first tick sets 0
  grid->Add(gauge, 1, wxEXPAND);
  text = new wxStaticText(this, wxID_ANY, start);
  grid->Add(text, 0, wxALIGN_LEFT | wxALIGN_CENTER_VERTICAL);
}

wxStaticText* TctlPage::myLabel(const wxString& text) {
  auto* label = new wxStaticText(this, wxID_ANY, text);
  label->SetFont(enlarged(*baseFont, LABEL_FONT_PLUS));
  return label;
}

void TctlPage::onConnectBtn(wxCommandEvent&) { bypassConnect(true); }
void TctlPage::onDisconnBtn(wxCommandEvent&) { bypassConnect(false); }
void TctlPage::onStartStop(wxCommandEvent&) { startPressed = true; }

void TctlPage::onOK(wxCommandEvent&) {
  if (auto* gui = dynamic_cast<TsnifferGui*>(wxWindow::FindWindowById(ID_SNIFFER_GUI)))
    gui->doExit(wxID_OK);
}

void TctlPage::onCancel(wxCommandEvent&) {
  if (auto* gui = dynamic_cast<TsnifferGui*>(wxWindow::FindWindowById(ID_SNIFFER_GUI)))
    gui->doExit(wxID_CANCEL);
}

void TctlPage::bypassConnect(bool on) { loThread.setConnect(on); }

void TctlPage::setStatusLine(std::string text) {
  if (auto* footer = dynamic_cast<Tfooter*>(wxWindow::FindWindowById(ID_FOOTER)))
    footer->setStatusStr(text);
}

void TctlPage::setIdLine(std::string text) {
  if (auto* footer = dynamic_cast<Tfooter*>(wxWindow::FindWindowById(ID_FOOTER)))
    footer->setIdStr(text);
}

void TctlPage::setAcqProgress(unsigned n) {
  const unsigned m = std::min(n, neededBytes);
  acqLabel->SetLabel(wxString::FromUTF8(num2str(m) + " Bytes"));
  acqGauge->SetValue(static_cast<int>(percentOf(m, neededBytes)));
  Layout();
}

void TctlPage::setDecProgress(unsigned n) {
  const uint64_t captured = loThread.getCaptureCount();
  const uint64_t m = std::min<uint64_t>(n, captured);
  const unsigned p = percentOf(m, captured);
  decLabel->SetLabel(decodeFailed ? wxString(DECODE_FAILED_TEXT) : wxString::FromUTF8(num2str(p) + "%"));
  decGauge->SetValue(static_cast<int>(p));
  Layout();
}

void TctlPage::enableButtons() {
  // Cancel is never changed; "keep" leaves OK as it was.
  struct Row {
    bool start;
    const char* label;
    bool box, connect, disconn;
    int ok;  // 1 on, 0 off, -1 keep
  };
  static const Row rows[] = {
      // OK keeps its state: the rows of a finished decode stay available when the probe goes.
      /* CTL_HW_ERROR  */ {false, "Start", true, false, false, -1},
      /* CTL_READY     */ {true, "Start", true, true, true, -1},
      /* CTL_CAPTURING */ {true, "Stop", false, false, false, -1},
      /* CTL_DECODING  */ {false, "Stop", false, false, false, -1},
      /* CTL_DONE      */ {true, "Start", true, true, true, 1},
  };
  if (state < CTL_HW_ERROR || state > CTL_DONE)
    return;  // CTL_INIT: the buttons keep their built states
  const Row& r = rows[state - CTL_HW_ERROR];
  startBtn->Enable(r.start);
  startBtn->SetLabel(r.label);
  bufferBox->Enable(r.box);
  connectBtn->Enable(r.connect);
  disconnBtn->Enable(r.disconn);
  if (r.ok >= 0)
    okBtn->Enable(r.ok == 1);
  keepKeyboardFocus();
}

void TctlPage::keepKeyboardFocus() {
  // GTK takes the keyboard focus away from a window that is disabled and gives it to none, and a
  // dialog without a focused window gets no key at all (Escape included) until Tab or a click.
  // Cancel is never disabled. When the dialog is not the active window no window has the focus
  // either; the dialog calls this again when it is activated.
  const wxWindow* focus = FindFocus();
  auto* top = dynamic_cast<wxTopLevelWindow*>(wxGetTopLevelParent(this));
  if (focus ? !focus->IsEnabled() : top && top->IsActive())
    cancelBtn->SetFocus();
}

void TctlPage::showHardware() {
  // Until the capture thread has ended its first initialisation pass (which loads the probe's
  // firmware and takes seconds) its status is only the initial "not found": the footer keeps
  // its "Initializing..." until then.
  if (!loThread.firstInitEnded())
    return;
  // A capture that ended early keeps its note in the status line until the next capture.
  setStatusLine(captureNote.empty() ? hardwareStatusMsg(shownStatus) : captureNote);
  setIdLine("Hardware Serial: " + loThread.getSerial());
  hardwareShown = true;
}

void TctlPage::refresh() {
  const int status = loThread.getHardwareStatus();
  // The capture thread reports a change only from an initialisation pass, so a capture of this
  // page whose done flag is up has ended before the change (the probe left mid-capture): its
  // bytes are decoded, not dropped.
  const bool captureEnded = state == CTL_CAPTURING && loThread.consumeDone();
  if (captureEnded)
    endCapture();
  // Also a decode whose end the page had not yet shown: OK hands over its rows all the same.
  const bool decodeEnded = captureEnded || (state == CTL_DECODING && exThread.getDone());
  shownStatus = status;
  showHardware();
  // The hardware changed under whatever the page was doing: withdraw requests the capture thread
  // has not taken up yet and drop a done flag of a capture the page no longer follows, so that
  // no capture runs, and none is decoded, that the page did not start from CTL_READY.
  if (state != CTL_INIT) {
    loThread.setRun(false);
    loThread.setStop(false);
    loThread.consumeDone();
  }
  state = status == HW_STATUS_OK ? CTL_READY : CTL_HW_ERROR;
  if (decodeEnded) {
    // The displays keep showing the capture that OK now hands over.
    setDecProgress(static_cast<unsigned>(exThread.getDecodedCount()));
    okBtn->Enable(true);
  } else {
    decodeFailed = false;
    acqLabel->SetLabel("0 Bytes");
    acqGauge->SetValue(0);
    decLabel->SetLabel("0%");
    decGauge->SetValue(0);
    Layout();
  }
  enableButtons();
}

void TctlPage::startCapture() {
  startPressed = false;
  bufferKB = clampBufferKB(wxstr2num(bufferBox->GetValue()), _G.maxBufferKB);
  bufferBox->ChangeValue(wxString::FromUTF8(num2str(bufferKB)));
  neededBytes = bufferKB * BYTES_PER_KB;
  decodeFailed = false;
  setAcqProgress(0);
  setDecProgress(0);
  // Only a ready probe gets here, so the status line's hardware text is that of HW_STATUS_OK.
  if (!captureNote.empty()) {
    captureNote.clear();
    setStatusLine(hardwareStatusMsg(HW_STATUS_OK));
  }
  // The capture thread is idle here: a done flag or stop request still pending belongs to an
  // earlier capture (a stop that came after its buffer filled would end this one at once).
  loThread.consumeDone();
  loThread.setStop(false);
  loThread.setNeeded(neededBytes);
  loThread.setRun(true);
  state = CTL_CAPTURING;
  enableButtons();
}

void TctlPage::endCapture() {
  setAcqProgress(static_cast<unsigned>(loThread.getCaptureCount()));
  decodeCapture();
  captureNote = captureEndNote(loThread.getCaptureEnd());
  if (!captureNote.empty())
    setStatusLine(captureNote);
}

void TctlPage::decodeCapture() {
  // startDecode empties the pipeline's views in place; keep the rows of the last decode so that
  // a decode that fails leaves them for OK.
  TrowVec events = std::move(*exThread.pEventVec());
  TrowVec roots = std::move(*exThread.pTreeRootVec());
  TlinRowVec lin = std::move(*exThread.pLinearRowVec());
  exThread.startDecode(loThread.pRawData(), loThread.getCaptureCount());
  decodeFailed = !exThread.getSucceeded();
  if (decodeFailed) {
    *exThread.pEventVec() = std::move(events);
    *exThread.pTreeRootVec() = std::move(roots);
    *exThread.pLinearRowVec() = std::move(lin);
  }
}

void TctlPage::onTick() {
  // Read before the hardware-changed flag, which the capture thread raises first: a first pass
  // that changed the status is then refreshed below, one that did not only needs its texts shown.
  const bool firstInitEnded = loThread.firstInitEnded();
  // Step A: refresh on the first tick and whenever the capture thread reports a change.
  if (state == CTL_INIT || loThread.consumeHardwareChanged())
    refresh();
  else if (!hardwareShown && firstInitEnded)
    showHardware();

  // Step B: by the state as it now stands.
  switch (state) {
    case CTL_READY:
      if (startPressed)
        startCapture();
      break;
    case CTL_CAPTURING:
      setAcqProgress(static_cast<unsigned>(loThread.getCaptureCount()));
      if (startPressed) {
        startPressed = false;
        loThread.setStop(true);
      }
      if (loThread.consumeDone()) {
        endCapture();
        state = CTL_DECODING;
        enableButtons();
      }
      break;
    case CTL_DECODING:
      setDecProgress(static_cast<unsigned>(exThread.getDecodedCount()));
      if (exThread.getDone()) {
        state = CTL_DONE;
        enableButtons();
      }
      break;
    case CTL_DONE:
      state = CTL_READY;
      enableButtons();
      break;
    default:  // CTL_INIT, CTL_HW_ERROR
      break;
  }
}

// ---------------------------------------------------------------------------------------------

ThelpPage::ThelpPage(wxWindow* parent, wxFont& font)
    : wxPanel(parent, ID_HELP_PAGE, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      baseFont(&font) {
  SetBackgroundColour(PAGE_BG);
  SetFont(enlarged(*baseFont, HELP_FONT_PLUS));
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  for (const char* paragraph : helpText) {
    auto* text = new wxStaticText(this, wxID_ANY, wxString::FromUTF8(paragraph));
    text->SetForegroundColour(HELP_TEXT_FG);
    text->Wrap(HELP_WRAP);
    sizer->Add(text, 0, wxALIGN_LEFT | wxLEFT | wxRIGHT | wxTOP, 10);
  }
  SetSizer(sizer);
}

Tfooter::Tfooter(wxWindow* parent, wxFont& font)
    : wxPanel(parent, ID_FOOTER, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER),
      baseFont(&font) {
  SetBackgroundColour(FOOTER_BG);
  SetForegroundColour(FOOTER_FG);
  SetFont(enlarged(*baseFont, FOOTER_FONT_PLUS));

  statusText = new wxStaticText(this, ID_STATUS_TEXT, "Initializing...");
  statusText->SetForegroundColour(FOOTER_FG);
  statusStr = statusText->GetLabel();

  const wxFont small = enlarged(*baseFont, FOOTER_SMALL_FONT_PLUS);
  idText = new wxStaticText(this, ID_SERIAL_TEXT, "Initializing...");
  idText->SetFont(small);
  idText->SetForegroundColour(FOOTER_FG);
  auto* version = new wxStaticText(this, ID_VERSION_TEXT, VERSION_TEXT);
  version->SetFont(small);
  version->SetForegroundColour(FOOTER_FG);

  auto* row = new wxBoxSizer(wxHORIZONTAL);
  row->Add(idText, 0);
  row->AddStretchSpacer();
  row->Add(version, 0);

  auto* sizer = new wxBoxSizer(wxVERTICAL);
  sizer->Add(statusText, 0, wxALIGN_CENTER_HORIZONTAL | wxTOP, 5);
  sizer->Add(row, 0, wxEXPAND | wxALL, 5);
  SetSizer(sizer);
}

void Tfooter::setStatusStr(const std::string& utf8) {
  statusStr = wxString::FromUTF8(utf8);
  statusText->SetLabel(statusStr);
  Layout();
}

void Tfooter::setIdStr(const std::string& utf8) {
  idText->SetLabel(wxString::FromUTF8(utf8));
  Layout();
}

ThBorder::ThBorder(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER) {
  SetBackgroundColour(SEPARATOR_BG);
  SetMinClientSize(wxSize(-1, 1));
  SetMaxClientSize(wxSize(-1, 1));
}
