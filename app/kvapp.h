// Application object of the desktop program: start-up settings and the main window.
#pragma once

#include <cstdint>

#include <wx/app.h>

class TmainFrame;

/// The program's wxApp: OnInit writes the start-up settings into _G, opens the main window
/// and shows it.
class TkvApp : public wxApp {
 public:
  /// Start-up values written into _G.
  static constexpr const char* APP_NAME = "Korvane Ostrel";
  static constexpr const char* SHORT_NAME = "Ostrel";
  static constexpr const char* HELP_FILE = "ostrel_help.html";
  static constexpr uint32_t MAX_BUFFER_KB = 67108864;

  ~TkvApp() override = default;

  /// False when wxWidgets' command-line handling ends the program; else true with the main
  /// window shown. Calls setUpSignals first.
  bool OnInit() override;
  /// The program's signal dispositions: SIGXFSZ is ignored, so that a save past the file size
  /// limit fails with EFBIG (the earlier file kept) instead of ending the program. Only the
  /// program sets this; the library leaves its client's signals alone.
  static void setUpSignals();
  /// Reports an exception that reached the event loop and ends the loop.
  bool OnExceptionInMainLoop() override;

  TmainFrame* mainFrame = nullptr;
};
