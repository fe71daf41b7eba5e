// Tests of the row classes: defaults and the transaction/transfer lookups.
#include <gtest/gtest.h>

#include <tuple>

#include "kvgroup.h"

namespace {

std::shared_ptr<Ttransax> trx(TtrxType type, std::vector<uint8_t> payload, int handshakePid, bool withData = true) {
  auto t = std::make_shared<Ttransax>(type);
  auto tok = std::make_shared<Ttoken>();
  tok->pid = type == TRX_SETUP ? PID_SETUP : type == TRX_IN ? PID_IN : PID_OUT;
  t->children.push_back(tok);
  if (withData) {
    auto d = std::make_shared<Tdata>();
    d->pid = PID_DATA0;
    d->data = std::move(payload);
    t->children.push_back(d);
  }
  if (handshakePid >= 0) {
    auto h = std::make_shared<Thandshake>();
    h->pid = handshakePid;
    t->children.push_back(h);
  }
  return t;
}

std::vector<uint8_t> setupBytes(uint8_t bmRequestType, size_t n = 8) {
  std::vector<uint8_t> v{bmRequestType, 6, 0, 1, 0, 0, 18, 0};
  v.resize(n);
  return v;
}

}  // namespace

TEST(RowDefaults, KindsDefaultsAndFieldConstructors) {
  Tbase b;
  EXPECT_EQ(std::make_tuple(b.kind, b.depth, b.strt, b.valid, b.handle, b.parent, b.ordinal),
            std::make_tuple(int{ROW_NONE}, 0u, MAX_TICK, true, 0, -1, 6666u));
  EXPECT_EQ(TpacketBase().pid, 99);
  const std::vector<std::pair<int, int>> kinds = {
      {Treset().kind, ROW_RESET},       {Tsof().kind, ROW_SOF},          {Ttoken().kind, ROW_TOKEN},
      {Tdata().kind, ROW_DATA},         {Thandshake().kind, ROW_HANDSHAKE}, {TsofGroup().kind, ROW_SOFGROUP},
      {Ttransax().kind, ROW_TRANSAX},   {Ttransfer().kind, ROW_TRANSFER}, {Tgrouper().kind, ROW_NONE}};
  for (const auto& [got, want] : kinds)
    EXPECT_EQ(got, want);
  EXPECT_EQ(Ttransax().subType, TRX_UNDEFINED);
  EXPECT_EQ(Ttransfer().subType, TFR_DEFAULT);
  EXPECT_EQ(Ttransax(TstringVec{"2", "T:IN"}).subType, TRX_IN);
  EXPECT_EQ(Ttransax(TstringVec{"2", "T:IN"}).depth, 2u);
  EXPECT_EQ(Ttransax(TstringVec{"0", "T:XX"}).subType, TRX_UNDEFINED);
  EXPECT_EQ(Ttransfer(TstringVec{"-4", "C"}).depth, 0u);
}

TEST(TransaxLookups, HandshakeVerdicts) {
  EXPECT_TRUE(trx(TRX_IN, {1}, PID_ACK)->ackOK());
  EXPECT_FALSE(trx(TRX_IN, {}, PID_NAK, false)->ackOK());
  EXPECT_FALSE(trx(TRX_IN, {}, PID_STALL, false)->ackOK());
  EXPECT_FALSE(trx(TRX_IN, {1}, -1)->ackOK());
  auto t = trx(TRX_OUT, {1, 2}, PID_NAK);
  EXPECT_EQ(t->findTokenPkt()->pid, PID_OUT);
  EXPECT_EQ(t->findDataPkt()->data.size(), 2u);
  EXPECT_EQ(t->findHandshakePkt()->pid, PID_NAK);
  EXPECT_EQ(Ttransax().findTokenPkt(), nullptr);
}

TEST(TransferLookups, FindTransaxLeavesTheIndex) {
  Ttransfer t(TFR_CONTROL);
  t.children = {trx(TRX_SETUP, setupBytes(0x80), PID_ACK), trx(TRX_IN, {1}, PID_ACK), trx(TRX_OUT, {}, PID_ACK)};
  unsigned i = 0;
  EXPECT_EQ(t.findInTransax(i), t.children[1]);
  EXPECT_EQ(i, 1u);
  EXPECT_EQ(t.findInTransax(i), t.children[1]);  // does not step past what it returns
  ++i;
  EXPECT_EQ(t.findInTransax(i), nullptr);
  EXPECT_EQ(i, 3u);
  i = 7;
  EXPECT_EQ(t.findOutTransax(i), nullptr);
  EXPECT_EQ(i, 7u);
  EXPECT_EQ(t.findSetupTransax(), t.children[0]);
}

TEST(TransferFindData, ControlReadGathersAckedInStages) {
  Ttransfer t(TFR_CONTROL);
  t.children = {trx(TRX_SETUP, setupBytes(0x80), PID_ACK),
                trx(TRX_IN, {1, 2, 3, 4, 5, 6, 7, 8}, PID_ACK),
                trx(TRX_IN, {}, PID_NAK, false),
                trx(TRX_IN, {9, 9, 9, 9, 9, 9, 9, 9}, PID_NAK),  // NAKed data adds nothing
                trx(TRX_IN, {9, 10, 11, 12, 13, 14, 15, 16}, PID_ACK),
                trx(TRX_IN, {17, 18}, PID_ACK),
                trx(TRX_OUT, {}, PID_ACK)};
  auto& d = t.findData();
  ASSERT_EQ(d.size(), 18u);
  for (size_t k = 0; k < 18; ++k)
    EXPECT_EQ(d[k], k + 1);
  EXPECT_TRUE(t.statusDone);

  // Once found, the bytes are kept: later calls neither walk the children again nor touch
  // statusDone.
  t.children.push_back(trx(TRX_IN, {19, 20}, PID_ACK));
  t.statusDone = false;
  EXPECT_EQ(t.findData().size(), 18u);
  EXPECT_FALSE(t.statusDone);
}

TEST(TransferFindData, ControlWriteWithoutDataStage) {
  Ttransfer t(TFR_CONTROL);
  t.children = {trx(TRX_SETUP, setupBytes(0x00), PID_ACK), trx(TRX_IN, {}, PID_ACK)};
  EXPECT_TRUE(t.findData().empty());
  EXPECT_TRUE(t.statusDone);
}

TEST(TransferFindData, NoUsableSetupGivesNothing) {
  Ttransfer seven(TFR_CONTROL);
  seven.children = {trx(TRX_SETUP, setupBytes(0x80, 7), PID_ACK), trx(TRX_IN, {1}, PID_ACK),
                    trx(TRX_OUT, {}, PID_ACK)};
  EXPECT_TRUE(seven.findData().empty());
  EXPECT_FALSE(seven.statusDone);
  Ttransfer none(TFR_CONTROL);
  none.children = {trx(TRX_IN, {1}, PID_ACK), trx(TRX_OUT, {}, PID_ACK)};
  EXPECT_TRUE(none.findData().empty());
  EXPECT_FALSE(none.statusDone);
}
