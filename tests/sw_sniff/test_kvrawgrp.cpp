// Tests of the transaction and transfer grouper and its debug text.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "kvrawgrp.h"
#include "pipe_helpers.h"

using namespace kvtest;

namespace {

TrowVec group(const TrowVec& events) {
  TrowVec roots;
  TrawTree tree(events, roots);
  return roots;
}

void expectChildren(const TrowPtr& g, const TrowVec& expected, uint32_t depth) {
  auto grp = asGroup(g);
  ASSERT_TRUE(grp);
  ASSERT_EQ(grp->children.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(grp->children[i], expected[i]) << "child " << i;
    EXPECT_EQ(expected[i]->depth, depth) << "child " << i;
  }
}

int subType(const TrowPtr& r) { return std::dynamic_pointer_cast<Ttransax>(r)->subType; }

}  // namespace

TEST(TrawTree, PlainRootsAndSofRuns) {
  EXPECT_TRUE(group({}).empty());

  TrowVec ev{mkSof(1), mkReset(), mkSof(2)};
  TrowVec roots = group(ev);
  EXPECT_EQ(roots, ev);  // three plain roots, depth 0

  TrowVec two{mkSof(1), mkSof(2)};
  roots = group(two);
  ASSERT_EQ(roots.size(), 1u);
  EXPECT_EQ(roots[0]->kind, ROW_SOFGROUP);
  EXPECT_EQ(roots[0]->depth, 0u);
  expectChildren(roots[0], two, 1);

  // A run at the very end is grouped; the row after a run starts the next item.
  TrowVec ev2{mkSof(1), mkSof(2), mkSof(3), mkHs(PID_ACK), mkSof(4), mkSof(5)};
  roots = group(ev2);
  ASSERT_EQ(roots.size(), 3u);
  expectChildren(roots[0], {ev2[0], ev2[1], ev2[2]}, 1);
  EXPECT_EQ(roots[1], ev2[3]);
  expectChildren(roots[2], {ev2[4], ev2[5]}, 1);

  // Data and handshake packets without a token are plain roots.
  TrowVec stray{mkData(PID_DATA0, 2), mkHs(PID_NAK)};
  EXPECT_EQ(group(stray), stray);
}

TEST(TrawTree, SetupTransactionOpensControlTransfer) {
  TrowVec ev{mkToken(PID_SETUP, 5, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK)};
  TrowVec roots = group(ev);
  ASSERT_EQ(roots.size(), 1u);
  auto tfr = std::dynamic_pointer_cast<Ttransfer>(roots[0]);
  ASSERT_TRUE(tfr);
  EXPECT_EQ(tfr->subType, TFR_CONTROL);
  EXPECT_EQ(tfr->depth, 0u);
  ASSERT_EQ(tfr->children.size(), 1u);
  EXPECT_EQ(subType(tfr->children[0]), TRX_SETUP);
  EXPECT_EQ(tfr->children[0]->depth, 1u);
  expectChildren(tfr->children[0], ev, 2);

  // SETUP then SOF: the transaction holds the token only and the SOF is grouped next.
  TrowVec ev2{mkToken(PID_SETUP, 5, 0), mkSof(1), mkSof(2)};
  roots = group(ev2);
  ASSERT_EQ(roots.size(), 2u);
  expectChildren(asGroup(roots[0])->children[0], {ev2[0]}, 2);
  EXPECT_EQ(roots[1]->kind, ROW_SOFGROUP);

  // SETUP, DATA1: the DATA1 is not taken; SETUP, DATA0, NAK: the NAK is not taken.
  TrowVec ev3{mkToken(PID_SETUP, 5, 0), mkData(PID_DATA1, 8), mkToken(PID_SETUP, 5, 0),
              mkData(PID_DATA0, 8), mkHs(PID_NAK)};
  roots = group(ev3);
  ASSERT_EQ(roots.size(), 4u);
  expectChildren(asGroup(roots[0])->children[0], {ev3[0]}, 2);
  EXPECT_EQ(roots[1], ev3[1]);
  EXPECT_EQ(roots[1]->depth, 0u);
  expectChildren(asGroup(roots[2])->children[0], {ev3[2], ev3[3]}, 2);
  EXPECT_EQ(roots[3], ev3[4]);
}

