// Shared wx test environment of the GUI test executables: the wx app, asserts as failures, UI scripts.
#include "gui_env.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/toplevel.h>

#include <filesystem>
#include <memory>

namespace {

void assertAsFailure(const wxString& file, int line, const wxString& func, const wxString& cond,
                     const wxString& msg) {
  ADD_FAILURE_AT(file.utf8_str(), line)
      << "wx assertion in " << func.utf8_str() << ": " << cond.utf8_str() << " " << msg.utf8_str();
}

/// One wx application for the whole executable: started before the first test, cleaned up
/// after the last.
class TguiEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    wxApp::SetInstance(new wxApp);
    int argc = 1;
    static char name[] = "kvguitest";
    char* argv[] = {name, nullptr};
    ASSERT_TRUE(wxEntryStart(argc, argv)) << "wxWidgets did not start (is DISPLAY set? run under xvfb-run)";
    wxTheApp->SetExitOnFrameDelete(false);
    wxInitAllImageHandlers();
    wxSetAssertHandler(assertAsFailure);
  }
  void TearDown() override {
    wxSetAssertHandler(nullptr);
    wxEntryCleanup();
  }
};

const auto* registered = ::testing::AddGlobalTestEnvironment(new TguiEnvironment);

}  // namespace

namespace kvtest {

std::string artefactDir() {
  const std::string dir = KV_TEST_ARTEFACT_DIR;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  return dir;
}

std::string saveScreenshot(wxWindow* window, const std::string& name) {
  if (!window)
    return "";
  window->Update();
  const wxSize size = window->GetSize();
  if (size.x <= 0 || size.y <= 0)
    return "";
  wxBitmap bitmap(size);
  {
    wxWindowDC source(window);
    wxMemoryDC target(bitmap);
    if (!target.Blit(0, 0, size.x, size.y, &source, 0, 0))
      return "";
  }
  const std::string path = artefactDir() + "/" + name + ".png";
  return bitmap.SaveFile(path, wxBITMAP_TYPE_PNG) ? path : "";
}

bool runLoopUntil(const std::function<bool()>& pred, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  wxEventLoopBase* loop = wxEventLoopBase::GetActive();
  std::unique_ptr<wxEventLoopBase> own;
  if (!loop) {
    own = std::make_unique<wxGUIEventLoop>();
    wxEventLoopBase::SetActive(own.get());
    loop = own.get();
  }
  bool ok = pred();
  while (!ok && std::chrono::steady_clock::now() < end) {
    loop->DispatchTimeout(10);
    wxTheApp->ProcessPendingEvents();
    ok = pred();
  }
  if (own)
    wxEventLoopBase::SetActive(nullptr);
  return ok;
}

wxWindow* findWindow(int id) {
  for (wxWindow* top : wxTopLevelWindows)
    if (wxWindow* w = top->FindWindow(id))
      return w;
  return nullptr;
}

bool postButton(int id) {
  wxWindow* button = findWindow(id);
  if (!button)
    return false;
  auto* event = new wxCommandEvent(wxEVT_BUTTON, id);
  event->SetEventObject(button);
  button->GetEventHandler()->QueueEvent(event);
  return true;
}

TuiScript::TuiScript(int periodMs) : timer(this), period(periodMs) {
  Bind(wxEVT_TIMER, &TuiScript::onTimer, this);
}

TuiScript::~TuiScript() { timer.Stop(); }

TuiScript& TuiScript::when(const std::string& what, Tcond cond, Tact act, int timeoutMs) {
  steps.push_back(Step{what, std::move(cond), std::move(act), timeoutMs});
  return *this;
}

void TuiScript::start() { timer.Start(period); }

void TuiScript::onTimer(wxTimerEvent&) {
  // An action may run a nested event loop (a message box): do not re-enter the script then.
  if (inStep || !failed.empty())
    return;
  inStep = true;
  while (next < steps.size()) {
    Step& step = steps[next];
    if (!stepStarted) {
      stepStart = std::chrono::steady_clock::now();
      stepStarted = true;
    }
    if (!step.cond()) {
      if (std::chrono::steady_clock::now() - stepStart > std::chrono::milliseconds(step.timeoutMs)) {
        failed = "timed out waiting for: " + step.what;
        timer.Stop();
        if (bail)
          bail();
      }
      break;
    }
    ++next;
    stepStarted = false;
    if (step.act)
      step.act();
  }
  if (finished())
    timer.Stop();
  inStep = false;
}

}  // namespace kvtest
