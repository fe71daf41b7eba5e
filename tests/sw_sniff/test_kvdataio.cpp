// Tests of the flat row list, the decode steps and sample files.
#include <gtest/gtest.h>

#include "kvrawevt.h"
#include "kvrawgrp.h"
#include "pipe_helpers.h"
#include "usbenc.h"

using namespace kvtest;

namespace {

struct Views {
  std::shared_ptr<TrowVec> events = std::make_shared<TrowVec>();
  std::shared_ptr<TrowVec> roots = std::make_shared<TrowVec>();
  std::shared_ptr<TlinRowVec> lin = std::make_shared<TlinRowVec>();
};

/// Roots and flat list made by grouping and flattening the given event rows.
Views flatten(const TrowVec& events) {
  Views v;
  *v.events = events;
  TdataIO io;
  io.eventVecToTreeRootVec(v.events, v.roots);
  io.treeRootVecToLinVec(v.roots, v.lin);
  return v;
}

/// Views that already hold something, to see whether a failed load touches them.
Views filledViews() { return flatten({mkSof(1), mkSof(2), mkReset()}); }

void expectUntouched(const Views& v) {
  EXPECT_EQ(v.roots->size(), 2u);
  EXPECT_EQ(v.lin->size(), 4u);
}

struct Expect {
  int handle;
  int parent;
  uint32_t ordinal;
  uint8_t flags;
};

void expectLin(const TlinRowVec& lin, const std::vector<Expect>& want) {
  ASSERT_EQ(lin.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(lin[i].row->handle, want[i].handle) << "row " << i;
    EXPECT_EQ(lin[i].row->parent, want[i].parent) << "row " << i;
    EXPECT_EQ(lin[i].row->ordinal, want[i].ordinal) << "row " << i;
    EXPECT_EQ(lin[i].flags, want[i].flags) << "row " << i;
  }
}

const std::string MAGIC = "KVFMT01\n";

std::string sampleFile(const std::string& body) { return MAGIC + std::to_string(body.size()) + "\n" + body; }

/// Every handle is its index and every parent an earlier group: what any load must give.
void expectConsistent(const TlinRowVec& lin) {
  for (size_t i = 0; i < lin.size(); ++i) {
    ASSERT_EQ(lin[i].row->handle, static_cast<int>(i));
    const int p = lin[i].row->parent;
    ASSERT_LT(p, static_cast<int>(i));
    if (p >= 0) {
      ASSERT_TRUE(asGroup(lin[static_cast<size_t>(p)].row));
      ASSERT_EQ(lin[i].row->depth, lin[static_cast<size_t>(p)].row->depth + 1);
    }
  }
}

std::string withoutChildCounts(const std::string& text) {
  std::string out;
  for (const auto& line : splitLines(text)) {
    const size_t x = line.find(";X:");
    out += (x == std::string::npos ? line : line.substr(0, x)) + "\n";
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- flattening

TEST(TdataIO, FlatteningNumbersRowsInPreOrder) {
  TrowVec ev{mkReset(),
             mkSof(1), mkSof(2), mkSof(3),
             mkHs(PID_ACK), mkSof(4),
             mkToken(PID_SETUP, 1, 0), mkData(PID_DATA0, 8), mkHs(PID_ACK),
             mkToken(PID_IN, 1, 0), mkHs(PID_NAK),
             mkToken(PID_OUT, 2, 0)};
  Views v = flatten(ev);
  expectLin(*v.lin, {
                        {0, -1, 1, 0x00},    // reset
                        {1, -1, 1, 0x05},    // SOF group: first of sofGroups
                        {2, 1, 1, 0x05},     // its SOFs count as packets
                        {3, 1, 2, 0x05},
                        {4, 1, 3, 0x05},
                        {5, -1, 4, 0x04},    // stray handshake
                        {6, -1, 5, 0x05},    // lone SOF at the root
                        {7, -1, 1, 0x00},    // transfer
                        {8, 7, 1, 0x00},     // its SETUP transaction: first of transactions
                        {9, 8, 6, 0x04},
                        {10, 8, 7, 0x04},
                        {11, 8, 8, 0x04},
                        {12, 7, 2, 0x00},    // IN transaction inside the transfer
                        {13, 12, 9, 0x04},
                        {14, 12, 10, 0x04},
                        {15, -1, 3, 0x00},   // OUT transaction at the root (another endpoint)
                        {16, 15, 11, 0x04},
                    });
  // The flat list shares the row objects of the tree and the events.
  EXPECT_EQ((*v.lin)[0].row, ev[0]);
  EXPECT_EQ((*v.lin)[16].row, ev[11]);
}

TEST(TdataIO, FlatteningSkipsRowsOfNoKind) {
  TdataIO io;
  auto lin = std::make_shared<TlinRowVec>();
  io.treeRow2Linear(std::make_shared<Tbase>(), -1, lin, 0);
  io.treeRow2Linear(nullptr, -1, lin, 0);
  EXPECT_TRUE(lin->empty());
}

TEST(TdataIO, LoadRawDataEmptyViewsGiveZero) {
  Views v = filledViews();
  TdataIO io;
  EXPECT_EQ(io.loadRawData({}, v.events, v.roots, v.lin), 0u);
  EXPECT_TRUE(v.events->empty() && v.roots->empty() && v.lin->empty());

  v = filledViews();
  const std::vector<uint8_t> noMagic{'X', 'O', 'R', 'V', 'A', 'N', 'E', '.', 0x55, 0x55};
  EXPECT_EQ(io.loadRawData(noMagic, v.events, v.roots, v.lin), 0u);
  EXPECT_TRUE(v.events->empty() && v.roots->empty() && v.lin->empty());

  auto events = std::make_shared<TrowVec>(TrowVec{mkSof()});
  io.rawDataToEventVec({}, events, nullptr);
  EXPECT_TRUE(events->empty());
}

// ---------------------------------------------------------------- sample file: reader rules

TEST(SampleFile, ReaderAttachesRowsByDepth) {
  const std::string body =
      "0;C:CONTROL;X:1\n"
      "  1;T:SETUP;X:3\n"
      "    2;K:13;TI:100;AD:0;EP:0;5P:02;TL:4\n"
      "    2;D:3;TI:139;DA:80,06,00,01,00,00,40,00;6P:94dd;TL:4\n"
      "    2;H:2;TI:251;TL:20\n"
      "-\n"
      "\n"
      "\n"
      "0;Q:7\n"                      // no row kind: skipped, not counted
      "0;T:IN;X:2\n"
      "  1;K:9;TI:300;AD:5;EP:1;5P:0c;TL:6\n"
      "  1;H:10;TI:341;TL:8000\n"
      "    2;H:2;TI:9000;TL:1\n"     // joins the SETUP transaction, the last group at depth 1
      "0;S:5;TI:9999;FR:3;5P:0c;TL:1";  // last line without a newline
  TempDir tmp;
  writeGz(tmp.path("a.kvd"), sampleFile(body));
  Views v;
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(tmp.path("a.kvd"), v.roots, v.lin), 10u);
  ASSERT_EQ(v.roots->size(), 3u);
  expectLin(*v.lin, {
                        {0, -1, 1, 0x00},  // transfer
                        {1, 0, 1, 0x00},   // SETUP transaction
                        {2, 1, 1, 0x04},
                        {3, 1, 2, 0x04},
                        {4, 1, 3, 0x04},
                        {5, 1, 4, 0x04},   // the late handshake
                        {6, -1, 2, 0x00},  // IN transaction
                        {7, 6, 5, 0x04},
                        {8, 6, 6, 0x04},
                        {9, -1, 7, 0x05},  // SOF
                    });
  EXPECT_EQ(rowutils::toString((*v.lin)[5].row), "    2;H:2;TI:9000;TL:1\n");
  EXPECT_EQ(rowutils::toString((*v.lin)[9].row), "0;S:5;TI:9999;FR:3;5P:0c;TL:1\n");
  EXPECT_TRUE(io.Fparents.empty());  // it pointed into the rows of this load only

  // The same content uncompressed loads alike.
  writeFile(tmp.path("plain.kvd"), sampleFile(body));
  Views p;
  TdataIO io2;
  EXPECT_EQ(io2.loadLinearFile(tmp.path("plain.kvd"), p.roots, p.lin), 10u);
  EXPECT_EQ(compareLin(*v.lin, *p.lin), "");
}

TEST(SampleFile, RowsWithoutOpenLevelAreCountedAndDropped) {
  TempDir tmp;
  // A packet at depth 1 first: no parent. A group at depth 1 first: its level would skip one,
  // so it and its child are dropped as well.
  writeGz(tmp.path("a.kvd"), sampleFile("  1;H:2;TI:1;TL:1\n"
                                        "  1;T:IN;X:1\n"
                                        "    2;K:9;TI:2;AD:1;EP:0;5P:00;TL:1\n"
                                        "0;H:10;TI:3;TL:1\n"
                                        "  1;K:9;TI:4;AD:1;EP:0;5P:00;TL:1\n"));
  Views v;
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(tmp.path("a.kvd"), v.roots, v.lin), 5u);
  ASSERT_EQ(v.lin->size(), 1u);
  EXPECT_EQ(rowutils::toString((*v.lin)[0].row), "0;H:10;TI:3;TL:1\n");

  // Only dropped rows: the count says rows were read, the flat list is empty.
  writeGz(tmp.path("b.kvd"), sampleFile("    2;H:2;TI:1;TL:1\n"));
  Views w;
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("b.kvd"), w.roots, w.lin), 1u);
  EXPECT_TRUE(w.lin->empty());
}

