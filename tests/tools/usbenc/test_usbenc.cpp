// Tests of the USB traffic encoder: line states, stuffing, stream packing, real-capture bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "usbenc.h"

using namespace usbenc;

namespace {

// A line-state reader written apart from the core's, so that encoder and decoder cannot share a
// misreading of the stream format. Gives the runs exactly as a reader hands them out (merged
// within a symbol byte only).
struct StreamReading {
  std::vector<usbenc::Run> runs;
  std::string error;  // empty when the stream is well formed
};

StreamReading readStream(const std::vector<uint8_t>& s) {
  StreamReading r;
  if (s.size() < 8 || std::string(s.begin(), s.begin() + 8) != MAGIC) {
    r.error = "no magic";
    return r;
  }
  size_t i = 8;
  while (i < s.size()) {
    const uint8_t b = s[i++];
    Line smp[6];
    int n = 0;
    if ((b >> 6) == 0) {
      for (int k = 5; k >= 0; --k) smp[n++] = ((b >> k) & 1) ? Line::J : Line::K;
    } else if ((b >> 6) == 1) {
      for (int k = 2; k >= 0; --k) smp[n++] = static_cast<Line>((b >> (2 * k)) & 3);
    } else {
      r.error = "count byte where a symbol byte is due at " + std::to_string(i - 1);
      return r;
    }
    uint64_t e = 0, mult = 1;
    int chain = 0;
    while (i < s.size() && (s[i] & 0x80)) {
      const uint8_t c = s[i++];
      if ((c & 0xC0) == 0x80) {
        e += c & 0x3F;
        mult = 64;
        chain = 1;
      } else if ((c & 0xE0) == 0xC0) {
        e += (c & 0x1Fu) * mult;
        mult <<= 6;
        if (++chain > 5) r.error = "count chain longer than five bytes";
      } else {
        r.error = "byte 111xxxxx at " + std::to_string(i - 1);
        return r;
      }
    }
    const size_t first = r.runs.size();
    for (int k = 0; k < n; ++k) {
      const uint64_t t = 1 + (k == n - 1 ? e : 0);
      if (r.runs.size() > first && r.runs.back().state == smp[k])
        r.runs.back().ticks += t;
      else
        r.runs.push_back(usbenc::Run{smp[k], t});
    }
    if (r.runs.back().ticks > 0x7FFFFFFF) r.error = "run beyond 32 bits";
  }
  return r;
}

std::vector<usbenc::Run> merged(const std::vector<usbenc::Run>& runs) {
  std::vector<usbenc::Run> m;
  for (const usbenc::Run& x : runs) {
    if (!m.empty() && m.back().state == x.state)
      m.back().ticks += x.ticks;
    else
      m.push_back(x);
  }
  return m;
}

// Runs of one packet sent alone after 10 ticks of idle: sync to EOP, idle left out.
std::vector<usbenc::Run> packetRuns(const Event& e) {
  BusConfig c;
  c.keepRuns = true;
  Bus bus(c);
  bus.add(idle(10)).add(e);
  std::vector<usbenc::Run> r = bus.runs();
  return std::vector<usbenc::Run>(r.begin() + 1, r.end() - 1);
}

std::vector<Line> samplesOf(const std::vector<usbenc::Run>& runs) {
  std::vector<Line> s;
  for (const usbenc::Run& r : runs) s.insert(s.end(), r.ticks, r.state);
  return s;
}

std::vector<Line> lines(const std::string& text) {
  std::vector<Line> s;
  for (char c : text) {
    if (c == 'K') s.push_back(Line::K);
    if (c == 'J') s.push_back(Line::J);
    if (c == '0') s.push_back(Line::SE0);
  }
  return s;
}

}  // namespace

