// Tests of the decode pane: the item windows a decode string makes, and every captured row shown.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>

#include <lua.hpp>
#include <wx/frame.h>
#include <wx/gdicmn.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "app/gui_env.h"
#include "kvcolours.h"
#include "kvdecode.h"
#include "kvglobs.h"
#include "kvwxmid.h"
#include "sw_sniff/pipe_helpers.h"

namespace {

constexpr int FRAME_W = 600;
constexpr int FRAME_H = 800;
constexpr int BORDER = 10;

std::string str(const wxString& s) { return s.utf8_string(); }

template <class T>
T* findChild(wxWindow* parent) {
  for (wxWindow* w : parent->GetChildren())
    if (auto* t = dynamic_cast<T*>(w)) return t;
  return nullptr;
}

/// What one table item shows: title, headings, and the cell texts row by row.
struct Table {
  std::string title;
  std::vector<std::string> heads;
  std::vector<std::vector<std::string>> cells;
};

class DecodePane : public ::testing::Test {
 protected:
  void SetUp() override {
    frame = new wxFrame(nullptr, wxID_ANY, "decode", wxDefaultPosition, wxSize(FRAME_W, FRAME_H));
    pane = new TdecodePane(frame);
    frame->Show();
    ASSERT_TRUE(kvtest::runLoopUntil([&] { return pane->scroller->scrolled->GetSize().x > 2 * BORDER; }, 10000));
  }
  void TearDown() override { delete frame; }

  /// Renders and lets the toolkit lay the items out.
  void render(const std::string& decode) {
    pane->render(decode);
    kvtest::runLoopUntil([] { return false; }, 50);
  }

  /// The item windows in the sizer's order; also checks that the panel holds no other window.
  std::vector<wxWindow*> items() {
    std::vector<wxWindow*> out;
    for (wxSizerItem* si : pane->scroller->scrolled->sizer->GetChildren()) out.push_back(si->GetWindow());
    EXPECT_EQ(pane->scroller->scrolled->GetChildren().size(), out.size());
    return out;
  }

  static std::string paragraph(wxWindow* w) {
    auto* t = dynamic_cast<TdecodeTextItem*>(w);
    return t ? str(t->label->GetLabelText()) : "<not a text item>";
  }

  static Table table(wxWindow* w) {
    Table t;
    auto* item = dynamic_cast<TdecodeListItem*>(w);
    if (!item) return {"<not a table item>", {}, {}};
    if (auto* title = findChild<TdecodeTitle>(item))
      if (auto* text = findChild<wxStaticText>(title)) t.title = str(text->GetLabelText());
    TdecodeList* list = findChild<TdecodeList>(item);
    for (int c = 0; c < list->GetColumnCount(); ++c) {
      wxListItem col;
      col.SetMask(wxLIST_MASK_TEXT);
      list->GetColumn(c, col);
      t.heads.push_back(str(col.GetText()));
    }
    for (long r = 0; r < list->GetItemCount(); ++r) {
      t.cells.emplace_back();
      for (int c = 0; c < list->GetColumnCount(); ++c) t.cells.back().push_back(str(list->GetItemText(r, c)));
    }
    return t;
  }

  wxFrame* frame = nullptr;
  TdecodePane* pane = nullptr;
};

/// Whether the label shows text wrapped to at most width pixels a line (a word longer than the
/// width stands alone on its line).
::testing::AssertionResult wrappedAt(TdecodeTextItem* item, int width) {
  const std::string shown = str(item->label->GetLabelText());
  std::string joined;
  for (const auto& line : kvtest::splitLines(shown)) {
    joined += (joined.empty() ? "" : " ") + line;
    if (item->label->GetTextExtent(wxString::FromUTF8(line)).x > width && line.find(' ') != std::string::npos)
      return ::testing::AssertionFailure() << "line wider than " << width << ": " << line;
  }
  if (joined != item->text) return ::testing::AssertionFailure() << "text changed: " << shown;
  return ::testing::AssertionSuccess();
}

}  // namespace

TEST_F(DecodePane, StartsEmptyUnderItsCaption) {
  const auto& children = pane->GetChildren();
  ASSERT_EQ(children.size(), 2u);
  EXPECT_NE(dynamic_cast<TitlePane*>(children[0]), nullptr);
  EXPECT_EQ(children[1], pane->scroller);
  EXPECT_EQ(str(findChild<wxStaticText>(children[0])->GetLabelText()), "Decode");
  EXPECT_EQ(pane->GetFont().GetPointSize(), _G.fontPointSize);
  EXPECT_TRUE(items().empty());
}