// Groups nested far beyond anything the grouper makes stop at the level limit instead of
// overflowing the stack while the tree is flattened or freed.
TEST(SampleFile, DeepNestingIsBounded) {
  std::string body;
  const int levels = 100000;
  for (int d = 0; d < levels; ++d) body += std::to_string(d) + ";C:CONTROL;X:1\n";
  body += std::to_string(levels) + ";H:2;TI:1;TL:1\n";
  body += "2147483647;T:IN;X:0\n";  // its level does not fit an int
  body += "0;H:10;TI:3;TL:1\n";     // still a root afterwards
  TempDir tmp;
  writeGz(tmp.path("deep.kvd"), sampleFile(body));
  Views v;
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(tmp.path("deep.kvd"), v.roots, v.lin), static_cast<uint32_t>(levels + 3));
  ASSERT_EQ(v.lin->size(), static_cast<size_t>(TdataIO::MAX_LEVELS - 1 + 1));
  EXPECT_EQ(v.roots->size(), 2u);
  expectConsistent(*v.lin);

  EXPECT_FALSE(io.setParentList(v.roots.get(), -1));
  EXPECT_FALSE(io.setParentList(v.roots.get(), TdataIO::MAX_LEVELS));
  EXPECT_FALSE(io.setParentList(v.roots.get(), 1));  // would skip level 0
  EXPECT_TRUE(io.setParentList(v.roots.get(), 0));
}

