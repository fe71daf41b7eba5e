// Drives the capture dialog in headless tests: what a user sees in it and does to it, from
// inside its modal loop (events queued to its windows), and the run of one dialog.
#pragma once

#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <wx/dialog.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ctlpage_access.h"
#include "gui_env.h"
#include "kvcapture.h"
#include "kvglobs.h"
#include "kvrowutils.h"
#include "probesim_control.h"
#include "workloads.h"
#include "wxsGui.h"
#include "wxsPanes.h"

namespace captest {

using A = TctlPageTestAccess;
using kvtest::TuiScript;
using Clock = std::chrono::steady_clock;

/// A path of name that belongs to this test process alone. ctest runs the tests of one suite as
/// parallel processes: a stream file that one of them writes again while the simulator of another
/// reads it is read cut short, and that capture decodes fewer rows than the test expects.
inline std::string processFile(const std::string& name) {
  return ::testing::TempDir() + "kv" + std::to_string(getpid()) + "_" + name;
}
inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// ---- what the user sees ----
inline TctlPage* page() { return dynamic_cast<TctlPage*>(kvtest::findWindow(ID_CTL_PAGE)); }
inline int state() { return page() ? page()->getState() : -1; }
inline wxString label(int id) {
  wxWindow* w = kvtest::findWindow(id);
  return w ? w->GetLabel() : wxString("<no window>");
}
inline bool enabled(int id) {
  wxWindow* w = kvtest::findWindow(id);
  return w && w->IsEnabled();
}
inline wxString statusLine() { return label(ID_STATUS_TEXT); }
inline wxString serialLine() { return label(ID_SERIAL_TEXT); }
inline wxString acqText() { return page() ? A::acqLabel(*page())->GetLabel() : wxString(); }
inline wxString decText() { return page() ? A::decLabel(*page())->GetLabel() : wxString(); }
inline int acqGauge() { return page() ? A::acqGauge(*page())->GetValue() : -1; }
inline int decGauge() { return page() ? A::decGauge(*page())->GetValue() : -1; }
inline wxString boxText() { return page() ? A::box(*page())->GetValue() : wxString(); }
inline wxDialog* dialog() {
  wxWindow* gui = kvtest::findWindow(ID_SNIFFER_GUI);
  return gui ? dynamic_cast<wxDialog*>(gui->GetParent()) : nullptr;
}
/// A state value of the simulated probe's command bridge (names in probesim_cmd.h), found in the
/// loaded simulator; -1 when it is not there.
inline long probeState(const char* name) {
  using Fn = long (*)(int, const char*);
  static const auto fn = reinterpret_cast<Fn>(dlsym(RTLD_DEFAULT, "probesim_cmd_state"));
  return fn ? fn(0, name) : -1;
}

/// A condition that holds once ms have passed since it was first asked (a step that just waits).
inline TuiScript::Tcond afterMs(int ms) {
  auto since = std::make_shared<std::optional<Clock::time_point>>();
  return [since, ms] {
    if (!*since)
      *since = Clock::now();
    return Clock::now() - **since >= std::chrono::milliseconds(ms);
  };
}
inline bool hardwareOK() { return statusLine() == "Hardware Initialized OK" && state() == TctlPage::CTL_READY; }
inline bool okReady() { return enabled(wxID_OK) && state() == TctlPage::CTL_READY; }

// ---- what the user does (events queued to the windows, handled by the running modal loop) ----
inline void click(int id) { ASSERT_TRUE(kvtest::postButton(id)) << "no window " << id; }
inline void type(const wxString& text) {
  // Replaces the box's text the way typing does: the control's content and its text event.
  ASSERT_NE(page(), nullptr);
  A::box(*page())->SetValue(text);
}
inline void focusInAndOut() {
  wxTextCtrl* box = A::box(*page());
  for (wxEventType type : {wxEVT_SET_FOCUS, wxEVT_KILL_FOCUS}) {
    auto* e = new wxFocusEvent(type, box->GetId());
    e->SetEventObject(box);
    box->GetEventHandler()->QueueEvent(e);
  }
}
inline void pressEscape() {
  wxDialog* d = dialog();
  ASSERT_NE(d, nullptr);
  wxKeyEvent key(wxEVT_CHAR_HOOK);
  key.m_keyCode = WXK_ESCAPE;
  key.SetEventObject(d);
  d->GetEventHandler()->QueueEvent(key.Clone());
}
inline void closeWindow() {
  if (wxDialog* d = dialog()) {
    auto* e = new wxCloseEvent(wxEVT_CLOSE_WINDOW, d->GetId());
    e->SetEventObject(d);
    e->SetCanVeto(true);
    d->GetEventHandler()->QueueEvent(e);
  }
}

/// The rows of a flat list as row lines, one per row.
inline std::vector<std::string> rowLines(const std::shared_ptr<TlinRowVec>& lin) {
  std::vector<std::string> out;
  if (lin)
    for (const TlinRow& r : *lin)
      out.push_back(rowutils::toString(r.row));
  return out;
}

/// Fails at the first differing row, not with a wall of text.
inline void expectSameRows(const std::vector<std::string>& got, const std::vector<std::string>& want) {
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
    if (got[i] != want[i]) {
      ADD_FAILURE() << "row " << i << " differs:\n  got  " << got[i] << "\n  want " << want[i];
      return;
    }
  EXPECT_EQ(got.size(), want.size());
}

/// The dialog handed out the views of a decode pipeline that holds no rows.
inline void expectNoRows(const TcaptureDialog& d) {
  ASSERT_TRUE(d.linVec && d.treeVec && d.evtVec);
  EXPECT_TRUE(d.linVec->empty());
  EXPECT_TRUE(d.treeVec->empty());
  EXPECT_TRUE(d.evtVec->empty());
}

/// The checksum of the FPGA image the build carries: a probe with it needs no reprogramming.
inline constexpr const char* FPGA_CHECKSUM = "0x1D5E0257";

/// Scenario text of one probe with that serial that needs no FPGA update, open for more keys
/// of its section.
inline std::string probeScenario(const std::string& serial) {
  return "reenum_delay_ms = 300\n[probe]\nserial = " + serial + "\neeprom_checksum = " + FPGA_CHECKSUM + "\n";
}

/// Base of the dialog tests: the simulator is the libusb in use and the buffer limit is the
/// program's.
class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ProbeSimControl::loaded()) << "libusb in use is " << ProbeSimControl::libusbPath()
                                           << ", not the probe simulator";
    savedMaxKB = _G.maxBufferKB;
    _G.maxBufferKB = 67108864;  // as the program's start-up sets it
  }
  void TearDown() override { _G.maxBufferKB = savedMaxKB; }

  /// Loads a scenario and empties the simulator's log.
  static void scenario(const std::string& text) {
    ASSERT_EQ(ProbeSimControl::configure(text), "");
    ProbeSimControl::clearLog();
  }

  /// A probe that streams a short enumeration mix at 1 MiB/s from a file written to path.
  static void streamingProbe(const std::string& path) {
    writeBytes(path, usbenc::enumerationMix(20000, 3));
    scenario(probeScenario("KV-SIM-16") + "capture_file = " + path + "\ncapture_rate = 1048576\n");
  }

  /// Starts a user who captures the smallest buffer, waits for the decode and then leaves with
  /// button; the dialog is opened after this.
  static void captureThen(TuiScript& user, int button) {
    user.when("the probe initialised", hardwareOK,
              [] {
                type("4");
                click(ID_START_BTN);
              })
        .when("the decode finished", okReady, [button] { click(button); })
        .onTimeout(closeWindow);
    user.start();
  }

  /// Runs the dialog with the script acting inside its modal loop. A step that waits too long
  /// closes the dialog, so a failing test ends instead of hanging.
  std::unique_ptr<TcaptureDialog> run(TuiScript& script) {
    script.onTimeout(closeWindow);
    script.start();
    auto result = std::make_unique<TcaptureDialog>();
    EXPECT_EQ(script.failure(), "");
    EXPECT_TRUE(script.finished()) << "the dialog ended while waiting for: " << script.current();
    EXPECT_EQ(dialog(), nullptr) << "the dialog is gone";
    return result;
  }

  /// Count of simulator log lines that start with prefix.
  static size_t logCount(const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : ProbeSimControl::log())
      n += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return n;
  }

  uint32_t savedMaxKB = 0;
};

}  // namespace captest