TEST_F(DecodePane, ParagraphsStackTenPixelsApartAndAnEmptyStringRemovesThem) {
  render("Sfirst;Ssecond & more;S\xe9t\xe9");
  auto w = items();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(paragraph(w[0]), "first");
  EXPECT_EQ(paragraph(w[1]), "second & more");  // no mnemonic eats the "&"
  EXPECT_EQ(paragraph(w[2]), "\u00e9t\u00e9");    // not UTF-8: shown byte by byte
  const wxRect r0 = w[0]->GetRect(), r1 = w[1]->GetRect();
  EXPECT_EQ(r0.y, BORDER);
  EXPECT_EQ(r1.y, r0.GetBottom() + 1 + BORDER);
  EXPECT_EQ(r0.x, BORDER);
  EXPECT_EQ(r0.width, pane->scroller->scrolled->GetClientSize().x - 2 * BORDER);

  // Every text item leaves the hub with its window: the handles are gone, a publish reaches
  // nothing (under the sanitizers a stale subscription would be a use after free).
  const int h0 = static_cast<TdecodeTextItem*>(w[0])->subHandle;
  const int h1 = static_cast<TdecodeTextItem*>(w[2])->subHandle;
  EXPECT_GT(h0, 0);
  EXPECT_GT(h1, h0);
  render("");
  EXPECT_TRUE(items().empty());
  _G.pub(msgSplitterChanged, 0);
  EXPECT_FALSE(_G.unsub(msgSplitterChanged, h0));
  EXPECT_FALSE(_G.unsub(msgSplitterChanged, h1));
}

TEST_F(DecodePane, TableWithBareTitleAndEvenRowColour) {
  render("T\nName#Value\na#1\nb#2");
  auto w = items();
  ASSERT_EQ(w.size(), 1u);
  const Table t = table(w[0]);
  EXPECT_EQ(t.title, " ");
  EXPECT_EQ(t.heads, (std::vector<std::string>{"Name", "Value"}));
  EXPECT_EQ(t.cells, (std::vector<std::vector<std::string>>{{"a", "1"}, {"b", "2"}}));

  auto* title = findChild<TdecodeTitle>(w[0]);
  EXPECT_EQ(title->GetBackgroundColour(), wxColour(DECODE_TITLE_BG));
  EXPECT_EQ(findChild<wxStaticText>(title)->GetFont().GetPointSize(), _G.fontPointSize * 12 / 10);
  auto* list = findChild<TdecodeList>(w[0]);
  EXPECT_EQ(list->GetItemBackgroundColour(0), wxColour(DECODE_EVEN_BG));
  EXPECT_FALSE(list->GetItemBackgroundColour(1).IsOk());

  // The list is exactly as high as its rows need: fixed, and every row within it.
  EXPECT_EQ(list->GetMinSize().y, list->GetMaxSize().y);
  EXPECT_EQ(list->GetSize().y, list->GetMinSize().y);
  wxRect last;
  ASSERT_TRUE(list->GetItemRect(1, last));
  EXPECT_LE(last.GetBottom(), list->GetClientSize().y);
  // The first two columns share the width a quarter to three quarters.
  const int cw = list->GetClientSize().x;
  EXPECT_EQ(list->GetColumnWidth(0), cw / 4);
  EXPECT_EQ(list->GetColumnWidth(1), cw * 3 / 4 - 20);
  // Too narrow for the margin: column 1 gets no width rather than a negative one.
  frame->SetClientSize(3 * BORDER, FRAME_H);
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return list->GetClientSize().x * 3 / 4 < 20; }, 5000));
  EXPECT_EQ(list->GetColumnWidth(1), 0);
}

TEST_F(DecodePane, CellsShiftPastEmptyOnesAndFollowTheHeadings) {
  render("Tcells\nA#B#C\nx##z\n\n1#2#3#4\nonly\nTlater");
  const Table t = table(items().at(0));
  EXPECT_EQ(t.title, "cells");
  EXPECT_EQ(t.heads, (std::vector<std::string>{"A", "B", "C"}));
  // The empty line is dropped, so the lines close up.
  EXPECT_EQ(t.cells, (std::vector<std::vector<std::string>>{
                         {"x", "z", ""}, {"1", "2", "3"}, {"only", "", ""}, {"Tlater", "", ""}}));

  render("Theads\nA##B\n1#2");  // an empty heading is dropped too
  EXPECT_EQ(table(items().at(0)).heads, (std::vector<std::string>{"A", "B"}));
}