TEST(SampleFile, HeaderRules) {
  TempDir tmp;
  const std::string row = "0;H:2;TI:1;TL:1\n";
  struct Case {
    const char* what;
    std::string content;
    uint32_t rows;
  } cases[] = {
      {"7 bytes", "KVFMT01", 0},
      {"magic only", MAGIC, 0},
      {"letter after the digits", MAGIC + "16x\n" + row, 0},
      {"sign", MAGIC + "-16\n" + row, 0},
      {"data ends in the length line", MAGIC + "16", 0},
      {"magic content not compared", "XXXXXXXX" + std::to_string(row.size()) + "\n" + row, 1},
      {"wrong length value not used", MAGIC + "999\n" + row, 1},
      {"empty length line", MAGIC + "\n" + row, 1},
      {"12 digits, newline read as an empty line", MAGIC + "123456789012\n" + row, 1},
      {"13 digits: the 13th starts a line", MAGIC + "1234567890123\n" + row, 1},
  };
  for (const auto& c : cases) {
    writeGz(tmp.path("h.kvd"), c.content);
    Views v = filledViews();
    EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("h.kvd"), v.roots, v.lin), c.rows) << c.what;
    if (c.rows == 0) expectUntouched(v);  // every rejection here happens before the rows
  }
  for (const std::string& path : {tmp.path("missing.kvd"), tmp.path("")}) {  // a directory
    Views v = filledViews();
    EXPECT_EQ(TdataIO().loadLinearFile(path, v.roots, v.lin), 0u) << path;
    expectUntouched(v);
  }
}

