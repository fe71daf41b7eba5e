// Tests of the capture control page's number helpers, buffer-size rule and button table.
#include "wxsPanes.h"

#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/frame.h>
#include <wx/notebook.h>
#include <wx/textctrl.h>

#include <tuple>

#include "ctlpage_access.h"
#include "gui_env.h"
#include "kvglobs.h"
#include "wxsGui.h"

namespace {

using A = TctlPageTestAccess;

TEST(CaptureNumbers, ReadingSkipsEverythingButDigits) {
  EXPECT_EQ(wxstr2num("1_024"), 1024u);
  EXPECT_EQ(wxstr2num("1,024"), 1024u);
  EXPECT_EQ(wxstr2num("1 024 KB"), 1024u);
  EXPECT_EQ(wxstr2num("1.5"), 15u);
  EXPECT_EQ(wxstr2num(""), 0u);
  EXPECT_EQ(wxstr2num("KBytes"), 0u);
  EXPECT_EQ(wxstr2num(wxString::FromUTF8("２0４8")), 8u) << "only ASCII digits count";
  EXPECT_EQ(wxstr2num("4294967295"), 4294967295u);
  EXPECT_EQ(wxstr2num("4294967296"), 4294967295u);
  EXPECT_EQ(wxstr2num("99999999999999999999999999"), 4294967295u);
}

TEST(CaptureNumbers, WritingGroupsThreeDigitsWithUnderscores) {
  EXPECT_EQ(num2str(0), "0");
  EXPECT_EQ(num2str(999), "999");
  EXPECT_EQ(num2str(1000), "1_000");
  EXPECT_EQ(num2str(100000), "100_000");
  EXPECT_EQ(num2str(1234567), "1_234_567");
  EXPECT_EQ(num2str(4294967295u), "4_294_967_295");
  EXPECT_EQ(wxstr2num(num2str(2097152)), 2097152u);
}

TEST(CaptureNumbers, Percentages) {
  EXPECT_EQ(percentOf(0, 0), 0u);
  EXPECT_EQ(percentOf(0, 12345), 0u);
  EXPECT_EQ(percentOf(7, 7), 100u);
  EXPECT_EQ(percentOf(1, 3), 33u);
  EXPECT_EQ(percentOf(2, 3), 67u);
  EXPECT_EQ(percentOf(995, 1000), 100u);
  EXPECT_EQ(percentOf(994, 1000), 99u);
  EXPECT_EQ(percentOf(1, 200), 1u);
  EXPECT_EQ(percentOf(1, 201), 0u);
  EXPECT_EQ(percentOf(9, 4), 100u) << "more than the whole shows 100";
  EXPECT_EQ(percentOf(uint64_t{1} << 40, uint64_t{1} << 41), 50u);
}

TEST(CaptureNumbers, BufferSizeClamp) {
  EXPECT_EQ(clampBufferKB(0, 67108864), 4u);  // empty box
  EXPECT_EQ(clampBufferKB(3, 67108864), 4u);
  EXPECT_EQ(clampBufferKB(4, 67108864), 4u);
  EXPECT_EQ(clampBufferKB(2048, 67108864), 2048u);
  EXPECT_EQ(clampBufferKB(1000, 128), 128u);
  EXPECT_EQ(clampBufferKB(4294967295u, 128), 128u);
  EXPECT_EQ(clampBufferKB(4194301, 67108864), 4194301u);
  EXPECT_EQ(clampBufferKB(4194302, 67108864), 4194301u);
  EXPECT_EQ(clampBufferKB(4294967295u, 67108864), 4194301u);
  EXPECT_EQ(clampBufferKB(100, 2), 4u) << "the minimum wins over a maximum below it";
  // The largest size still fits the capture thread's 32-bit size with its 2048-byte front pad.
  EXPECT_LE(uint64_t{MAX_BUFFER_KB} * 1024 + 2048, uint64_t{UINT32_MAX});
  EXPECT_GT(uint64_t{MAX_BUFFER_KB + 1} * 1024 + 2048, uint64_t{UINT32_MAX});
}

TEST(CaptureNumbers, HardwareStatusTexts) {
  EXPECT_EQ(hardwareStatusMsg(0), "Hardware Initialized OK");
  EXPECT_EQ(hardwareStatusMsg(-1), "Sniffer hardware not found");
  EXPECT_EQ(hardwareStatusMsg(-2), "Hardware initialization failed");
  EXPECT_EQ(hardwareStatusMsg(-5), "Memory allocation failed");
  for (int other : {-3, -4, 1, -6})
    EXPECT_EQ(hardwareStatusMsg(other), "Unexpected Problem during initialization.");
}

/// A control page on a frame of its own (no probe: the capture thread finds none).
class CtlPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = new wxFrame(nullptr, wxID_ANY, "page");
    page = new TctlPage(frame, font);
  }
  void TearDown() override { delete frame; }
  wxFont font = *wxNORMAL_FONT;
  wxFrame* frame = nullptr;
  TctlPage* page = nullptr;
};