TEST_F(DecodePane, TablesOfOneAndTwoLines) {
  render("TJust a title;Theads only\nA#B");
  auto w = items();
  ASSERT_EQ(w.size(), 2u);
  const Table one = table(w[0]);
  EXPECT_EQ(one.title, "Just a title");
  EXPECT_TRUE(one.heads.empty());
  EXPECT_TRUE(one.cells.empty());
  const Table two = table(w[1]);
  EXPECT_EQ(two.heads, (std::vector<std::string>{"A", "B"}));
  EXPECT_TRUE(two.cells.empty());
  EXPECT_EQ(findChild<TdecodeList>(w[1])->GetMinSize().y, 12);
}

TEST_F(DecodePane, UnknownItemsAreSkipped) {
  render("Error - row 7;Sbefore;;X marks;Tt\nH\nv;attempt to call a nil value;Safter");
  auto w = items();
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(paragraph(w[0]), "before");
  EXPECT_EQ(table(w[1]).cells, (std::vector<std::vector<std::string>>{{"v"}}));
  EXPECT_EQ(paragraph(w[2]), "after");
  render("Error - row 7");
  EXPECT_TRUE(items().empty());
}

TEST_F(DecodePane, ParagraphsRewrapOnResizeAndOnSplitterChange) {
  std::string words;
  for (int i = 0; i < 60; ++i) words += (i ? " " : "") + std::string("word") + std::to_string(i);
  render("S" + words + ";Tt\nA#B#C\n1#2#3;Sshort");
  auto w = items();
  ASSERT_EQ(w.size(), 3u);
  auto* long_ = static_cast<TdecodeTextItem*>(w[0]);
  // Laid out: the whole wrapped paragraph in its item, the next item 10 pixels below, nothing
  // wider than the visible area (there is no horizontal scrolling) and every item in the
  // scroll range.
  const auto laidOut = [&] {
    const int width = pane->scroller->GetClientSize().x;
    int virtualHeight = 0;
    pane->scroller->GetVirtualSize(nullptr, &virtualHeight);
    return long_->GetSize().y == long_->label->GetBestSize().y &&
           w[1]->GetPosition().y == w[0]->GetRect().GetBottom() + 1 + BORDER &&
           pane->scroller->scrolled->GetSize().x == width && w[0]->GetSize().x == width - 2 * BORDER &&
           virtualHeight > w[2]->GetRect().GetBottom();
  };
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return laidOut() && long_->label->GetLabel().Contains("\n"); }, 5000));
  EXPECT_TRUE(wrappedAt(long_, long_->GetClientSize().x - 20));

  // A sash move rewraps every paragraph from its own text at its item's width.
  for (wxWindow* item : {w[0], w[2]}) static_cast<TdecodeTextItem*>(item)->label->SetLabel("stale");
  _G.pub(msgSplitterChanged, 0);
  for (wxWindow* item : {w[0], w[2]}) {
    auto* t = static_cast<TdecodeTextItem*>(item);
    EXPECT_TRUE(wrappedAt(t, t->GetClientSize().x - 20));
  }
  EXPECT_EQ(paragraph(w[2]), "short");

  // A narrower pane wraps into more lines and makes the item taller; a wider one into fewer.
  size_t lines = kvtest::splitLines(paragraph(w[0])).size();
  for (int width : {FRAME_W / 3, FRAME_W}) {
    frame->SetClientSize(width, FRAME_H);
    ASSERT_TRUE(kvtest::runLoopUntil(
        [&] { return kvtest::splitLines(paragraph(w[0])).size() != lines && laidOut(); }, 5000)) << width;
    EXPECT_TRUE(wrappedAt(long_, long_->GetClientSize().x - 20));
    const size_t now = kvtest::splitLines(paragraph(w[0])).size();
    EXPECT_EQ(now > lines, width < FRAME_W);
    lines = now;
  }
}

