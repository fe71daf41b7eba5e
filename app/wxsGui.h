// The capture dialog's window and its panel: notebook with the control and help pages, footer, timer.
#pragma once

#include <wx/dialog.h>
#include <wx/panel.h>
#include <wx/timer.h>

#include <memory>

#include "kvdataio.h"
#include "kvgroup.h"

class TctlPage;
class ThelpPage;
class Tfooter;
class TexThread;

/// Window ids of the capture dialog's parts.
enum : int {
  ID_SNIFFER_GUI = 7001,  ///< the panel TsnifferGui
  ID_NOTEBOOK = 7002,
  ID_HELP_PAGE = 7003,
  ID_CTL_PAGE = 7004,
  ID_FOOTER = 7005,
  ID_CONNECT_BTN = 7006,
  ID_DISCONN_BTN = 7007,
  ID_START_BTN = 7008,
  ID_STATUS_TEXT = 7010,
  ID_SERIAL_TEXT = 7011,
  ID_VERSION_TEXT = 7012,
};

/// Period of the timer that drives the control page, in milliseconds.
inline constexpr int TICK_INTERVAL = 300;

/// The panel filling the capture dialog. Owns the timer that calls the control page's onTick
/// every TICK_INTERVAL while the dialog's modal loop runs. GUI thread only.
class TsnifferGui : public wxPanel {
 public:
  explicit TsnifferGui(wxWindow* parent);
  ~TsnifferGui() override;

  void onTick();
  /// Stops and deletes the timer; nothing when it is already gone.
  void killTimer();
  /// Stops the timer, then ends the modal loop of the parent dialog with code (when there is one).
  void doExit(int code);
  TexThread& exThreadRef();
  TctlPage* controlPage() const { return ctlPage; }

 private:
  wxTimer* timer = nullptr;
  TctlPage* ctlPage = nullptr;
  ThelpPage* helpPage = nullptr;
  Tfooter* footer = nullptr;
};

/// The capture dialog "USB Packet Sniffer": a top-level window of fixed size holding the panel.
class TcaptureDialogInner : public wxDialog {
 public:
  TcaptureDialogInner();

  /// Close box or window manager: stops the timer and ends the modal loop with wxID_CANCEL.
  void OnCloseWindow(wxCloseEvent& event);

  /// Copies of the views that the control page hands out (the last decode that succeeded).
  std::shared_ptr<TrowVec> pevtVec();
  std::shared_ptr<TrowVec> ptreeVec();
  std::shared_ptr<TlinRowVec> plinVec();

  TsnifferGui* snifferGui() const { return gui; }

 private:
  /// Fits the dialog to its contents and freezes that client size, centred on the screen.
  void fitToContents();

  TsnifferGui* gui = nullptr;
  bool refitted = false;
};