TEST(UsbEncPacket, HandshakeAndTokenLineStates) {
  // ACK: sync, the PID byte 0xD2 in NRZI, end of packet.
  EXPECT_EQ(samplesOf(packetRuns(ack())), lines("KJKJKJKK JJKJJKKK 00"));
  // SETUP to address 0 endpoint 0 sends 2D 00 10: the CRC5 of a zero field is 0b00010.
  EXPECT_EQ(packetBytes(setup(0, 0)), (std::vector<uint8_t>{0x2D, 0x00, 0x10}));
  EXPECT_EQ(tokenCrc5(0), 0x02);
  // A wrong check nibble changes only the upper half of the PID byte.
  EXPECT_EQ(packetBytes(ack().withBadPidCheck())[0], 0x22);
}

TEST(UsbEncPacket, CrcsAgreeWithRealTraffic) {
  // Values decoded from real captures.
  Bus bus;
  bus.add(sof(1128)).add(token(pid::IN, 2, 1)).add(data0({0x00, 0x01, 0x00, 0x00})).add(ack());
  bus.add(sof(1129).withBadCrc(0x01)).add(data1({}).withBadCrc(0x8000));
  EXPECT_EQ(bus.expectedText(),
            "0;S:5;TI:0;FR:1128;5P:02;TL:4\n"
            "0;K:9;TI:38;AD:2;EP:1;5P:03;TL:4\n"
            "0;D:3;TI:76;DA:00,01,00,00;6P:1bae;TL:4\n"
            "0;H:2;TI:146;TL:4\n"
            "0;S:5;TI:168;FR:1129;5F:1c;TL:4\n"
            "0;D:11;TI:206;DA:;6F:8000;TL:4\n");
}

TEST(UsbEncPacket, BitStuffingBoundaries) {
  // Bits go least significant first: 0x1F has five 1 bits in a row, 0x3F six (one stuff bit).
  const size_t base = samplesOf(packetRuns(rawPacket(0x4B, {0x1F}))).size();
  EXPECT_EQ(base, 8u + 16u + 2u);
  EXPECT_EQ(samplesOf(packetRuns(rawPacket(0x4B, {0x3F}))).size(), base + 1);
  // Six 1 bits at the very end still get their stuff bit before the end of packet.
  const std::vector<Line> tail = samplesOf(packetRuns(rawPacket(0x4B, {0xFC})));
  ASSERT_EQ(tail.size(), base + 1);
  EXPECT_NE(tail[tail.size() - 3], tail[tail.size() - 4]);  // the stuff bit toggles the line
  // Long runs of 1 bits: one stuff bit per six, never more than seven equal levels in a row.
  for (size_t len : {1u, 3u, 64u}) {
    const std::vector<usbenc::Run> r = packetRuns(rawPacket(0x4B, std::vector<uint8_t>(len, 0xFF)));
    uint64_t longest = 0;
    for (const usbenc::Run& x : r) longest = std::max(longest, x.ticks);
    EXPECT_EQ(longest, 7u) << len;
    EXPECT_EQ(samplesOf(r).size(), 8 + 8 + 8 * len + (8 * len) / 6 + 2) << len;
  }
  // A stuff bit sent as 1 holds the line for eight bit times; an omitted one shortens the packet.
  const Event six = rawPacket(0x4B, {0x3F});
  uint64_t longest = 0;
  for (const usbenc::Run& x : packetRuns(six.withStuffFault(StuffFault::BitIsOne))) longest = std::max(longest, x.ticks);
  EXPECT_EQ(longest, 8u);
  EXPECT_EQ(samplesOf(packetRuns(six.withStuffFault(StuffFault::Omitted))).size(),
            samplesOf(packetRuns(six)).size() - 1);
}

TEST(UsbEncStream, CountBytesAsRealStreamsWriteThem) {
  // 11320 ticks of J: six samples and E = 11314 = 50 + 48*64 + 2*4096; the digit 48 does not fit
  // five bits, so a second chain adds 17*64.
  Bus bus;
  bus.add(idle(11320)).add(sof(1128).withIdle(11966));
  const std::vector<uint8_t>& s = bus.stream();
  const std::vector<uint8_t> head(s.begin() + 8, s.begin() + 14);
  EXPECT_EQ(head, (std::vector<uint8_t>{0x3F, 0xB2, 0xDF, 0xC2, 0x80, 0xD1}));
}