// Every row of every recorded capture, decoded by the shipped script the way the program runs
// it, shows at least one item.
TEST_F(DecodePane, EveryCapturedRowShowsItems) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_openlibs(L.get());
  const std::string script = std::string(KV_TEST_DATA_DIR) + "/../../scripts/init.lua";
  ASSERT_EQ(luaL_dofile(L.get(), script.c_str()), LUA_OK) << lua_tostring(L.get(), -1);
  const auto names = kvtest::captureNames();
  ASSERT_FALSE(names.empty());
  for (const auto& name : names) {
    const kvtest::Views v = kvtest::decodeRaw(kvtest::readBytes(kvtest::captureDir() + "/" + name + ".raw"));
    ASSERT_FALSE(v.lin->empty()) << name;
    // getNode(ix): the row table of flat row ix, nothing outside the list.
    lua_pushlightuserdata(L.get(), v.lin.get());
    lua_pushcclosure(L.get(), [](lua_State* S) -> int {
      const auto* lin = static_cast<const TlinRowVec*>(lua_touserdata(S, lua_upvalueindex(1)));
      const lua_Integer ix = luaL_optinteger(S, 1, -1);
      if (ix < 0 || ix >= static_cast<lua_Integer>(lin->size())) return 0;
      rowutils::setParams((*lin)[static_cast<size_t>(ix)].row, S);
      return 1;
    }, 1);
    lua_setglobal(L.get(), "getNode");
    // Rows of the same decode string make the same windows: each string is rendered once.
    std::map<std::string, size_t> itemCounts;
    int shown = 0;
    for (const TlinRow& lr : *v.lin) {
      const std::string decode = rowutils::doDecode(lr.row, L.get());
      auto [it, isNew] = itemCounts.emplace(decode, 0);
      if (isNew) {
        pane->render(decode);
        it->second = items().size();
      }
      EXPECT_GT(it->second, 0u) << name << " row " << lr.row->handle << ": " << decode;
      shown += it->second > 0;
    }
    EXPECT_EQ(shown, static_cast<int>(v.lin->size())) << name;
  }
}

// ---- at scale: long tables, many and long paragraphs, the wheel ----

namespace {

/// A payload table as the shipped script writes it: offset and 16 bytes a line.
std::string payloadTable(int lines) {
  std::string s = "TPayload\nOffset#Bytes";
  for (int l = 0; l < lines; ++l) s += "\n" + std::to_string(l * 16) + "#00 11 22 33 44 55 66 77";
  return s;
}

/// Lets the pane settle: the loop runs until the scroll range has stayed the same for 300 ms.
void settle(TdecodePane* pane) {
  int last = -1;
  auto since = std::chrono::steady_clock::now();
  kvtest::runLoopUntil([&] {
    int h = 0;
    pane->scroller->GetVirtualSize(nullptr, &h);
    if (h != last) {
      last = h;
      since = std::chrono::steady_clock::now();
    }
    return std::chrono::steady_clock::now() - since > std::chrono::milliseconds(300);
  }, 60000);
}

std::vector<TdecodeTextItem*> textItems(TdecodePane* pane) {
  std::vector<TdecodeTextItem*> out;
  for (wxSizerItem* si : pane->scroller->scrolled->sizer->GetChildren())
    if (auto* t = dynamic_cast<TdecodeTextItem*>(si->GetWindow())) out.push_back(t);
  return out;
}

}  // namespace

// The rows stand closer than the header is high: the list is as high as its rows, not as high
// as 300 header heights, so the pane ends within two rows below the last one.
TEST_F(DecodePane, ThreeHundredLineTableLeavesNoBlankBelowIt) {
  render(payloadTable(300));
  settle(pane);
  auto* item = items().at(0);
  auto* list = findChild<TdecodeList>(item);
  wxRect first, second, last;
  ASSERT_TRUE(list->GetItemRect(0, first));
  ASSERT_TRUE(list->GetItemRect(1, second));
  ASSERT_TRUE(list->GetItemRect(299, last));
  const int spacing = second.y - first.y;
  ASSERT_GT(spacing, 0);
  const int contentBottom = item->GetPosition().y + list->GetPosition().y +
                            list->GetClientAreaOrigin().y + last.GetBottom() + 1;
  int panelHeight = 0;
  pane->scroller->GetVirtualSize(nullptr, &panelHeight);
  EXPECT_GE(panelHeight, contentBottom);
  EXPECT_LE(panelHeight - contentBottom, 2 * spacing) << "row spacing " << spacing;
  EXPECT_LE(last.GetBottom(), list->GetClientSize().y);  // every row within the list
}