TEST(SampleFile, EmptyFlatListSavesHeaderOnly) {
  TempDir tmp;
  TdataIO io;
  EXPECT_EQ(io.saveLinearToFile(std::make_shared<TlinRowVec>(), tmp.path("e.kvd")), 0u);
  EXPECT_EQ(readGz(tmp.path("e.kvd")), "KVFMT01\n0\n");
  Views v = filledViews();
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("e.kvd"), v.roots, v.lin), 0u);
  EXPECT_TRUE(v.lin->empty());
  // Written compressed: the file starts with the gzip magic.
  EXPECT_EQ(readFile(tmp.path("e.kvd")).substr(0, 2), "\x1f\x8b");
}

TEST(SampleFile, FailedWritesReturnZero) {
  Views v = flatten({mkSof(1), mkSof(2), mkReset()});
  TempDir tmp;
  EXPECT_EQ(TdataIO().saveLinearToFile(v.lin, tmp.path("no/dir/x.kvd")), 0u);
  EXPECT_EQ(TdataIO().saveEventsToFile(v.events, tmp.path("no/dir/x.txt")), 0u);
  if (std::filesystem::exists("/dev/full")) {
    // The device takes the open but no byte: the failure shows at the write or the close.
    EXPECT_EQ(TdataIO().saveLinearToFile(v.lin, "/dev/full"), 0u);
    EXPECT_EQ(TdataIO().saveEventsToFile(v.events, "/dev/full"), 0u);
  }
  EXPECT_EQ(TdataIO().saveEventsToFile(v.events, tmp.path("ev.txt")), 3u);
  EXPECT_EQ(readFile(tmp.path("ev.txt")), rowsText(*v.events));
}

TEST(SampleFile, RawFileOf4GiBIsRefused) {
  TempDir tmp;
  Views v = filledViews();
  EXPECT_EQ(TdataIO().loadRawFile(tmp.path("missing.raw"), v.events, v.roots, v.lin), 0u);
  EXPECT_TRUE(v.events->empty() && v.lin->empty());

  const std::string big = tmp.path("big.raw");
  {
    std::ofstream out(big, std::ios::binary);
    out << "KORVANE.";
  }
  std::error_code ec;
  std::filesystem::resize_file(big, uint64_t{1} << 32, ec);  // sparse: nothing is stored
  if (ec) GTEST_SKIP() << "no sparse file: " << ec.message();
  v = filledViews();
  EXPECT_EQ(TdataIO().loadRawFile(big, v.events, v.roots, v.lin), 0u);
  EXPECT_TRUE(v.events->empty() && v.roots->empty() && v.lin->empty());
}

// ---------------------------------------------------------------- real captures

class Capture : public ::testing::TestWithParam<std::string> {
 protected:
  std::string file(const std::string& ext) const { return captureDir() + "/" + GetParam() + ext; }
};

TEST(CaptureSet, CapturesArePresent) { EXPECT_GE(captureNames().size(), 3u) << captureDir(); }