TEST_F(CtlPageTest, BuiltStatesAndFixedWidth) {
  EXPECT_EQ(page->getState(), TctlPage::CTL_INIT);
  EXPECT_EQ(page->GetId(), 7004);
  EXPECT_EQ(page->getBufferKB(), 32u);
  EXPECT_EQ(page->getNeededBytes(), 32768u);
  EXPECT_TRUE(A::connect(*page)->IsEnabled());
  EXPECT_TRUE(A::disconn(*page)->IsEnabled());
  EXPECT_TRUE(A::start(*page)->IsEnabled());
  EXPECT_TRUE(A::cancel(*page)->IsEnabled());
  EXPECT_FALSE(A::ok(*page)->IsEnabled());
  EXPECT_EQ(A::start(*page)->GetLabel(), "Start");
  EXPECT_EQ(A::start(*page)->GetSize().x, 133);
  EXPECT_EQ(page->GetMinClientSize().x, 525);
  EXPECT_EQ(page->GetMaxClientSize().x, 525);
  EXPECT_EQ(page->GetFont().GetPointSize(), font.GetPointSize() + 2);
}

TEST_F(CtlPageTest, EnableButtonsFollowsTheStateTable) {
  struct Expect {
    int state;
    bool start;
    const char* label;
    bool box, connect, disconn;
    int okFromOff, okFromOn;  // OK after the call when it was off / on before (1 on, 0 off)
  };
  const Expect table[] = {
      {TctlPage::CTL_HW_ERROR, false, "Start", true, false, false, 0, 1},  // OK keeps the last rows
      {TctlPage::CTL_READY, true, "Start", true, true, true, 0, 1},
      {TctlPage::CTL_CAPTURING, true, "Stop", false, false, false, 0, 1},
      {TctlPage::CTL_DECODING, false, "Stop", false, false, false, 0, 1},
      {TctlPage::CTL_DONE, true, "Start", true, true, true, 1, 1},
  };
  for (const Expect& e : table)
    for (bool okBefore : {false, true}) {
      SCOPED_TRACE(testing::Message() << "state " << e.state << ", OK before " << okBefore);
      A::setState(*page, e.state);
      A::ok(*page)->Enable(okBefore);
      page->enableButtons();
      EXPECT_EQ(A::start(*page)->IsEnabled(), e.start);
      EXPECT_EQ(A::start(*page)->GetLabel(), e.label);
      EXPECT_EQ(A::box(*page)->IsEnabled(), e.box);
      EXPECT_EQ(A::connect(*page)->IsEnabled(), e.connect);
      EXPECT_EQ(A::disconn(*page)->IsEnabled(), e.disconn);
      EXPECT_EQ(A::ok(*page)->IsEnabled(), (okBefore ? e.okFromOn : e.okFromOff) == 1);
      EXPECT_TRUE(A::cancel(*page)->IsEnabled());
    }

  // CTL_INIT changes nothing at all.
  A::start(*page)->Enable(false);
  A::start(*page)->SetLabel("Stop");
  A::box(*page)->Enable(false);
  A::ok(*page)->Enable(true);
  A::setState(*page, TctlPage::CTL_INIT);
  page->enableButtons();
  EXPECT_FALSE(A::start(*page)->IsEnabled());
  EXPECT_EQ(A::start(*page)->GetLabel(), "Stop");
  EXPECT_FALSE(A::box(*page)->IsEnabled());
  EXPECT_TRUE(A::ok(*page)->IsEnabled());
}

}  // namespace

