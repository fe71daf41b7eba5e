// Tests of the application start-up: settings after OnInit, the main window and its icon.
#include "kvapp.h"

#include <gtest/gtest.h>
#include <wx/image.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "desk_helpers.h"
#include "gui_env.h"
#include "kvglobs.h"
#include "kvicon.xpm"
#include "kvmainframe.h"
#include "sw_sniff/child_helpers.h"
#include "sw_sniff/pipe_helpers.h"

namespace {

/// OnInit run as the program runs it; the object deletes the window and the application again
/// and puts back the settings that OnInit wrote.
class TstartedApp {
 public:
  TstartedApp() : before(_G), testApp(wxApp::GetInstance()), app(new TkvApp) {
    started = app->OnInit();
    wxApp::SetInstance(testApp);
  }
  ~TstartedApp() {
    delete app->mainFrame;
    delete app;
    wxApp::SetInstance(testApp);
    _G.appName = before.appName;
    _G.shortName = before.shortName;
    _G.helpFile = before.helpFile;
    _G.maxBufferKB = before.maxBufferKB;
  }
  TstartedApp(const TstartedApp&) = delete;
  TstartedApp& operator=(const TstartedApp&) = delete;

  const TkvGlobs before;
  wxAppConsole* const testApp;
  TkvApp* const app;
  bool started = false;
};

TEST(Application, OnInitWritesTheSettingsAndShowsTheMainWindow) {
  kvtest::TdeskScope scope;
  TstartedApp run;
  ASSERT_TRUE(run.started);

  EXPECT_STREQ(_G.appName, "Korvane Ostrel");
  EXPECT_STREQ(_G.shortName, "Ostrel");
  EXPECT_STREQ(_G.helpFile, "ostrel_help.html");
  EXPECT_EQ(_G.maxBufferKB, 67108864u);
  EXPECT_EQ(_G.fontPointSize, 12);
  EXPECT_FALSE(_G.showSOF);
  EXPECT_FALSE(_G.showNAK);
  EXPECT_TRUE(_G.showPackets);

  TkvApp* app = run.app;
  ASSERT_NE(app->mainFrame, nullptr);
  EXPECT_TRUE(app->mainFrame->IsShown());
  EXPECT_EQ(app->mainFrame->GetTitle(), "Korvane Ostrel");
  ASSERT_EQ(app->mainFrame->GetIcons().GetIconCount(), 1u);
  EXPECT_EQ(app->mainFrame->GetIcons().GetIconByIndex(0).GetWidth(), 48);
}

// With the program's own set-up, a save past the file size limit (ulimit -f) fails instead of
// ending the program: the earlier file stays byte for byte and no temporary file is left. The
// save runs in a child process, as File, Save data runs it: through the hub to the display data.
TEST(Application, SaveBeyondTheFileSizeLimitLeavesTheProgramAndTheEarlierFile) {
  constexpr rlim_t SIZE_LIMIT = 4096;
  kvtest::TdeskScope scope;
  ASSERT_GT(kvtest::writeCapture("cp2110_serial_over_hid_ut612.raw", "default.kvd"), 0u);
  ASSERT_GT(std::filesystem::file_size("default.kvd"), SIZE_LIMIT);
  ASSERT_TRUE(kvtest::writeResets("keep.kvd", 3));
  const std::string earlier = kvtest::readFile("keep.kvd");
  TstartedApp run;
  ASSERT_TRUE(run.started);

  const auto result = kvtest::runInChild(
      [] {
        const rlimit limit{SIZE_LIMIT, SIZE_LIMIT};
        setrlimit(RLIMIT_FSIZE, &limit);
        _G.pub(msgSampleFileSave, reinterpret_cast<long>("keep.kvd"));
        return std::string("alive");
      },
      std::chrono::seconds(60));
  EXPECT_EQ(result, std::optional<std::string>("alive")) << "the save ended the program";
  EXPECT_TRUE(kvtest::readFile("keep.kvd") == earlier) << "the earlier file was changed";
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(".")) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"default.kvd", "keep.kvd", "scripts"}));
}

TEST(Application, IconIs48By48With77Colours) {
  int width = 0, height = 0, colours = 0, chars = 0;
  ASSERT_EQ(std::sscanf(kvicon_xpm[0], "%d %d %d %d", &width, &height, &colours, &chars), 4);
  EXPECT_EQ(width, 48);
  EXPECT_EQ(height, 48);
  EXPECT_EQ(colours, 77);
  EXPECT_EQ(chars, 1);
  const wxImage image(kvicon_xpm);
  ASSERT_TRUE(image.IsOk());
  EXPECT_EQ(image.GetWidth(), 48);
  EXPECT_EQ(image.CountColours(), 77u);  // 76 drawn and the transparent one
}

}  // namespace
