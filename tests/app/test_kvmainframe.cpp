// Tests of the main window: toolbar toggles, zoom, sizes, help address, file dialogs, start-up file.
#include "kvmainframe.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wx/display.h>
#include <wx/filefn.h>
#include <wx/filesys.h>
#include <wx/splitter.h>
#include <wx/testing.h>

#include <clocale>
#include <filesystem>
#include <functional>
#include <fstream>
#include <vector>

#include "desk_helpers.h"
#include "gui_env.h"
#include "kvdecode.h"
#include "kvdispldata.h"
#include "kvdpane.h"
#include "kvtree.h"
#include "kvwxmid.h"

namespace {

using kvtest::TdeskScope;

// Answers a file dialog with a path, as a user choosing that file would. The native dialog takes
// the path in asynchronously, so the answer waits until the dialog reports it back.
class TexpectFile : public wxExpectModal<wxFileDialog> {
 public:
  explicit TexpectFile(const wxString& path) : wxExpectModal<wxFileDialog>(path) {}

 protected:
  int OnInvoked(wxFileDialog* dialog) const override {
    dialog->SetPath(m_path);
    kvtest::runLoopUntil([&] { return dialog->GetPath() == m_path; }, 5000);
    return m_id;
  }
};

class MainWindow : public ::testing::Test {
 protected:
  void TearDown() override { destroy(); }

  // A destroyed window's subscriptions leave the hub with it.
  void destroy() {
    delete frame;
    frame = nullptr;
    scope.restoreHub();
  }
  void build() {
    frame = new TmainFrame(nullptr, wxID_ANY, "main", wxPoint(50, 50), wxSize(1400, 500));
    frame->Show();
  }
  TdisplData& data() { return frame->midPane->treePane->midPane->rowCache.rData(); }
  void click(wxButton* button) {
    wxCommandEvent event(wxEVT_BUTTON, button->GetId());
    event.SetEventObject(button);
    button->GetEventHandler()->ProcessEvent(event);
  }

  TdeskScope scope;
  TmainFrame* frame = nullptr;
};

TEST_F(MainWindow, ToggleButtonsRelabelAndPublishOnceEach) {
  build();
  Ttoolbar* bar = frame->toolbar;
  EXPECT_EQ(bar->captureButton->GetLabel(), "Capture");
  EXPECT_EQ(bar->sofButton->GetLabel(), "Show SOFs");
  EXPECT_EQ(bar->nakButton->GetLabel(), "Show NAKs");
  EXPECT_EQ(bar->packetsButton->GetLabel(), "Hide Packets");
  for (wxButton* zoom : {bar->zoomInButton, bar->zoomOutButton})
    EXPECT_EQ(zoom->GetSize(), wxSize(bar->captureButton->GetSize().y, bar->captureButton->GetSize().y));
  int published = 0;
  _G.sub(msgVisRowsChanged, [&](long) { ++published; });

  click(bar->sofButton);
  EXPECT_EQ(bar->sofButton->GetLabel(), "Hide SOFs");
  EXPECT_TRUE(_G.showSOF);
  EXPECT_EQ(published, 1);
  click(bar->sofButton);
  EXPECT_EQ(bar->sofButton->GetLabel(), "Show SOFs");
  EXPECT_FALSE(_G.showSOF);
  EXPECT_EQ(published, 2);
  click(bar->nakButton);
  EXPECT_EQ(bar->nakButton->GetLabel(), "Hide NAKs");
  EXPECT_EQ(published, 3);
  click(bar->packetsButton);
  EXPECT_EQ(bar->packetsButton->GetLabel(), "Show Packets");
  EXPECT_FALSE(_G.showPackets);
  EXPECT_EQ(published, 4);
}

TEST_F(MainWindow, ZoomStepsGrowWithTheSizeAndStopAtSixAndSeventyTwoPoints) {
  build();
  TreeMidPane* tree = frame->midPane->treePane->midPane;
  const int startRowHt = tree->rowHt;
  EXPECT_EQ(frame->GetFont().GetPointSize(), 12);
  for (int expected : {14, 16, 19, 22, 26}) {
    click(frame->toolbar->zoomInButton);
    EXPECT_EQ(frame->GetFont().GetPointSize(), expected);
    EXPECT_EQ(tree->rowCache.rowFont().GetPointSize(), expected);
  }
  EXPECT_GT(tree->rowHt, startRowHt);

  wxFont font = frame->GetFont();
  font.SetPointSize(12);
  frame->SetFont(font);
  for (int expected : {10, 8, 6, 6}) {
    click(frame->toolbar->zoomOutButton);
    EXPECT_EQ(frame->GetFont().GetPointSize(), expected);
    EXPECT_EQ(tree->rowCache.rowFont().GetPointSize(), expected);  // 6 passed on again
  }

  // Up to 72 points and no further; the row height stays what 72 points need.
  font.SetPointSize(62);
  frame->SetFont(font);
  for (int expected : {72, 72}) {
    click(frame->toolbar->zoomInButton);
    EXPECT_EQ(frame->GetFont().GetPointSize(), expected);
    EXPECT_EQ(tree->rowCache.rowFont().GetPointSize(), expected);
  }
  const int rowHtAt72 = tree->rowHt;
  for (int i = 0; i < 40; ++i) click(frame->toolbar->zoomInButton);
  EXPECT_EQ(frame->GetFont().GetPointSize(), 72);
  EXPECT_EQ(tree->rowHt, rowHtAt72);
  click(frame->toolbar->zoomOutButton);
  EXPECT_EQ(frame->GetFont().GetPointSize(), 58);
}

TEST_F(MainWindow, SizesFollowTheDisplayAndTheMinimum) {
  // The display's usable area less 64 in height; in width only when the window is wider.
  EXPECT_EQ(TmainFrame::clientSizeFor(1384, wxRect(0, 0, 1600, 1200)), wxSize(1384, 1136));
  EXPECT_EQ(TmainFrame::clientSizeFor(1384, wxRect(0, 30, 1024, 738)), wxSize(960, 674));
  build();
  const int barWidth = frame->toolbar->GetBestSize().GetWidth();
  EXPECT_EQ(frame->GetMinClientSize(), wxSize(std::max(650, barWidth), frame->toolbar->GetSize().GetHeight() + 375));
  const wxRect area = wxDisplay(0u).GetClientArea();
  EXPECT_LE(frame->GetClientSize().x, area.width - 64);
  EXPECT_LE(frame->GetClientSize().y, area.height - 64);

  // Made as small as it goes, the window still shows every button whole at its own width.
  frame->SetClientSize(1, 1);
  Ttoolbar* bar = frame->toolbar;
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return frame->GetClientSize().x < 1000; }, 5000));
  kvtest::runLoopUntil([] { return false; }, 200);
  EXPECT_GE(frame->GetClientSize().x, 650);
  for (wxButton* b : {bar->captureButton, bar->sofButton, bar->nakButton, bar->packetsButton, bar->helpButton,
                      bar->exitButton, bar->zoomInButton, bar->zoomOutButton}) {
    EXPECT_GE(b->GetSize().x, b->GetBestSize().x) << b->GetLabel();
    EXPECT_LE(b->GetRect().GetRight(), bar->GetClientSize().x) << b->GetLabel();
  }
}