namespace {

std::vector<wxStaticText*> textsOf(wxWindow* w) {
  std::vector<wxStaticText*> out;
  for (wxWindow* child : w->GetChildren())
    if (auto* t = dynamic_cast<wxStaticText*>(child))
      out.push_back(t);
  return out;
}

TEST(CaptureDialogLayout, TitleIdsTextsAndColours) {
  auto* dialog = new TcaptureDialogInner();
  EXPECT_EQ(dialog->GetTitle(), "USB Packet Sniffer");
  EXPECT_FALSE(dialog->HasFlag(wxRESIZE_BORDER));
  EXPECT_EQ(dialog->GetMinClientSize(), dialog->GetMaxClientSize());

  auto* notebook = dynamic_cast<wxNotebook*>(dialog->FindWindow(7002));
  ASSERT_NE(notebook, nullptr);
  ASSERT_EQ(notebook->GetPageCount(), 2u);
  EXPECT_EQ(notebook->GetPageText(0), "Control");
  EXPECT_EQ(notebook->GetPageText(1), "Help");
  EXPECT_EQ(notebook->GetSelection(), 0);
  EXPECT_EQ(notebook->GetPage(0)->GetId(), 7004);
  EXPECT_EQ(notebook->GetPage(1)->GetId(), 7003);
  EXPECT_EQ(dialog->FindWindow(7001)->GetBackgroundColour(), wxColour("#f0f0f0"));

  const std::pair<int, const char*> labels[] = {
      {7006, "Connect"}, {7007, "Disconnect"}, {7008, "Start"}, {wxID_OK, "OK"}, {wxID_CANCEL, "Cancel"},
      {7010, "Initializing..."}, {7011, "Initializing..."}, {7012, "Version: 1.0.8"}};
  for (const auto& [id, text] : labels) {
    wxWindow* w = dialog->FindWindow(id);
    ASSERT_NE(w, nullptr) << id;
    EXPECT_EQ(w->GetLabel(), text);
  }

  wxWindow* footer = dialog->FindWindow(7005);
  const int base = dialog->FindWindow(7001)->GetFont().GetPointSize();
  EXPECT_EQ(footer->GetBackgroundColour(), wxColour("#444444"));
  EXPECT_EQ(dialog->FindWindow(7010)->GetForegroundColour(), wxColour("#e0e0e0"));
  EXPECT_EQ(dialog->FindWindow(7010)->GetFont().GetPointSize(), base + 2);
  EXPECT_EQ(dialog->FindWindow(7011)->GetFont().GetPointSize(), base + 1);

  wxWindow* help = notebook->GetPage(1);
  EXPECT_EQ(help->GetBackgroundColour(), wxColour("#eeeeee"));
  const auto paragraphs = textsOf(help);
  ASSERT_EQ(paragraphs.size(), 5u);
  auto unwrapped = [&](size_t i) {  // wrapping at 500 pixels turned blanks into line breaks
    wxString text = paragraphs[i]->GetLabel();
    text.Replace("\n", " ");
    return text;
  };
  for (size_t i = 0; i < 4; ++i)
    EXPECT_EQ(unwrapped(i).Left(3), wxString::Format("%zu. ", i + 1));
  EXPECT_EQ(unwrapped(2),
            "3. Click on the Run button. This starts the Sniffer. The progress display will update a few times per second. ");
  EXPECT_EQ(unwrapped(4), "Press the Stop button to interrupt USB sniffing. Captured data will still be decompressed.");
  for (wxStaticText* p : paragraphs) {
    EXPECT_LE(p->GetSize().x, 500);
    EXPECT_EQ(p->GetForegroundColour(), wxColour("#111111"));
    EXPECT_EQ(p->GetFont().GetPointSize(), base + 1);
  }
  delete dialog;
}

TEST(CaptureDialogLayout, BoxAndGaugeKeepTheirWidthsAsTheByteCountGrows) {
  auto* dialog = new TcaptureDialogInner();
  dialog->Show();
  auto* page = dynamic_cast<TctlPage*>(dialog->FindWindow(ID_CTL_PAGE));
  ASSERT_NE(page, nullptr);
  // Let the dialog refit itself once its windows exist on screen.
  kvtest::runLoopUntil([] { return false; }, 300);
  A::setNeededBytes(*page, 4194304);
  auto widths = [&](unsigned bytes) {
    page->setAcqProgress(bytes);
    kvtest::runLoopUntil([] { return false; }, 50);
    return std::make_tuple(A::acqLabel(*page)->GetLabel(), A::box(*page)->GetRect(), A::acqGauge(*page)->GetRect());
  };
  const auto [textAt0, boxAt0, gaugeAt0] = widths(0);
  const auto [textAtFull, boxAtFull, gaugeAtFull] = widths(4194304);
  EXPECT_EQ(textAt0, "0 Bytes");
  EXPECT_EQ(textAtFull, "4_194_304 Bytes");
  EXPECT_EQ(boxAt0.width, gaugeAt0.width);
  EXPECT_EQ(boxAtFull.width, gaugeAtFull.width);
  EXPECT_EQ(boxAtFull.width, boxAt0.width) << "the box shrank";
  EXPECT_EQ(gaugeAtFull.width, gaugeAt0.width) << "the gauge shrank";
  EXPECT_EQ(boxAtFull.GetTopLeft(), boxAt0.GetTopLeft());
  EXPECT_EQ(gaugeAtFull.GetTopLeft(), gaugeAt0.GetTopLeft());
  EXPECT_GE(boxAtFull.width, 150) << "the box keeps room for its digits";
  // The count of the largest buffer still leaves them as they are, and fits inside the page.
  A::setNeededBytes(*page, MAX_BUFFER_KB * 1024);
  const auto [textAtMax, boxAtMax, gaugeAtMax] = widths(UINT32_MAX);
  EXPECT_EQ(textAtMax, "4_294_964_224 Bytes");
  EXPECT_EQ(boxAtMax, boxAt0);
  const wxStaticText* text = A::acqLabel(*page);
  EXPECT_LE(text->GetPosition().x + text->GetTextExtent(textAtMax).x, page->GetClientSize().x);
  delete dialog;
}

}  // namespace
