// Tests of the raw data pane: the dump texts and their styles.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/frame.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include "app/gui_env.h"
#include "kvdpane.h"
#include "kvglobs.h"
#include "kvwxmid.h"
#include "sw_sniff/pipe_helpers.h"

namespace {

const std::string HEADER = "\n\n      0  1  2  3  4  5  6  7  01234567";

class DataPane : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = new wxFrame(nullptr, wxID_ANY, "raw data", wxDefaultPosition, wxSize(700, 500));
    pane = new TdataPane(frame, 4242);
    frame->Show();
  }
  void TearDown() override { delete frame; }

  std::string shown(const std::vector<uint8_t>& data) {
    pane->renderPacket(data);
    return pane->textCtrl->GetValue().utf8_string();
  }
  wxTextAttr styleAt(long pos) {
    wxTextAttr attr;
    EXPECT_TRUE(pane->textCtrl->GetStyle(pos, attr)) << pos;
    return attr;
  }

  wxFrame* frame = nullptr;
  TdataPane* pane = nullptr;
};

}  // namespace

TEST_F(DataPane, CaptionAndTextControl) {
  EXPECT_EQ(pane->GetId(), 4242);
  const auto& children = pane->GetChildren();
  ASSERT_EQ(children.size(), 2u);
  auto* title = dynamic_cast<TitlePane*>(children[0]);
  ASSERT_NE(title, nullptr);
  wxStaticText* caption = nullptr;
  for (wxWindow* w : title->GetChildren()) caption = caption ? caption : dynamic_cast<wxStaticText*>(w);
  ASSERT_NE(caption, nullptr);
  EXPECT_EQ(caption->GetLabelText(), "Raw Data");
  EXPECT_EQ(children[1], pane->textCtrl);
  EXPECT_FALSE(pane->textCtrl->IsEditable());
  EXPECT_EQ(pane->textCtrl->GetValue(), "");
}

TEST_F(DataPane, NoDataAndItsStyle) {
  EXPECT_EQ(shown({}), " No Data");
  const wxTextAttr a = styleAt(1);
  EXPECT_EQ(a.GetFont().GetPointSize(), _G.fontPointSize + 2);
  EXPECT_EQ(a.GetTextColour(), *wxBLACK);
}

TEST_F(DataPane, OneFullLineWithEveryKindOfByte) {
  // Printable limits, controls, DEL and bytes above 0x7f; hex digits lowercase.
  EXPECT_EQ(shown({0x00, 0x1f, 0x20, 0x41, 0x7e, 0x7f, 0xab, 0xff}),
            " 8 bytes" + HEADER + "\n 00: 00 1f 20 41 7e 7f ab ff  .. A~...");
  // The count line in the larger proportional font, header and dump bold at the base size.
  const wxTextAttr count = styleAt(2);
  EXPECT_EQ(count.GetFont().GetPointSize(), _G.fontPointSize + 2);
  EXPECT_NE(count.GetFont().GetWeight(), wxFONTWEIGHT_BOLD);
  for (long pos : {12L, 60L}) {
    const wxTextAttr dump = styleAt(pos);
    EXPECT_EQ(dump.GetFont().GetPointSize(), _G.fontPointSize) << pos;
    EXPECT_EQ(dump.GetFont().GetWeight(), wxFONTWEIGHT_BOLD) << pos;
    EXPECT_EQ(dump.GetTextColour(), *wxBLACK) << pos;
  }
  long from = -1, to = -1;
  pane->textCtrl->GetSelection(&from, &to);
  EXPECT_EQ(from, 0);
  EXPECT_EQ(to, 0);
}

TEST_F(DataPane, PartialLinesAreBlankPadded) {
  // One-digit offsets are zero-filled like the byte columns.
  EXPECT_EQ(shown({0, 1, 2, 3, 4, 5, 6, 7, 8}),
            " 9 bytes" + HEADER + "\n 00: 00 01 02 03 04 05 06 07  ........" +
                "\n 08: 08" + std::string(7 * 3 + 2, ' ') + ".");
  EXPECT_EQ(shown({0x41, 0x00, 0x7f}),
            " 3 bytes" + HEADER + "\n 00: 41 00 7f" + std::string(15, ' ') + "  A..");
  // A second row replaces the whole text.
  EXPECT_EQ(shown({}), " No Data");
}

TEST_F(DataPane, ThreeHundredBytesTakeThreeDigitOffsetsFrom0x100) {
  std::vector<uint8_t> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  std::string expected = " 300 bytes" + HEADER;
  for (size_t line = 0; line < 38; ++line) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "\n %02zx:", line * 8);
    expected += buf;
    std::string chars;
    for (size_t i = line * 8; i < line * 8 + 8; ++i) {
      if (i < data.size()) {
        std::snprintf(buf, sizeof buf, " %02x", data[i]);
        chars += data[i] >= 0x20 && data[i] <= 0x7e ? static_cast<char>(data[i]) : '.';
      }
      expected += i < data.size() ? buf : "   ";
    }
    expected += "  " + chars;
  }
  const std::string text = shown(data);
  EXPECT_EQ(text, expected) << kvtest::firstDifference(expected, text);
  const std::string last = "\n 128: 28 29 2a 2b" + std::string(4 * 3 + 2, ' ') + "()*+";
  for (const std::string& line : {std::string("\n f8: f8 f9 fa fb fc fd fe ff  ........\n"),
                                  std::string("\n 100: 00 01 02 03 04 05 06 07  ........\n"), last})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

// A transfer of 192 KB reads back whole, and its lines go into the control in a few insertions
// rather than one per line (each insertion is a change the control lays out and reports).
TEST_F(DataPane, A192KBDumpReadsBackWholeFromFewInsertions) {
  std::vector<uint8_t> data(192 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 256);
  int changes = 0;
  pane->textCtrl->Bind(wxEVT_TEXT, [&](wxCommandEvent&) { ++changes; });
  const std::string text = shown(data);
  EXPECT_LE(changes, 6);

  const auto lines = kvtest::splitLines(text);
  ASSERT_EQ(lines.size(), 3 + data.size() / 8);  // count line, empty line, header, dump lines
  EXPECT_EQ(lines[0], " 196608 bytes");
  EXPECT_EQ("\n\n" + lines[2], HEADER);
  const auto dumpLine = [&](size_t line) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " %02zx:", line * 8);
    std::string s = buf, chars;
    for (size_t i = line * 8; i < line * 8 + 8; ++i) {
      std::snprintf(buf, sizeof buf, " %02x", data[i]);
      s += buf;
      chars += data[i] >= 0x20 && data[i] <= 0x7e ? static_cast<char>(data[i]) : '.';
    }
    return s + "  " + chars;
  };
  EXPECT_EQ(lines[3], dumpLine(0));
  EXPECT_EQ(lines.back(), dumpLine(data.size() / 8 - 1));
  EXPECT_EQ(lines.back().substr(0, 7), " 2fff8:");
  for (size_t line = 0; line < data.size() / 8; line += 997) EXPECT_EQ(lines[3 + line], dumpLine(line)) << line;
}