TEST_P(Capture, EventsAndFlatListEqualGoldens) {
  const auto raw = readBytes(file(".raw"));
  ASSERT_FALSE(raw.empty());
  Views v;
  TdataIO io;
  std::vector<size_t> progress;
  io.rawDataToEventVec(raw, v.events, [&](size_t pos) { progress.push_back(pos); });
  // Before grouping every event row is at depth 0.
  const std::string events = rowsText(*v.events);
  const std::string wantEvents = readFile(file(".events.txt"));
  EXPECT_EQ(events, wantEvents) << firstDifference(wantEvents, events);
  ASSERT_GE(progress.size(), v.events->size());  // runs between packets report progress too
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_LE(progress.back(), raw.size());

  io.eventVecToTreeRootVec(v.events, v.roots);
  io.treeRootVecToLinVec(v.roots, v.lin);
  const std::string rows = linText(*v.lin);
  const std::string wantRows = readFile(file(".rows.txt"));
  EXPECT_EQ(rows, wantRows) << firstDifference(wantRows, rows);
  expectConsistent(*v.lin);

  // The one-call forms give the same flat list.
  Views w;
  EXPECT_EQ(TdataIO().loadRawData(raw, w.events, w.roots, w.lin), v.lin->size());
  EXPECT_EQ(compareLin(*v.lin, *w.lin), "");
  Views f;
  EXPECT_EQ(TdataIO().loadRawFile(file(".raw"), f.events, f.roots, f.lin), v.lin->size());
  EXPECT_EQ(compareLin(*v.lin, *f.lin), "");
}

TEST_P(Capture, SaveLoadSaveIsIdentical) {
  Views v;
  ASSERT_GT(TdataIO().loadRawFile(file(".raw"), v.events, v.roots, v.lin), 0u);
  TempDir tmp;
  EXPECT_EQ(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), v.lin->size());
  const std::string first = readGz(tmp.path("a.kvd"));
  const std::string wantBody = readFile(file(".rows.txt"));
  EXPECT_EQ(first, sampleFile(wantBody)) << firstDifference(sampleFile(wantBody), first);

  Views l;
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("a.kvd"), l.roots, l.lin), v.lin->size());
  EXPECT_EQ(compareLin(*v.lin, *l.lin), "");
  EXPECT_EQ(l.roots->size(), v.roots->size());
  EXPECT_EQ(TdataIO().saveLinearToFile(l.lin, tmp.path("b.kvd")), v.lin->size());
  EXPECT_EQ(readGz(tmp.path("b.kvd")), first);

  writeFile(tmp.path("plain.kvd"), first);
  Views p;
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("plain.kvd"), p.roots, p.lin), v.lin->size());
  EXPECT_EQ(compareLin(*v.lin, *p.lin), "");
}

// A cut compressed file ends the read at the damage: the rows before it are kept, the line cut
// in two is not. A flipped bit never crashes or hangs the reader.
TEST_P(Capture, DamagedFilesKeepWhatSurvived) {
  Views v;
  ASSERT_GT(TdataIO().loadRawFile(file(".raw"), v.events, v.roots, v.lin), 0u);
  TempDir tmp;
  ASSERT_GT(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), 0u);
  const std::string packed = readFile(tmp.path("a.kvd"));
  // A group cut short has fewer children: compare the lines without the child count.
  const auto fullLines = splitLines(withoutChildCounts(linText(*v.lin)));

  const size_t step = std::max<size_t>(1, packed.size() / 200);
  for (size_t cut = 0; cut < packed.size(); cut += step) {
    writeFile(tmp.path("cut.kvd"), packed.substr(0, cut));
    Views c;
    const uint32_t n = TdataIO().loadLinearFile(tmp.path("cut.kvd"), c.roots, c.lin);
    const auto lines = splitLines(withoutChildCounts(linText(*c.lin)));
    ASSERT_LE(lines.size(), fullLines.size()) << "cut at " << cut;
    ASSERT_LE(c.lin->size(), n) << "cut at " << cut;
    for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], fullLines[i]) << "cut at " << cut;
    expectConsistent(*c.lin);
  }
  for (size_t pos = 10; pos < packed.size(); pos += step) {
    std::string bad = packed;
    bad[pos] = static_cast<char>(bad[pos] ^ (1 << (pos % 8)));
    writeFile(tmp.path("flip.kvd"), bad);
    Views c;
    const uint32_t n = TdataIO().loadLinearFile(tmp.path("flip.kvd"), c.roots, c.lin);
    ASSERT_LE(c.lin->size(), n) << "flip at " << pos;
    expectConsistent(*c.lin);
  }
}

