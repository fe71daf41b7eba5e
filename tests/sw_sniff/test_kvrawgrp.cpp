// Tests of the transaction and transfer grouper and its debug text.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "pipe_helpers.h"

using namespace kvtest;

namespace {

/// The tree as text: R reset, S SOF, K token, D data, H handshake, G(...) SOF group,
/// SETUP(...)/IN(...)/OUT(...) transactions, C(...) control transfer; "!" marks a wrong depth.
std::string shape(const TrowVec& rows, uint32_t depth = 0) {
  static const char* const kinds[] = {"R", "S", "K", "D", "H", "G", "", "C"};
  static const char* const trx[] = {"SETUP", "IN", "OUT", "UNDEFINED"};
  std::string s;
  for (const auto& r : rows) {
    s += s.empty() ? "" : " ";
    s += r->depth == depth ? "" : "!";
    s += r->kind == ROW_TRANSAX ? trx[std::static_pointer_cast<Ttransax>(r)->subType] : kinds[r->kind];
    if (auto g = asGroup(r)) s += "(" + shape(g->children, depth + 1) + ")";
  }
  return s;
}

}  // namespace

TEST(TrawTree, GroupingTable) {
  const struct {
    const char* events;
    const char* tree;
  } cases[] = {
      {"", ""},
      // Plain roots and SOF runs: a run of two or more is a group, also at the very end.
      {"S R S", "S R S"},
      {"S S S ACK S S", "G(S S S) H G(S S)"},
      {"D0:2 NAK", "D H"},
      // A SETUP transaction opens a control transfer; it takes DATA0 only and ACK only.
      {"SETUP5.0 D0:8 ACK", "C(SETUP(K D H))"},
      {"SETUP5.0 S S", "C(SETUP(K)) G(S S)"},
      {"SETUP5.0 D1:8 SETUP5.0 D0:8 NAK", "C(SETUP(K)) D C(SETUP(K D)) H"},
      // A zero-length packet closes the transfer in the status stage and in the data stage.
      {"SETUP5.0 D0:8 ACK IN5.0 D1:8 ACK OUT5.0 D1:0 ACK IN5.0 NAK",
       "C(SETUP(K D H) IN(K D H) OUT(K D H)) IN(K H)"},
      {"SETUP1.0 D0:8 ACK IN1.0 D1:0 S OUT1.0 D1:0 ACK", "C(SETUP(K D H) IN(K D)) S OUT(K D H)"},
      // NAKed and stalled transactions keep it open; an IN does not take a NAK after its data.
      {"SETUP2.0 D0:8 ACK IN2.0 NAK IN2.0 STALL OUT2.0 D0:4 NAK IN2.0 D0:4 NAK",
       "C(SETUP(K D H) IN(K H) IN(K H) OUT(K D H) IN(K D)) H"},
      // Endpoints are independent; a new SETUP on one replaces its open transfer.
      {"SETUP5.0 D0:8 ACK SETUP6.0 D0:8 ACK IN5.1 NAK IN6.0 NAK SETUP5.0 D0:8 ACK IN5.0 NAK",
       "C(SETUP(K D H)) C(SETUP(K D H) IN(K H)) IN(K H) C(SETUP(K D H) IN(K H))"},
      // Events that end inside an item.
      {"IN3.1", "IN(K)"},
  };
  for (const auto& c : cases) EXPECT_EQ(shape(group(c.events)), c.tree) << c.events;

  std::set<int> keys;  // one key per 7-bit address and 4-bit endpoint
  for (int a = 0; a < 128; ++a)
    for (int e = 0; e < 16; ++e) keys.insert(TrawTree::portRef(a, e));
  EXPECT_EQ(keys.size(), 128u * 16u);
}

// Any sequence of decoder rows: every row ends up exactly once in the tree, one level below
// its group.
TEST(TrawTree, RandomEventsPlaceEveryRowOnce) {
  const char* const words[] = {"S", "S", "R", "SETUP", "IN", "OUT", "D0:", "D1:", "ACK", "NAK", "STALL"};
  for (unsigned seed = 1; seed <= 50; ++seed) {
    std::mt19937 rng(seed);
    std::string spec;
    for (int i = 0; i < 400; ++i) {
      std::string w = words[rng() % 11];
      if (w == "SETUP" || w == "IN" || w == "OUT")
        w += std::to_string(rng() % 3) + "." + std::to_string(rng() % 2);
      if (w.back() == ':') w += std::to_string(rng() % 3);
      spec += w + " ";
    }
    const TrowVec ev = events(spec);
    const TrowVec roots = group(ev);
    const std::string tree = shape(roots);
    EXPECT_TRUE(tree.find('!') == std::string::npos && tree.find("()") == std::string::npos) << seed;
    auto lin = std::make_shared<TlinRowVec>();
    TdataIO().treeRootVecToLinVec(std::make_shared<TrowVec>(roots), lin);
    std::vector<const Tbase*> got, want;
    for (const auto& e : *lin)
      if (!asGroup(e.row)) got.push_back(e.row.get());
    for (const auto& r : ev) want.push_back(r.get());
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want) << "seed " << seed;
  }
}

// The debug text of a NAKed IN transaction and a control transfer, grouped from its packets.
TEST(TrawTree, DebugTextOfGroupedRows) {
  const std::string expected =
      "0;T:IN;X:2\n"
      "  1;K:9;TI:24000;AD:5;EP:1;5P:0c;TL:6\n"
      "  1;H:10;TI:24041;TL:8000\n"
      "0;C:CONTROL;X:2\n"
      "  1;T:SETUP;X:3\n"
      "    2;K:13;TI:150000;AD:0;EP:0;5P:02;TL:4\n"
      "    2;D:3;TI:150039;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4\n"
      "    2;H:2;TI:150151;TL:20\n"
      "  1;T:OUT;X:3\n"
      "    2;K:1;TI:160000;AD:0;EP:0;5P:02;TL:4\n"
      "    2;D:11;TI:160039;DA:;6P:0000;TL:4\n"
      "    2;H:2;TI:160080;TL:20\n";
  TrowVec ev;  // the packet lines, read back as the decoder's rows
  for (const auto& line : splitLines(expected))
    if (auto r = rowutils::fromString(line); r && !asGroup(r)) ev.push_back(r);
  TrowVec roots;
  TrawTree tree(ev, roots);
  ASSERT_EQ(roots.size(), 2u);
  const std::string text = TrawTree::prStrRawGrp(roots[0]) + TrawTree::prStrRawGrp(roots[1]);
  EXPECT_EQ(text, expected) << firstDifference(expected, text);
  EXPECT_EQ(utils::prStr(roots[0]), "0;T:IN;X:2\n");
  EXPECT_EQ(TrawTree::prStrRawGrp(std::make_shared<Tbase>()), "");

  TempDir tmp;
  ASSERT_TRUE(tree.save(tmp.path("tree.txt")));
  EXPECT_EQ(readFile(tmp.path("tree.txt")), text);
  EXPECT_FALSE(tree.save(tmp.path("no/such/dir/tree.txt")));
}
