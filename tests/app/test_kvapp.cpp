// Tests of the application start-up: settings after OnInit, the main window and its icon.
#include "kvapp.h"

#include <gtest/gtest.h>
#include <wx/image.h>

#include <cstring>

#include "desk_helpers.h"
#include "gui_env.h"
#include "kvglobs.h"
#include "kvicon.xpm"
#include "kvmainframe.h"

namespace {

TEST(Application, OnInitWritesTheSettingsAndShowsTheMainWindow) {
  kvtest::TdeskScope scope;
  const TkvGlobs before = _G;
  wxAppConsole* testApp = wxApp::GetInstance();
  auto* app = new TkvApp;
  ASSERT_TRUE(app->OnInit());
  wxApp::SetInstance(testApp);

  EXPECT_STREQ(_G.appName, "Korvane Ostrel");
  EXPECT_STREQ(_G.shortName, "Ostrel");
  EXPECT_STREQ(_G.helpFile, "ostrel_help.html");
  EXPECT_EQ(_G.maxBufferKB, 67108864u);
  EXPECT_EQ(_G.fontPointSize, 12);
  EXPECT_FALSE(_G.showSOF);
  EXPECT_FALSE(_G.showNAK);
  EXPECT_TRUE(_G.showPackets);

  ASSERT_NE(app->mainFrame, nullptr);
  EXPECT_TRUE(app->mainFrame->IsShown());
  EXPECT_EQ(app->mainFrame->GetTitle(), "Korvane Ostrel");
  ASSERT_EQ(app->mainFrame->GetIcons().GetIconCount(), 1u);
  EXPECT_EQ(app->mainFrame->GetIcons().GetIconByIndex(0).GetWidth(), 48);

  delete app->mainFrame;
  delete app;
  wxApp::SetInstance(testApp);
  _G.appName = before.appName;
  _G.shortName = before.shortName;
  _G.helpFile = before.helpFile;
  _G.maxBufferKB = before.maxBufferKB;
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