// Each paragraph is wrapped when it is made and when its width changes, not on every layout:
// a hundred of them settle at once, and a resize or a sash move that keeps the width wraps
// none again.
TEST_F(DecodePane, ParagraphsAreWrappedOnlyForANewWidth) {
  std::string decode;
  for (int i = 0; i < 100; ++i)
    decode += "SParagraph " + std::to_string(i) + " with words enough to wrap in a narrow pane;" +
              (i % 10 ? "" : payloadTable(3) + ";");
  const int relayouts = pane->scroller->scrolled->relayouts;
  render(decode);
  settle(pane);
  EXPECT_LE(pane->scroller->scrolled->relayouts - relayouts, 2);
  const auto texts = textItems(pane);
  ASSERT_EQ(texts.size(), 100u);
  const auto wrapsOf = [&] {
    std::vector<int> w;
    for (auto* t : texts) w.push_back(t->wraps);
    return w;
  };
  for (auto* t : texts) EXPECT_EQ(t->wraps, 1) << t->text;  // made at the panel's width

  // A new width: every paragraph wraps once, and one relayout takes all their heights.
  const int narrow = FRAME_W * 2 / 3;
  const int relayoutsBefore = pane->scroller->scrolled->relayouts;
  frame->SetClientSize(narrow, FRAME_H);
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return pane->scroller->GetClientSize().x < narrow; }, 10000));
  settle(pane);
  EXPECT_LE(pane->scroller->scrolled->relayouts - relayoutsBefore, 2);
  for (auto* t : texts) EXPECT_EQ(t->wraps, 2) << t->text;
  for (auto* t : texts) EXPECT_TRUE(wrappedAt(t, t->GetClientSize().x - 20)) << t->text;
  const std::vector<int> before = wrapsOf();
  for (int height : {FRAME_H / 2, FRAME_H}) {  // the same width twice
    frame->SetClientSize(narrow, height);
    ASSERT_TRUE(kvtest::runLoopUntil([&] { return frame->GetClientSize().y == height; }, 10000));
    settle(pane);
  }
  _G.pub(msgSplitterChanged, 0);  // a sash move that changed no width
  settle(pane);
  EXPECT_EQ(wrapsOf(), before);
}

// A paragraph beyond 64 KB shows its first 64 KB and an ellipsis; the item keeps the whole text.
TEST_F(DecodePane, ParagraphIsCutAfter64KBWithAnEllipsis) {
  std::string words;
  while (words.size() < 100 * 1024) words += "w\xc3\xa9rd ";  // two-byte characters straddle the cut
  render("S" + words);
  auto* t = textItems(pane).at(0);
  EXPECT_EQ(t->text, words);
  std::string shown = str(t->label->GetLabelText());
  for (char& c : shown) c = c == '\n' ? ' ' : c;
  const std::string ellipsis = "\xe2\x80\xa6";
  ASSERT_GE(shown.size(), ellipsis.size());
  EXPECT_EQ(shown.substr(shown.size() - ellipsis.size()), ellipsis);
  const std::string kept = shown.substr(0, shown.size() - ellipsis.size());
  EXPECT_GE(kept.size(), 64u * 1024 - 1);
  EXPECT_LE(kept.size(), 64u * 1024);
  EXPECT_EQ(kept, words.substr(0, kept.size()));
}

// The wheel turned over a table, through the X server as a user turns it, scrolls the pane.
TEST(DecodePaneWheel, WheelOverATableScrollsThePane) {
  if (std::system("command -v xdotool >/dev/null 2>&1") != 0) GTEST_SKIP() << "xdotool not installed";
  // At the right edge of the screen, away from the other test windows at its top left.
  const wxSize screen = wxGetDisplaySize();
  const wxSize size(400, 500);
  auto* frame = new wxFrame(nullptr, wxID_ANY, "wheel", wxPoint(std::max(0, screen.x - size.x), 0), size);
  std::unique_ptr<wxFrame, void (*)(wxFrame*)> owner(frame, [](wxFrame* f) { delete f; });
  auto* pane = new TdecodePane(frame);
  frame->Show();
  frame->Raise();
  ASSERT_TRUE(kvtest::runLoopUntil([&] { return pane->scroller->GetClientSize().y > 100; }, 10000));
  pane->render(payloadTable(300));
  settle(pane);
  auto* list = findChild<TdecodeList>(pane->scroller->scrolled->sizer->GetItem(size_t{0})->GetWindow());
  ASSERT_NE(list, nullptr);
  // The middle of the visible part of the pane, which the list covers there.
  const wxRect visible = pane->scroller->GetScreenRect();
  const wxPoint at(visible.x + visible.width / 2, visible.y + visible.height / 2);
  ASSERT_TRUE(list->GetScreenRect().Contains(at));
  ASSERT_EQ(pane->scroller->GetViewStart().y, 0);
  const std::string cmd = "xdotool mousemove --sync " + std::to_string(at.x) + " " + std::to_string(at.y) +
                          " click --repeat 3 --delay 50 5";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  EXPECT_TRUE(kvtest::runLoopUntil([&] { return pane->scroller->GetViewStart().y > 0; }, 10000))
      << "the pane did not scroll";
}