// Damage found only at the end of the stream (a wrong check value) keeps the rows read before
// it: all but what zlib withholds from the step that failed.
TEST(SampleFile, BadCheckValueKeepsRowsRead) {
  const auto names = captureNames();
  ASSERT_FALSE(names.empty());
  const auto one = readBytes(captureDir() + "/" + names[0] + ".raw");
  std::vector<uint8_t> raw(one);
  for (int i = 0; i < 30; ++i) raw.insert(raw.end(), one.begin() + 8, one.end());
  Views v;
  ASSERT_GT(TdataIO().loadRawData(raw, v.events, v.roots, v.lin), 0u);
  TempDir tmp;
  ASSERT_GT(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), 0u);
  std::string packed = readFile(tmp.path("a.kvd"));
  packed[packed.size() - 8] = static_cast<char>(packed[packed.size() - 8] ^ 0x01);  // CRC-32 trailer
  writeFile(tmp.path("bad.kvd"), packed);

  Views l;
  TdataIO().loadLinearFile(tmp.path("bad.kvd"), l.roots, l.lin);
  EXPECT_GT(l.lin->size(), v.lin->size() * 9 / 10);
  EXPECT_LT(l.lin->size(), v.lin->size());
  const auto full = splitLines(withoutChildCounts(linText(*v.lin)));
  const auto got = splitLines(withoutChildCounts(linText(*l.lin)));
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], full[i]) << "row " << i;
  expectConsistent(*l.lin);
}

INSTANTIATE_TEST_SUITE_P(Real, Capture, ::testing::ValuesIn(captureNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                           std::string n = p.param;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Capture);

// ---------------------------------------------------------------- random traffic

namespace {

/// Decode, save, load, save again: both files hold the same text and the loaded flat list
/// equals the decoded one.
void expectRoundTrip(const std::vector<uint8_t>& raw, const std::string& what) {
  Views v;
  ASSERT_GT(TdataIO().loadRawData(raw, v.events, v.roots, v.lin), 0u) << what;
  expectConsistent(*v.lin);
  TempDir tmp;
  ASSERT_EQ(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), v.lin->size()) << what;
  Views l;
  ASSERT_EQ(TdataIO().loadLinearFile(tmp.path("a.kvd"), l.roots, l.lin), v.lin->size()) << what;
  EXPECT_EQ(compareLin(*v.lin, *l.lin), "") << what;
  ASSERT_EQ(TdataIO().saveLinearToFile(l.lin, tmp.path("b.kvd")), v.lin->size()) << what;
  const std::string first = readGz(tmp.path("a.kvd"));
  const std::string second = readGz(tmp.path("b.kvd"));
  EXPECT_TRUE(first == second) << what << "\n" << firstDifference(first, second);
  EXPECT_EQ(sampleBody(first), linText(*v.lin)) << what;
}

}  // namespace

TEST(RandomTraffic, HostTrafficRoundTrips) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    usbenc::Bus bus(usbenc::BusConfig{4, false, false});
    usbenc::Host host(bus);
    usbenc::randomTraffic(host, seed, 100);
    expectRoundTrip(bus.takeStream(), "seed " + std::to_string(seed));
  }
}

TEST(RandomTraffic, OddEventsRoundTrip) {
  usbenc::RandomOptions opt;
  opt.faultRate = 0.2;
  opt.unpredictable = true;
  opt.oddPackets = true;
  opt.maxPayload = 64;
  for (uint64_t seed = 1; seed <= 6; ++seed) {
    const usbenc::Capture cap = usbenc::encode(usbenc::randomEvents(seed, 3000, opt));
    expectRoundTrip(cap.stream, "seed " + std::to_string(seed));
  }
}

TEST(RandomTraffic, LargeCaptureRoundTrips) {
  expectRoundTrip(usbenc::largeCapture(size_t{512} << 10, 7), "large capture, seed 7");
}
