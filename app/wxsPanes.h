// The capture dialog's pages and parts: control page, help page, footer, separator, number helpers.
#pragma once

#include <wx/font.h>
#include <wx/panel.h>
#include <wx/string.h>

#include <cstdint>
#include <string>

#include "kvexthrd.h"
#include "kvlothrd.h"

class wxButton;
class wxFlexGridSizer;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

/// Text shown for a hardware status code of the capture thread.
std::string hardwareStatusMsg(int status);

/// Reads the digits of text as one unsigned number, skipping every other character
/// ("1_024", "1,024" and "1 024 KB" read 1024; no digit reads 0). A value beyond 32 bits reads
/// as the largest 32-bit value.
uint32_t wxstr2num(const wxString& text);

/// Decimal digits with '_' between groups of three from the right (1234567 -> "1_234_567").
std::string num2str(uint64_t value);

/// Part of a whole in percent: 0 for no part, 100 for all of it (or more), otherwise the ratio
/// in single precision times 100 rounded half up (1 of 3 -> 33, 995 of 1000 -> 100).
unsigned percentOf(uint64_t part, uint64_t whole);

/// Largest capture buffer in KBytes: its byte count plus the capture thread's 2048-byte front pad
/// still fits in 32 bits.
inline constexpr uint32_t MAX_BUFFER_KB = 4194301;
/// Smallest capture buffer in KBytes.
inline constexpr uint32_t MIN_BUFFER_KB = 4;

/// The buffer size a Start uses for the number n read from the box: at most maxKB and
/// MAX_BUFFER_KB, then at least MIN_BUFFER_KB.
uint32_t clampBufferKB(uint32_t n, uint32_t maxKB);

/// The "Control" tab: connect and disconnect, buffer size, Start/Stop, progress, OK and Cancel.
/// Owns the capture thread object (started when the page is built) and the decode pipeline
/// object; onTick, called every 300 ms by the dialog's panel, takes every step of a capture.
/// GUI thread only.
class TctlPage : public wxPanel {
 public:
  enum State : int {
    CTL_INIT = 0,      ///< built, no tick yet
    CTL_HW_ERROR = 1,  ///< the capture thread reports a status other than HW_STATUS_OK
    CTL_READY = 2,     ///< probe ready, no capture running
    CTL_CAPTURING = 3, ///< a capture runs on the capture thread
    CTL_DECODING = 4,  ///< the captured bytes have been decoded; waiting one tick for the done flag
    CTL_DONE = 5,      ///< a decode has finished; OK becomes available
  };

  TctlPage(wxWindow* parent, wxFont& font);
  ~TctlPage() override;

  /// One step of the page's state machine.
  void onTick();
  /// The decode pipeline; after a failed decode its views hold the last successful decode again.
  TexThread& exThreadRef() { return exThread; }
  /// Enable states and the Start/Stop label for the current state.
  void enableButtons();
  void setAcqProgress(unsigned n);
  void setDecProgress(unsigned n);
  /// Shows text in the footer's status / serial line (found by window id); nothing without footer.
  void setStatusLine(std::string text);
  void setIdLine(std::string text);
  /// Connects (true) or disconnects the target device through the probe.
  void bypassConnect(bool on);
  /// Gives Cancel the keyboard focus when the focused window is disabled, or when none has it
  /// while the dialog is active.
  void keepKeyboardFocus();

  int getState() const { return state; }
  uint32_t getBufferKB() const { return bufferKB; }
  uint32_t getNeededBytes() const { return neededBytes; }

 private:
  friend struct TctlPageTestAccess;

  wxButton* hBtn(const wxString& label, bool enabled, int id, int width);
  wxStaticText* myLabel(const wxString& text);
  /// One grid row: "Progress" at the right of its cell, a gauge, and its text.
  void addProgressRow(wxFlexGridSizer* grid, wxGauge*& gauge, wxStaticText*& text, const char* start);
  void onConnectBtn(wxCommandEvent&);
  void onDisconnBtn(wxCommandEvent&);
  void onStartStop(wxCommandEvent&);
  void onOK(wxCommandEvent&);
  void onCancel(wxCommandEvent&);
  void refresh();
  /// Shows the status of the last refresh and the serial in the footer, once the capture thread
  /// has ended its first initialisation pass.
  void showHardware();
  void startCapture();
  /// The page's capture has ended (its done flag taken): shows its count, decodes it and notes
  /// in the footer why it ended early.
  void endCapture();
  void decodeCapture();

  int state = CTL_INIT;
  wxFont* baseFont = nullptr;
  wxTextCtrl* bufferBox = nullptr;
  wxStaticText* acqLabel = nullptr;
  wxStaticText* decLabel = nullptr;
  wxGauge* acqGauge = nullptr;
  wxGauge* decGauge = nullptr;
  wxButton* connectBtn = nullptr;
  wxButton* disconnBtn = nullptr;
  wxButton* startBtn = nullptr;
  wxButton* okBtn = nullptr;
  wxButton* cancelBtn = nullptr;
  bool startPressed = false;
  TloThread loThread;
  TexThread exThread;
  uint32_t bufferKB = 32;
  uint32_t neededBytes = 32 * 1024;
  /// The last decode failed: the decompression text says so instead of a percentage.
  bool decodeFailed = false;
  /// Hardware status read by the last refresh.
  int shownStatus = HW_STATUS_NOT_FOUND;
  /// The footer shows the hardware status (it says "Initializing..." until then).
  bool hardwareShown = false;
  /// Why the last capture ended early, shown in the footer's status line until the next capture
  /// (empty when it filled its buffer or was stopped).
  std::string captureNote;
};

/// The "Help" tab: five paragraphs on how a capture is made.
class ThelpPage : public wxPanel {
 public:
  ThelpPage(wxWindow* parent, wxFont& font);

 private:
  wxFont* baseFont = nullptr;
};

/// The dialog's footer: hardware status line, hardware serial line and version text.
class Tfooter : public wxPanel {
 public:
  Tfooter(wxWindow* parent, wxFont& font);
  void setStatusStr(const std::string& utf8);
  void setIdStr(const std::string& utf8);
  const wxString& getStatusStr() const { return statusStr; }

 private:
  wxFont* baseFont = nullptr;
  wxStaticText* statusText = nullptr;
  wxStaticText* idText = nullptr;
  wxString statusStr;
};

/// A one-pixel horizontal separator line that takes the width its sizer gives it.
class ThBorder : public wxPanel {
 public:
  explicit ThBorder(wxWindow* parent);
};