TEST_F(MainWindow, SashesStartWithTheRightColumnAndRawPaneAtTheirSizes) {
  build();
  std::vector<wxSplitterWindow*> splitters;
  std::function<void(wxWindow*)> find = [&](wxWindow* w) {
    if (auto* s = dynamic_cast<wxSplitterWindow*>(w)) splitters.push_back(s);
    for (wxWindow* c : w->GetChildren()) find(c);
  };
  find(frame->midPane);
  ASSERT_EQ(splitters.size(), 2u);
  wxSplitterWindow* main = splitters[0];
  wxSplitterWindow* right = splitters[1];
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return main->GetClientSize().x > 800 && right->GetClientSize().y > 500; }, 5000));
  kvtest::runLoopUntil([] { return false; }, 200);
  EXPECT_EQ(main->GetSashPosition(), main->GetClientSize().x - 420);
  EXPECT_EQ(right->GetSashPosition(), right->GetClientSize().y - 220);
  EXPECT_EQ(main->GetMinimumPaneSize(), 300);
  EXPECT_EQ(right->GetMinimumPaneSize(), 200);
  EXPECT_EQ(main->GetWindow1(), frame->midPane->treePane);
  EXPECT_EQ(right->GetWindow1(), frame->midPane->decodePane);
  EXPECT_EQ(right->GetWindow2(), frame->midPane->dataPane);

  // A finished sash move of either splitter is published once.
  int published = 0;
  _G.sub(msgSplitterChanged, [&](long) { ++published; });
  for (wxSplitterWindow* s : {main, right}) {
    wxSplitterEvent event(wxEVT_SPLITTER_SASH_POS_CHANGED, s);
    event.SetSashPosition(s->GetSashPosition());
    s->GetEventHandler()->ProcessEvent(event);
  }
  EXPECT_EQ(published, 2);
}