// Every line-state run arrives: neighbours of the same state split over symbol bytes add up to
// the run given, and every run the decoder measures (SE0, SE1, the run after an SE0) is whole.
TEST(UsbEncStream, RunsSurvivePacking) {
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    RandomOptions o;
    o.faultRate = 0.3;
    o.unpredictable = true;
    o.oddPackets = true;
    BusConfig c;
    c.keepRuns = true;
    c.interPacketIdle = 1 + seed % 3;
    Bus bus(c);
    bus.add(randomEvents(seed, 1500, o));
    bus.add(glitch(Line::SE0, 2)).add(idle(5000000000ull)).add(ack());  // idle beyond one run
    const StreamReading rd = readStream(bus.stream());
    ASSERT_EQ(rd.error, "") << "seed " << seed;
    const std::vector<usbenc::Run>& logical = bus.runs();
    ASSERT_EQ(merged(rd.runs), logical) << "seed " << seed;

    size_t k = 0;
    for (size_t i = 0; i < logical.size(); ++i) {
      const bool measured = logical[i].state == Line::SE0 || logical[i].state == Line::SE1 ||
                            (i > 0 && logical[i - 1].state == Line::SE0);
      if (measured) {
        ASSERT_EQ(rd.runs[k].ticks, std::min(logical[i].ticks, MAX_RUN_TICKS))
            << "seed " << seed << " run " << i;
      }
      uint64_t sum = 0;
      while (sum < logical[i].ticks) sum += rd.runs[k++].ticks;
    }
  }
}

TEST(UsbEncStream, StreamEndsOnIdle) {
  // A short last idle is lengthened to three ticks, so the last symbol byte can hold it.
  Bus bus;
  bus.add(ack().withIdle(1));
  EXPECT_EQ(bus.expectedText(), "0;H:2;TI:0;TL:3\n");
  EXPECT_EQ(readStream(bus.stream()).error, "");
  Bus empty;
  EXPECT_EQ(empty.stream().size(), 8u + 1u);  // magic and one byte of J
}

TEST(UsbEncExpect, RowsFollowTheLineStates) {
  // A reset's length and idle; a lost leading sync J joins the idle before it; two stray SE0
  // runs in a row are one reset; a packet right after an SE0 run cannot be predicted.
  Bus bus;
  bus.add(idle(10)).add(reset(100).withIdle(7)).add(ack().withSyncLost(1));
  bus.add(glitch(Line::SE0, 2)).add(glitch(Line::SE0, 3)).add(idle(5)).add(nak());
  bus.add(glitch(Line::SE0, 1)).add(nak());
  EXPECT_EQ(bus.expectedText(),
            "0;Y:Reset;TI:10;RL:100;TL:8\n"
            "0;H:2;TI:118;TL:4\n"
            "0;Y:Reset;TI:138;RL:5;TL:5\n"
            "0;H:10;TI:148;TL:4\n"
            "0;Y:Reset;TI:170;RL:1;TL:1\n");
  std::vector<Outcome> o;
  for (const Expected& x : bus.expected()) o.push_back(x.outcome);
  EXPECT_EQ(o, (std::vector<Outcome>{Outcome::Row, Outcome::Row, Outcome::Row, Outcome::NoRow,
                                     Outcome::Row, Outcome::Row, Outcome::Unknown}));
}

TEST(UsbEncExpect, CompareRowsSkipsUnknownAndNoRow) {
  const std::vector<Expected> x = {{Outcome::Row, "a\n", 0},
                                   {Outcome::Unknown, "", 1},
                                   {Outcome::NoRow, "", 2},
                                   {Outcome::Row, "b\n", 3}};
  EXPECT_EQ(compareRows(x, {"a\n", "b\n"}), "");
  EXPECT_EQ(compareRows(x, {"a\n", "junk\n", "b\n"}), "");
  EXPECT_NE(compareRows(x, {"a\n", "junk\n", "more\n", "b\n"}), "");
  EXPECT_NE(compareRows(x, {"a\n"}), "");
  EXPECT_NE(compareRows(x, {"b\n"}), "");
}