TEST(TrawTree, TransferClosedByZeroLengthPacketInAnyStage) {
  // Status stage: OUT with an empty DATA1 closes; the next IN on the endpoint is a root.
  TrowVec ev{mkToken(PID_SETUP, 5, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),
             mkToken(PID_IN, 5, 0),    mkData(PID_DATA1, 8), mkHs(PID_ACK),
             mkToken(PID_OUT, 5, 0),   mkData(PID_DATA1, 0), mkHs(PID_ACK),
             mkToken(PID_IN, 5, 0),    mkHs(PID_NAK)};
  TrowVec roots = group(ev);
  ASSERT_EQ(roots.size(), 2u);
  auto tfr = asGroup(roots[0]);
  ASSERT_EQ(tfr->children.size(), 3u);
  EXPECT_EQ(subType(tfr->children[1]), TRX_IN);
  EXPECT_EQ(subType(tfr->children[2]), TRX_OUT);
  expectChildren(tfr->children[1], {ev[3], ev[4], ev[5]}, 2);
  expectChildren(tfr->children[2], {ev[6], ev[7], ev[8]}, 2);
  EXPECT_EQ(subType(roots[1]), TRX_IN);
  EXPECT_EQ(roots[1]->depth, 0u);
  expectChildren(roots[1], {ev[9], ev[10]}, 1);

  // A zero-length packet in the data stage closes it too, even when the handshake is missing.
  TrowVec ev2{mkToken(PID_SETUP, 1, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),
              mkToken(PID_IN, 1, 0),    mkData(PID_DATA1, 0), mkSof(7),
              mkToken(PID_OUT, 1, 0),   mkData(PID_DATA1, 0), mkHs(PID_ACK)};
  roots = group(ev2);
  ASSERT_EQ(roots.size(), 3u);
  EXPECT_EQ(asGroup(roots[0])->children.size(), 2u);
  EXPECT_EQ(roots[1], ev2[5]);
  EXPECT_EQ(subType(roots[2]), TRX_OUT);
}

TEST(TrawTree, NakedAndStalledTransactionsKeepTransferOpen) {
  TrowVec ev{mkToken(PID_SETUP, 2, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),
             mkToken(PID_IN, 2, 0),    mkHs(PID_NAK),
             mkToken(PID_IN, 2, 0),    mkHs(PID_STALL),
             mkToken(PID_OUT, 2, 0),   mkData(PID_DATA0, 4), mkHs(PID_NAK),
             mkToken(PID_IN, 2, 0),    mkData(PID_DATA0, 4), mkHs(PID_NAK)};
  TrowVec roots = group(ev);
  ASSERT_EQ(roots.size(), 2u);
  auto tfr = asGroup(roots[0]);
  ASSERT_EQ(tfr->children.size(), 5u);
  expectChildren(tfr->children[1], {ev[3], ev[4]}, 2);
  expectChildren(tfr->children[2], {ev[5], ev[6]}, 2);
  expectChildren(tfr->children[3], {ev[7], ev[8], ev[9]}, 2);
  // An IN transaction does not take a NAK after its data packet.
  expectChildren(tfr->children[4], {ev[10], ev[11]}, 2);
  EXPECT_EQ(roots[1], ev[12]);
}

TEST(TrawTree, EndpointsAreIndependentAndSetupReplaces) {
  TrowVec ev{mkToken(PID_SETUP, 5, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),   // A on 5/0
             mkToken(PID_SETUP, 6, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),   // B on 6/0
             mkToken(PID_IN, 5, 1),    mkHs(PID_NAK),                         // 5/1: root
             mkToken(PID_IN, 6, 0),    mkHs(PID_NAK),                         // into B
             mkToken(PID_SETUP, 5, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),   // C replaces A
             mkToken(PID_IN, 5, 0),    mkHs(PID_NAK)};                        // into C
  TrowVec roots = group(ev);
  ASSERT_EQ(roots.size(), 4u);
  EXPECT_EQ(asGroup(roots[0])->children.size(), 1u);  // A keeps what it had
  EXPECT_EQ(asGroup(roots[1])->children.size(), 2u);
  EXPECT_EQ(subType(roots[2]), TRX_IN);
  EXPECT_EQ(roots[2]->depth, 0u);
  EXPECT_EQ(asGroup(roots[3])->children.size(), 2u);
  EXPECT_EQ(asGroup(asGroup(roots[3])->children[1])->children[0], ev[13]);

  // Every 7-bit address and 4-bit endpoint pair has a key of its own.
  std::set<int> keys;
  for (int a = 0; a < 128; ++a)
    for (int e = 0; e < 16; ++e) keys.insert(TrawTree::portRef(a, e));
  EXPECT_EQ(keys.size(), 128u * 16u);
}

TEST(TrawTree, EventsEndInsideAnItem) {
  // Events that end right after an IN token: the transaction holds the token.
  TrowVec ev{mkToken(PID_IN, 3, 1)};
  TrowVec roots = group(ev);
  ASSERT_EQ(roots.size(), 1u);
  expectChildren(roots[0], ev, 1);

  // The builders report running into the end, and taking a whole item.
  TrowVec sofs{mkSof(1), mkSof(2)};
  TrowVec r1;
  TrawTree t1(sofs, r1);
  size_t i = 0;
  EXPECT_FALSE(t1.doSOF(i));
  EXPECT_EQ(i, 2u);
  EXPECT_FALSE(t1.getDisplayItem(i));

  TrowVec cut{mkToken(PID_SETUP, 1, 0), mkData(PID_DATA0, 8)};
  TrowVec r3;
  TrawTree t3(cut, r3);
  i = 0;
  EXPECT_FALSE(t3.doSetup(i));
  EXPECT_EQ(i, 2u);
}

