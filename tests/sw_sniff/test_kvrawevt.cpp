// Tests of the packet decoder: line states to reset and packet rows, and the real captures.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <sstream>

#include "kvrawevt.h"
#include "kvrowutils.h"
#include "linestates.h"

using kvtest::nrziStates;
using kvtest::rawFromStates;
using kvtest::rawFromStatesSix;

namespace {

const std::string SYNC = "KJKJKJKK";

std::string packet(const std::vector<uint8_t>& bytes, const std::string& sync = SYNC) {
  return sync + nrziStates(bytes) + "00";
}

TrowVec decode(const std::vector<uint8_t>& raw) {
  Tevents ev(raw);
  TrowVec rows;
  ev.getEvents(rows);
  return rows;
}

TrowVec decodeStates(const std::string& states) { return decode(rawFromStates(states)); }

template <typename T>
std::shared_ptr<T> as(const TrowPtr& r) {
  return std::dynamic_pointer_cast<T>(r);
}

std::string dataDir() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  return env ? env : KV_TEST_DATA_DIR;
}

std::string readText(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

}  // namespace

TEST(DecoderResets, AnySe0OutsideAPacketIsAReset) {
  auto rows = decodeStates("JJ0JJJ");
  ASSERT_EQ(rows.size(), 1u);
  auto r = as<Treset>(rows[0]);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->strt, 2u);
  EXPECT_EQ(r->duration, 1u);
  EXPECT_EQ(r->idleTicks, 3u);
  // A reset at the very end has no idle run: no row.
  EXPECT_TRUE(decodeStates("JJJJJ0").empty());
}

TEST(DecoderPackets, HandshakeWithTimesAndIdle) {
  // Idle J, sync, ACK, then SE0 SE0 J in one symbol byte: the idle run is that J.
  auto rows = decodeStates("JJ" + SYNC + "JJKJJKKK" + "00" + "JJJJ");
  ASSERT_EQ(rows.size(), 1u);
  auto h = as<Thandshake>(rows[0]);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->pid, PID_ACK);
  EXPECT_EQ(h->strt, 2u);
  EXPECT_EQ(h->idleTicks, 1u);
  EXPECT_EQ(h->depth, 0u);
}

