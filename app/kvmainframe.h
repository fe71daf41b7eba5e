// Main window: menus, the button bar, file dialogs, zoom, help and the about box.
#pragma once

#include <string>

#include <wx/aboutdlg.h>
#include <wx/button.h>
#include <wx/frame.h>
#include <wx/panel.h>

class MidPane;

// The main window's own command ids.
inline constexpr int ID_SOF = 6000;
inline constexpr int ID_NAK = 6001;
inline constexpr int ID_PACKETS = 6002;
inline constexpr int ID_ZOOM_IN = 6003;
inline constexpr int ID_ZOOM_OUT = 6004;
inline constexpr int ID_READ_DATA = 6005;
inline constexpr int ID_SAVE_DATA = 6006;
inline constexpr int ID_CAPTURE = 6007;

/// Zoom never makes the window font smaller than this.
inline constexpr int MIN_FONT_POINT_SIZE = 6;
/// Nor larger than this: beyond it every row bitmap grows until drawing fails.
inline constexpr int MAX_FONT_POINT_SIZE = 72;

/// The button bar across the top of the main window. Its buttons publish on the hub or toggle
/// the show flags of _G. GUI thread only.
class Ttoolbar : public wxPanel {
 public:
  Ttoolbar(wxWindow* parent, int id);
  ~Ttoolbar() override = default;

  /// Label texts of the three toggle buttons for the current flags.
  static const char* sofLabel();
  static const char* nakLabel();
  static const char* pktLabel();
  /// The help page's address: a file URL of the help file in the working directory, with the
  /// characters a URL cannot hold (spaces, "#", ...) escaped.
  static wxString helpAddress();

  void OnCapture(wxCommandEvent& event);
  void OnSOF(wxCommandEvent& event);
  void OnNAK(wxCommandEvent& event);
  void OnPacket(wxCommandEvent& event);
  void OnHelp(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);
  void OnZoomIn(wxCommandEvent& event);
  void OnZoomOut(wxCommandEvent& event);

  wxButton* captureButton;
  wxButton* sofButton;
  wxButton* nakButton;
  wxButton* packetsButton;
  wxButton* helpButton;
  wxButton* exitButton;
  wxButton* zoomInButton;
  wxButton* zoomOutButton;
};

/// A one-pixel rule under the button bar.
class ThLine : public wxPanel {
 public:
  explicit ThLine(wxWindow* parent);
  ~ThLine() override = default;
};

/// The program's main window: menu bar, button bar, rule and the pane layout below them.
/// Building it builds the panes, the row cache and the display data, and reads
/// "./default.kvd". GUI thread only.
class TmainFrame : public wxFrame {
 public:
  /// Client area of the window: this much smaller than the display's usable area.
  static constexpr int SCREEN_MARGIN = 64;
  /// Smallest client width (more when the toolbar needs more), and the height added to the
  /// toolbar's for the smallest client height.
  static constexpr int MIN_CLIENT_WIDTH = 650;
  static constexpr int MIN_CLIENT_HEIGHT_BELOW_BAR = 375;
  /// The sample file read at start, relative to the working directory.
  static constexpr const char* DEFAULT_SAMPLE_FILE = "./default.kvd";

  TmainFrame(wxFrame* parent, int id, const wxString& title, const wxPoint& pos,
             const wxSize& size);
  ~TmainFrame() override = default;

  /// msgZoom: one step larger (+1) or smaller (-1) for the window font and the tree.
  void zoom(int direction);
  /// Client size for a window of that client width on a display with that usable area.
  static wxSize clientSizeFor(int clientWidth, const wxRect& area);
  /// Publishes a path chosen in a file dialog on topic, in the locale's multibyte encoding.
  static void publishPath(int topic, const wxString& path);

  /// Name, version and description that the about box shows.
  static wxAboutDialogInfo aboutInfo();

  void OnFileRead(wxCommandEvent& event);
  void OnFileSave(wxCommandEvent& event);
  void OnCapture(wxCommandEvent& event);
  void OnAbout(wxCommandEvent& event);
  void OnExit(wxCommandEvent& event);
  void OnClose(wxCloseEvent& event);

  MidPane* midPane = nullptr;
  Ttoolbar* toolbar = nullptr;

 private:
  void fitToDisplay();
  void buildMenus();
  void reportDefaultFile();
};
