// Shared wx test environment of the GUI test executables: the wx app, asserts as failures, UI scripts.
#pragma once

#include <wx/event.h>
#include <wx/timer.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <wx/string.h>

#include <ostream>

class wxWindow;

/// Lets gtest print wxString values as text in failure messages.
inline void PrintTo(const wxString& s, std::ostream* os) { *os << '"' << s.utf8_str() << '"'; }

namespace kvtest {

/// Directory for files a person may look at after a run (screenshots); created on demand.
std::string artefactDir();

/// Copies what the window shows on screen into a PNG file in artefactDir(); returns its path,
/// or "" when the picture could not be taken.
std::string saveScreenshot(wxWindow* window, const std::string& name);

/// Runs the wx event loop (outside any modal loop) until pred holds or timeoutMs passed; returns pred().
bool runLoopUntil(const std::function<bool()>& pred, int timeoutMs);

/// Posts a button click to the button with that window id, as a user's click would arrive.
/// False when there is no such window.
bool postButton(int id);

/// Finds a window by id among all top-level windows; null when there is none.
wxWindow* findWindow(int id);

/// A scripted user: a list of steps, each waiting for a condition and then acting, run by a
/// timer from whatever event loop is running (a modal dialog's included), so a test can set it
/// up before it calls something that blocks in ShowModal. When a step waits past its deadline
/// the script records the failure and runs the bail-out action (for example closing the dialog).
class TuiScript : public wxEvtHandler {
 public:
  using Tcond = std::function<bool()>;
  using Tact = std::function<void()>;
  /// How long a step waits by default: a guard against hangs, wide enough for sanitizer builds
  /// on a loaded machine.
  static constexpr int DEFAULT_STEP_TIMEOUT_MS = 60000;

  explicit TuiScript(int periodMs = 20);
  ~TuiScript() override;

  /// Adds a step: wait until cond holds (at most timeoutMs from when the step begins), then act.
  TuiScript& when(const std::string& what, Tcond cond, Tact act = {}, int timeoutMs = DEFAULT_STEP_TIMEOUT_MS);
  /// Adds a step that only acts.
  TuiScript& then(const std::string& what, Tact act) { return when(what, [] { return true; }, std::move(act)); }
  /// Action run once when a step times out.
  TuiScript& onTimeout(Tact act) { bail = std::move(act); return *this; }
  /// Starts the timer; the steps run from the event loop.
  void start();

  bool finished() const { return next == steps.size(); }
  /// Empty, or "timed out waiting for: <what>".
  const std::string& failure() const { return failed; }
  /// Name of the step being waited for ("" when finished).
  std::string current() const { return finished() ? "" : steps[next].what; }

 private:
  struct Step {
    std::string what;
    Tcond cond;
    Tact act;
    int timeoutMs;
  };
  void onTimer(wxTimerEvent&);

  std::vector<Step> steps;
  size_t next = 0;
  std::chrono::steady_clock::time_point stepStart;
  bool stepStarted = false;
  wxTimer timer;
  int period;
  Tact bail;
  std::string failed;
  bool inStep = false;
};

}  // namespace kvtest