TEST(DecoderPackets, ShortSyncDecodesAndBadSyncIsDropped) {
  auto rows = decodeStates("J" + packet({0xD2}, "KJKJKK") + "JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_ACK);
  rows = decodeStates("J" + packet({0xD2}, "KKJKJKKK") + "JJJ" + packet({0x5A}) + "JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_NAK);
  // A valid sync with fewer than eight bits after it has no PID: dropped, decoding goes on.
  rows = decodeStates("J" + SYNC + "JJK00JJJ" + packet({0x5A}) + "JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_NAK);
}

TEST(DecoderPackets, Se1InsideAPacketIsOneJBit) {
  // The SE1 run (two ticks, one symbol byte) stands for the second J of the PID.
  std::string ack = nrziStates({0xD2});  // JJKJJKKK
  auto rows = decodeStates("J" + SYNC + "J" + "11" + ack.substr(2) + "00JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_ACK);
}

TEST(DecoderPackets, DataPacketsAndTheirCrc) {
  auto rows = decodeStates("J" + packet({0xC3, 0x00, 0x00}) + "JJJ" + packet({0xC3, 0x00, 0x01}) + "JJJ" +
                           packet({0xC3}) + "JJJ" + packet({0x4B, 0x01, 0x02, 0x03, 0x42, 0x4D}) + "JJJ");
  ASSERT_EQ(rows.size(), 4u);
  auto zlp = as<Tdata>(rows[0]);
  ASSERT_TRUE(zlp);
  EXPECT_TRUE(zlp->data.empty());
  EXPECT_EQ(zlp->crc16, 0);
  EXPECT_TRUE(zlp->crcOK);
  auto bad = as<Tdata>(rows[1]);
  EXPECT_EQ(bad->crc16, 0x0100);
  EXPECT_FALSE(bad->crcOK);
  auto pidOnly = as<Tdata>(rows[2]);
  EXPECT_TRUE(pidOnly->data.empty());
  EXPECT_EQ(pidOnly->crc16, 0);
  EXPECT_TRUE(pidOnly->crcOK);
  auto three = as<Tdata>(rows[3]);
  EXPECT_EQ(three->pid, PID_DATA1);
  EXPECT_EQ(three->data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(rowutils::toString(three).substr(0, 2), "0;");
}

TEST(DecoderPackets, TokenAndSofFields) {
  auto rows = decodeStates("J" + packet({0x2D, 0x00, 0x10}) + "JJJ" + packet({0xA5, 0xF7, 0x65}) + "JJJ" +
                           packet({0x69, 0x85}) + "JJJ");
  ASSERT_EQ(rows.size(), 3u);
  auto setup = as<Ttoken>(rows[0]);
  ASSERT_TRUE(setup);
  EXPECT_EQ(setup->pid, PID_SETUP);
  EXPECT_EQ(setup->addr, 0u);
  EXPECT_EQ(setup->endp, 0u);
  EXPECT_EQ(setup->crc5, 2u);
  EXPECT_TRUE(setup->crcOK);
  auto sof = as<Tsof>(rows[1]);
  ASSERT_TRUE(sof);
  EXPECT_EQ(sof->frame, 0x5F7u);
  EXPECT_EQ(sof->crc5, 0x65u >> 3);
  // A token missing its second field byte reads it as 0.
  auto in = as<Ttoken>(rows[2]);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->addr, 5u);
  EXPECT_EQ(in->endp, 1u);
  EXPECT_FALSE(in->crcOK);
}

TEST(DecoderPackets, PidCheckNibbleIsNotCompared) {
  auto rows = decodeStates("J" + packet({0x02}) + "JJJ" + packet({0x96}) + "JJJ" + packet({0x87, 0, 0}) + "JJJ" +
                           packet({0x0F, 0, 0}) + "JJJ");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_ACK);
  EXPECT_EQ(as<Thandshake>(rows[1])->pid, PID_NYET);
  EXPECT_EQ(as<Tdata>(rows[2])->pid, PID_DATA2);
  EXPECT_EQ(as<Tdata>(rows[3])->pid, PID_MDATA);
}

TEST(DecoderPackets, SpecialAndReservedPidsGiveNoRowAndDecodingGoesOn) {
  auto rows = decodeStates("J" + packet({0xB4, 0x00, 0x10}) + "JJJ" + packet({0xF0}) + "JJJ" + packet({0x3C}) +
                           "JJJ" + packet({0xD2}) + "JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_ACK);
}

TEST(DecoderPackets, EndOfPacketSplitOverTwoRuns) {
  // Sync (8) + ACK (8) + one idle J before = 17 samples: the first SE0 completes a symbol
  // byte, the second starts the next one, so they are two runs.
  auto rows = decodeStates("J" + SYNC + "JJKJJKKK" + "0" + "0JJ" + "JJJ");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->idleTicks, 1u);  // the second SE0 run
}

TEST(DecoderPackets, StreamEndingInsideOrRightAfterAPacketGivesNoRow) {
  // No end of packet before the data ends.
  EXPECT_TRUE(decodeStates("J" + SYNC + "JJKJJKKK").empty());
  // End of packet in the last symbol byte: no idle run after it.
  EXPECT_TRUE(decodeStates("JJJ" + SYNC + "JJKJJKKK" + "00").empty());
  // The packet before it is kept.
  EXPECT_EQ(decodeStates("J" + packet({0x5A}) + "JJJJ" + SYNC + "JJKJJ").size(), 1u);
}

TEST(DecoderPackets, OverlongPacketsAreDroppedAndDecodingGoesOn) {
  // A K, then a J run of about two billion ticks claimed by a few count bytes, then an end of
  // packet: no row, and the ACK after it decodes.
  std::vector<uint8_t> raw = kvtest::rawBytes({0x1F, 0xBF, 0xDF, 0xDF, 0xDF, 0xDF, 0x42, 0x81});
  auto tail = rawFromStates("J" + packet({0xD2}) + "JJJ");
  raw.insert(raw.end(), tail.begin() + 8, tail.end());
  auto rows = decode(raw);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(as<Thandshake>(rows[0])->pid, PID_ACK);
  // 65,536 bit times still make a row; one more does not.
  EXPECT_EQ(decodeStates("J" + SYNC + "J{65527}" + "00JJJ").size(), 1u);
  EXPECT_TRUE(decodeStates("J" + SYNC + "J{65528}" + "00JJJ").empty());
  // A long K run is no sync.
  EXPECT_TRUE(decodeStates("J" + std::string(20, 'K') + "JJKJJKKK00JJJ").empty());
}

TEST(DecoderSteps, UnstuffingDropsTheBitAfterSixOnesWhateverItIs) {
  std::vector<uint8_t> out;
  Tevents::doUnStuff({1, 1, 1, 1, 1, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0}, 0, out);
  EXPECT_EQ(out, (std::vector<uint8_t>{0x7F}));
  Tevents::doUnStuff({1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 0, out);
  // Kept: six ones, (drop), six ones, (drop), one: 13 ones, one byte completed.
  EXPECT_EQ(out, (std::vector<uint8_t>{0xFF}));
  Tevents::doUnStuff({1, 1, 1, 1, 1, 1, 1}, 0, out);
  EXPECT_TRUE(out.empty());  // a last partial byte is dropped

  // The same in a decoded packet, with its samples two to three bits a byte or six a byte.
  for (const bool six : {false, true}) {
    const auto decodeAs = [six](const std::string& st) { return decode(six ? rawFromStatesSix(st) : rawFromStates(st)); };
    // Stuffed: the 0 after six ones is dropped, the payload reads 0xFF.
    auto rows = decodeAs("J" + packet({0xC3, 0xFF, 0x00, 0x00}) + "JJJ");
    ASSERT_EQ(rows.size(), 1u) << six;
    EXPECT_EQ(as<Tdata>(rows[0])->data, std::vector<uint8_t>{0xFF}) << six;
    // Not stuffed: the seventh one is dropped all the same, so 23 bits follow the PID.
    rows = decodeAs("J" + SYNC + nrziStates({0xC3, 0xFF, 0x00, 0x00}, false) + "00JJJ");
    ASSERT_EQ(rows.size(), 1u) << six;
    EXPECT_TRUE(as<Tdata>(rows[0])->data.empty()) << six;
    EXPECT_EQ(as<Tdata>(rows[0])->crc16, 0x007F) << six;
  }
}

// The decoder, whichever way the probe packed the samples, gives the bytes that the named steps
// give over the stored samples: random line levels after a DATA0 PID, with runs long enough to
// hold bits after six ones that are no stuffed bits.
TEST(DecoderSteps, DecoderAgreesWithTheNamedSteps) {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    std::mt19937 rng(seed);
    std::string levels = SYNC + nrziStates({0xC3});
    for (size_t n = 24 + rng() % 400; levels.size() < n + 16;) {
      const char next = levels.back() == 'J' ? 'K' : 'J';
      levels.append(1 + rng() % 10, next);
    }
    std::vector<uint8_t> samples;
    for (const char c : levels) samples.push_back(c == 'J' ? 1 : 0);
    ASSERT_EQ(Tevents::doSyncPattern(samples), 8);
    Tevents::doNRZI(samples, 8);
    std::vector<uint8_t> bytes;
    Tevents::doUnStuff(samples, 8, bytes);
    ASSERT_GE(bytes.size(), 3u);
    const std::vector<uint8_t> payload(bytes.begin() + 1, bytes.end() - 2);
    const int crc = bytes[bytes.size() - 2] | bytes.back() << 8;

    const std::string states = "J" + levels + "00JJJ";
    for (const auto& raw : {rawFromStates(states), rawFromStatesSix(states)}) {
      const auto rows = decode(raw);
      ASSERT_EQ(rows.size(), 1u) << "seed " << seed;
      const auto d = as<Tdata>(rows[0]);
      ASSERT_TRUE(d) << "seed " << seed;
      EXPECT_EQ(d->data, payload) << "seed " << seed;
      EXPECT_EQ(d->crc16, crc) << "seed " << seed;
    }
  }
}

TEST(DecoderSteps, EmptyOrHeaderlessStreamsGiveNoRows) {
  EXPECT_TRUE(decode({}).empty());
  EXPECT_TRUE(decode({'X', 'O', 'R', 'V', 'A', 'N', 'E', '.', 0x00, 0x42, 0x81}).empty());
  std::vector<uint8_t> raw;
  Tevents ev(raw);
  TrowVec rows;
  uint64_t pos = 99;
  EXPECT_FALSE(ev.getNextEvent(rows, pos));
  EXPECT_EQ(pos, 0u);
}

class RealCapture : public ::testing::TestWithParam<std::string> {};

TEST_P(RealCapture, EventRowsMatchTheRecording) {
  const std::string base = dataDir() + "/captures/" + GetParam();
  auto raw = readBytes(base + ".raw");
  ASSERT_FALSE(raw.empty()) << base;
  Tevents ev(raw);
  TrowVec rows;
  uint64_t pos = 0, last = 0;
  while (ev.getNextEvent(rows, pos)) {
    ASSERT_GE(pos, last);
    last = pos;
  }
  EXPECT_EQ(pos, raw.size());
  std::istringstream want(readText(base + ".events.txt"));
  std::string line;
  size_t i = 0;
  while (std::getline(want, line)) {
    ASSERT_LT(i, rows.size()) << "missing row " << i << ": " << line;
    ASSERT_EQ(rowutils::toString(rows[i]), line + "\n") << "first difference at event " << i;
    ++i;
  }
  EXPECT_EQ(i, rows.size());
}

INSTANTIATE_TEST_SUITE_P(Captures, RealCapture,
                         ::testing::Values("cp2102_setup_with_outdata_nak", "olimex_stm32-h103_usb_hid",
                                           "usb_failed_setup_fullspeed"));