// Any sequence of decoder rows: every row ends up exactly once in the tree, one level below
// its group.
TEST(TrawTree, RandomEventsPlaceEveryRowOnce) {
  const int pids[] = {PID_SETUP, PID_IN, PID_OUT, PID_DATA0, PID_DATA1, PID_ACK, PID_NAK, PID_STALL};
  for (unsigned seed = 1; seed <= 50; ++seed) {
    std::mt19937 rng(seed);
    TrowVec ev;
    for (int i = 0; i < 400; ++i) {
      const unsigned r = rng() % 12;
      const uint32_t addr = rng() % 3;
      const uint32_t endp = rng() % 2;
      if (r < 2) {
        ev.push_back(mkSof(i));
      } else if (r == 2) {
        ev.push_back(mkReset());
      } else {
        const int pid = pids[rng() % 8];
        if (pid == PID_SETUP || pid == PID_IN || pid == PID_OUT)
          ev.push_back(mkToken(pid, addr, endp));
        else if (pid == PID_DATA0 || pid == PID_DATA1)
          ev.push_back(mkData(pid, rng() % 3));
        else
          ev.push_back(mkHs(pid));
      }
    }
    TrowVec roots = group(ev);
    std::multiset<const Tbase*> seen;
    std::function<void(const TrowPtr&, uint32_t)> walk = [&](const TrowPtr& r, uint32_t depth) {
      ASSERT_EQ(r->depth, depth) << "seed " << seed;
      if (auto g = asGroup(r)) {
        EXPECT_FALSE(g->children.empty()) << "seed " << seed;
        for (const auto& c : g->children) walk(c, depth + 1);
      } else {
        seen.insert(r.get());
      }
    };
    for (const auto& r : roots) walk(r, 0);
    ASSERT_EQ(seen.size(), ev.size()) << "seed " << seed;
    for (const auto& r : ev) EXPECT_EQ(seen.count(r.get()), 1u) << "seed " << seed;
  }
}

// The debug text of a NAKed IN transaction and a control transfer, as grouped from its packets.
TEST(TrawTree, DebugTextOfGroupedRows) {
  auto in = std::static_pointer_cast<Ttoken>(mkToken(PID_IN, 5, 1, 24000));
  in->crc5 = 0x0c;
  in->idleTicks = 6;
  auto nak = std::static_pointer_cast<Thandshake>(mkHs(PID_NAK, 24041));
  nak->idleTicks = 8000;
  auto setup = std::static_pointer_cast<Ttoken>(mkToken(PID_SETUP, 0, 0, 150000));
  setup->crc5 = 0x02;
  setup->idleTicks = 4;
  auto d0 = std::make_shared<Tdata>();
  d0->pid = PID_DATA0;
  d0->strt = 150039;
  d0->data = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x40, 0x00};
  d0->crc16 = 0x94dd;
  d0->idleTicks = 4;
  auto ack = std::static_pointer_cast<Thandshake>(mkHs(PID_ACK, 150151));
  ack->idleTicks = 20;
  TrowVec ev{in, nak, setup, d0, ack,
             mkToken(PID_IN, 0, 0), mkData(PID_DATA1, 8), mkHs(PID_ACK),
             mkToken(PID_OUT, 0, 0), mkData(PID_DATA1, 0), mkHs(PID_ACK)};
  TrowVec roots;
  TrawTree tree(ev, roots);
  ASSERT_EQ(roots.size(), 2u);

  const std::string expected =
      "0;T:IN;X:2\n"
      "  1;K:9;TI:24000;AD:5;EP:1;5P:0c;TL:6\n"
      "  1;H:10;TI:24041;TL:8000\n"
      "0;C:CONTROL;X:3\n"
      "  1;T:SETUP;X:3\n"
      "    2;K:13;TI:150000;AD:0;EP:0;5P:02;TL:4\n"
      "    2;D:3;TI:150039;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4\n"
      "    2;H:2;TI:150151;TL:20\n";
  const std::string text = TrawTree::prStrRawGrp(roots[0]) + TrawTree::prStrRawGrp(roots[1]);
  EXPECT_EQ(text.substr(0, expected.size()), expected) << firstDifference(expected, text);
  EXPECT_EQ(splitLines(text).size(), 8u + 8u);  // the IN and OUT transactions follow

  EXPECT_EQ(utils::prStr(roots[0]), "0;T:IN;X:2\n");
  EXPECT_EQ(utils::prStr(nak), "  1;H:10;TI:24041;TL:8000\n");
  EXPECT_EQ(TrawTree::prStrRawGrp(std::make_shared<Tbase>()), "");

  TempDir tmp;
  ASSERT_TRUE(tree.save(tmp.path("tree.txt")));
  EXPECT_EQ(readFile(tmp.path("tree.txt")), text);
  EXPECT_FALSE(tree.save(tmp.path("no/such/dir/tree.txt")));
}