// A working directory with a space and a "#": the address is a well-formed file URL that
// turns back into the help file's path.
TEST_F(MainWindow, HelpAddressIsAFileURLOfTheHelpFileInTheWorkingDirectory) {
  const std::filesystem::path dir = scope.dir / "my docs #2";
  std::filesystem::create_directory(dir);
  std::filesystem::current_path(dir);
  const char* old = _G.helpFile;
  _G.helpFile = "ostrel_help.html";
  const wxString address = Ttoolbar::helpAddress();
  _G.helpFile = old;
  EXPECT_TRUE(address.StartsWith("file:///")) << address;
  EXPECT_FALSE(address.StartsWith("file:////")) << address;
  EXPECT_FALSE(address.Contains(" ") || address.Contains("#")) << address;
  EXPECT_EQ(wxFileSystem::URLToFileName(address).GetFullPath(), wxGetCwd() + "/ostrel_help.html") << address;
}

TEST_F(MainWindow, AboutBoxTexts) {
  const char* old = _G.shortName;
  _G.shortName = "Ostrel";
  const wxAboutDialogInfo info = TmainFrame::aboutInfo();
  _G.shortName = old;
  EXPECT_EQ(info.GetName(), "Ostrel");
  EXPECT_EQ(info.GetVersion(), "1.0.8");
  EXPECT_EQ(info.GetDescription(), " \nThe Capture and Display interface to the Ostrel USB Protocol Analyzer.");
}

TEST_F(MainWindow, MissingOrDamagedDefaultFileStartsEmptyWithAMessage) {
  // Builds the window and expects no rows and the message on standard error.
  auto startsEmptySaying = [&](const std::string& message) {
    testing::internal::CaptureStderr();
    build();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(data().rowCount(), 0);
    EXPECT_NE(err.find(message), std::string::npos) << err;
    destroy();
  };
  startsEmptySaying("./default.kvd not found");
  std::ofstream("default.kvd") << "KVFMT01\n99999\nthis is not a row\n";
  startsEmptySaying("./default.kvd holds no readable rows");
  // A FIFO would block the start for ever: it is a file that holds no readable rows.
  std::filesystem::remove("default.kvd");
  ASSERT_EQ(mkfifo("default.kvd", 0600), 0);
  startsEmptySaying("./default.kvd holds no readable rows");
  std::filesystem::remove("default.kvd");

  ASSERT_TRUE(kvtest::writeResets("default.kvd", 3));
  testing::internal::CaptureStderr();
  build();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(data().rowCount(), 3);
  EXPECT_EQ(err.find("default.kvd"), std::string::npos) << err;
}

TEST_F(MainWindow, NonAsciiSampleFilePathSavesAndReadsBackThroughTheFileDialogs) {
  const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  ASSERT_TRUE(kvtest::writeResets("default.kvd", 7));
  build();
  ASSERT_EQ(data().rowCount(), 7);

  const wxString path = wxString::FromUTF8((scope.dir / "Messung Größe µs ✓.kvd").string());
  wxCommandEvent event(wxEVT_MENU);
  wxTEST_DIALOG(frame->OnFileSave(event), TexpectFile(path));
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::u8path(path.utf8_string())));

  ASSERT_TRUE(kvtest::writeResets("other.kvd", 2));
  kvtest::readSampleFile("other.kvd");
  ASSERT_EQ(data().rowCount(), 2);
  wxTEST_DIALOG(frame->OnFileRead(event), TexpectFile(path));
  EXPECT_EQ(data().rowCount(), 7);
  std::setlocale(LC_ALL, oldLocale.c_str());
}

TEST_F(MainWindow, ExitButtonDestroysTheWindowWithoutAsking) {
  build();
  click(frame->toolbar->exitButton);
  EXPECT_TRUE(frame->IsBeingDeleted() || wxPendingDelete.Member(frame));
  wxTheApp->ProcessIdle();
  EXPECT_FALSE(wxPendingDelete.Member(frame));
  frame = nullptr;
  scope.restoreHub();
}

}  // namespace

namespace {

TEST(MainWindowPaths, PathsReachTheSubscribersInTheLocalesEncoding) {
  kvtest::TdeskScope scope;
  const std::string oldLocale = std::setlocale(LC_ALL, nullptr);
  const wxString path = wxString::FromUTF8("/tmp/Größe ✓.kvd");
  std::vector<std::string> seen;
  _G.sub(msgSampleFileRead, [&](long arg) { seen.emplace_back(reinterpret_cast<const char*>(arg)); });

  ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  TmainFrame::publishPath(msgSampleFileRead, path);
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  // ASCII cannot hold it: the path goes as the file system names it, never as an empty text.
  TmainFrame::publishPath(msgSampleFileRead, path);
  std::setlocale(LC_ALL, oldLocale.c_str());

  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], "/tmp/Gr\xc3\xb6\xc3\x9f" "e \xe2\x9c\x93.kvd");
  EXPECT_EQ(seen[1], seen[0]);
}

}  // namespace