// Re-encoding the events of a real capture, with its start ticks and idle lengths, gives back
// the capture's raw stream byte for byte: the encoder writes streams the way the probe does.
class UsbEncRealCapture : public ::testing::TestWithParam<std::string> {};

TEST_P(UsbEncRealCapture, ReencodesByteForByte) {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  const std::string dir = std::string(env ? env : KV_TEST_DATA_DIR) + "/captures/";
  std::ifstream rawFile(dir + GetParam() + ".raw", std::ios::binary);
  std::ifstream rowsFile(dir + GetParam() + ".events.txt");
  ASSERT_TRUE(rawFile && rowsFile);
  const std::vector<uint8_t> raw((std::istreambuf_iterator<char>(rawFile)), {});

  Bus bus;
  std::string line, text;
  while (std::getline(rowsFile, line)) {
    std::map<std::string, std::string> f;
    std::istringstream ls(line);
    std::string field;
    while (std::getline(ls, field, ';')) {
      const size_t c = field.find(':');
      if (c != std::string::npos) f[field.substr(0, c)] = field.substr(c + 1);
    }
    const uint64_t strt = std::stoull(f["TI"]);
    ASSERT_LE(bus.now(), strt) << line;
    bus.add(idle(strt - bus.now()));
    const uint64_t tl = std::stoull(f["TL"]);
    Event e;
    if (f.count("S")) {
      e = sof(static_cast<uint16_t>(std::stoi(f["FR"])));
    } else if (f.count("K")) {
      e = token(std::stoi(f["K"]), static_cast<uint8_t>(std::stoi(f["AD"])),
                static_cast<uint8_t>(std::stoi(f["EP"])));
    } else if (f.count("D")) {
      std::vector<uint8_t> payload;
      std::istringstream ds(f["DA"]);
      std::string byte;
      while (std::getline(ds, byte, ',')) payload.push_back(static_cast<uint8_t>(std::stoi(byte, nullptr, 16)));
      e = data(std::stoi(f["D"]), payload);
    } else {
      ASSERT_TRUE(f.count("H")) << line;
      e = handshake(std::stoi(f["H"]));
    }
    bus.add(e.withIdle(tl));
    text += line + "\n";
  }
  EXPECT_EQ(bus.expectedText(), text);
  const std::vector<uint8_t>& mine = bus.stream();
  size_t i = 0;
  while (i < mine.size() && i < raw.size() && mine[i] == raw[i]) ++i;
  EXPECT_EQ(i, raw.size()) << "first difference at byte " << i;
  EXPECT_EQ(mine.size(), raw.size());
}

INSTANTIATE_TEST_SUITE_P(Captures, UsbEncRealCapture,
                         ::testing::Values("cp2102_setup_with_outdata_nak", "olimex_stm32-h103_usb_hid",
                                           "usb_failed_setup_fullspeed"));

TEST(UsbEncScenario, EnumerationFitsFrames) {
  // SOFs at exact frame starts with consecutive frame numbers; no CRC errors; 11 control
  // transfers (SET_IDLE included).
  Bus bus;
  Host host(bus);
  enumerateHid(host, 7, 1);
  std::istringstream in(bus.expectedText());
  std::string line;
  uint64_t firstTick = 0, firstFrame = 0, sofs = 0, setups = 0;
  while (std::getline(in, line)) {
    if (line.rfind("0;S:5;", 0) == 0) {
      const uint64_t ti = std::stoull(line.substr(line.find("TI:") + 3));
      const uint64_t fr = std::stoull(line.substr(line.find("FR:") + 3));
      if (sofs++ == 0) {
        firstTick = ti;
        firstFrame = fr;
      }
      EXPECT_EQ(ti - firstTick, (fr - firstFrame) * FRAME_TICKS) << line;
    }
    if (line.rfind("0;K:13;", 0) == 0) ++setups;
    EXPECT_EQ(line.find("5F:"), std::string::npos) << line;
    EXPECT_EQ(line.find("6F:"), std::string::npos) << line;
  }
  EXPECT_EQ(setups, 11u);
  EXPECT_GE(sofs, 8u);
  EXPECT_EQ(readStream(bus.stream()).error, "");
}
