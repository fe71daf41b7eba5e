// Tests of the flat row list, the decode steps and sample files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <climits>
#include <csignal>

#include "child_helpers.h"
#include "kvmemory.h"
#include "kvrawgrp.h"
#include "pipe_helpers.h"
#include "usbenc.h"

using namespace kvtest;

namespace {

Views flatten(const TrowVec& ev) {
  Views v;
  *v.events = ev;
  TdataIO io;
  io.eventVecToTreeRootVec(v.events, v.roots);
  io.treeRootVecToLinVec(v.roots, v.lin);
  return v;
}

/// Views that already hold something (2 roots, 4 rows), to see whether a failed load touches them.
Views filledViews() { return flatten(events("S S R")); }

bool untouched(const Views& v) { return v.roots->size() == 2 && v.lin->size() == 4; }

/// "parent/ordinal/flags" of every row; "!" marks a handle that is not the row's index.
std::string linShape(const TlinRowVec& lin) {
  std::string s;
  for (size_t i = 0; i < lin.size(); ++i) {
    const Tbase& r = *lin[i].row;
    s += (r.handle == static_cast<int>(i) ? "" : "!") + std::to_string(r.parent) + "/" +
         std::to_string(r.ordinal) + "/" + std::to_string(lin[i].flags) + " ";
  }
  return s;
}

std::string sampleFile(const std::string& body) {
  return "KVFMT01\n" + std::to_string(body.size()) + "\n" + body;
}

/// Every handle is its index and every parent an earlier group one level up: what any load must give.
void expectConsistent(const TlinRowVec& lin) {
  for (size_t i = 0; i < lin.size(); ++i) {
    ASSERT_EQ(lin[i].row->handle, static_cast<int>(i));
    const int p = lin[i].row->parent;
    ASSERT_LT(p, static_cast<int>(i));
    if (p < 0) continue;
    ASSERT_TRUE(asGroup(lin[static_cast<size_t>(p)].row));
    ASSERT_EQ(lin[i].row->depth, lin[static_cast<size_t>(p)].row->depth + 1);
  }
}

/// The row lines without child counts: a group cut short by damage has fewer children.
std::vector<std::string> linesWithoutCounts(const TlinRowVec& lin) {
  auto lines = splitLines(linText(lin));
  for (auto& l : lines) l = l.substr(0, l.find(";X:"));
  return lines;
}

/// Loads a damaged file: whatever survives is a consistent prefix of the full list.
size_t expectPrefixOf(const std::string& path, const TlinRowVec& full, const std::string& what) {
  Views c;
  const uint32_t n = TdataIO().loadLinearFile(path, c.roots, c.lin);
  EXPECT_LE(c.lin->size(), n) << what;
  const auto want = linesWithoutCounts(full);
  const auto got = linesWithoutCounts(*c.lin);
  EXPECT_LE(got.size(), want.size()) << what;
  for (size_t i = 0; i < std::min(got.size(), want.size()); ++i) EXPECT_EQ(got[i], want[i]) << what;
  expectConsistent(*c.lin);
  return c.lin->size();
}

}  // namespace

TEST(TdataIO, FlatteningNumbersRowsInPreOrder) {
  const TrowVec ev = events("R S S S ACK S SETUP1.0 D0:8 ACK IN1.0 NAK OUT2.0");
  Views v = flatten(ev);
  EXPECT_EQ(linShape(*v.lin),
            "-1/1/0 "                                              // reset
            "-1/1/5 1/1/5 1/2/5 1/3/5 "                            // SOF group and its SOFs
            "-1/4/4 -1/5/5 "                                       // stray ACK, lone SOF
            "-1/1/0 7/1/0 8/6/4 8/7/4 8/8/4 7/2/0 12/9/4 12/10/4 "  // transfer: SETUP, IN
            "-1/3/0 15/11/4 ");                                    // OUT at the root
  EXPECT_EQ((*v.lin)[16].row, ev[11]);  // the flat list shares the row objects

  TdataIO io;  // rows of no kind are skipped
  io.treeRow2Linear(std::make_shared<Tbase>(), -1, v.lin, 0);
  io.treeRow2Linear(nullptr, -1, v.lin, 0);
  EXPECT_EQ(v.lin->size(), 17u);
}

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
  writeFile(tmp.path("a.kvd"), sampleFile(body), true);
  Views v;
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(tmp.path("a.kvd"), v.roots, v.lin), 10u);
  EXPECT_EQ(v.roots->size(), 3u);
  EXPECT_EQ(linShape(*v.lin), "-1/1/0 0/1/0 1/1/4 1/2/4 1/3/4 1/4/4 -1/2/0 6/5/4 6/6/4 -1/7/5 ");
  EXPECT_EQ(rowutils::toString((*v.lin)[5].row), "    2;H:2;TI:9000;TL:1\n");
  EXPECT_EQ(rowutils::toString((*v.lin)[9].row), "0;S:5;TI:9999;FR:3;5P:0c;TL:1\n");
  EXPECT_TRUE(io.Fparents.empty());  // it pointed into the rows of this load only

  // Rows without an open level are counted and dropped: a packet at depth 1 first; a group at
  // depth 1 first, whose level would skip one, and its child.
  writeFile(tmp.path("b.kvd"), sampleFile("  1;H:2;TI:1;TL:1\n"
                                          "  1;T:IN;X:1\n"
                                          "    2;K:9;TI:2;AD:1;EP:0;5P:00;TL:1\n"
                                          "0;H:10;TI:3;TL:1\n"
                                          "  1;K:9;TI:4;AD:1;EP:0;5P:00;TL:1\n"), true);
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("b.kvd"), v.roots, v.lin), 5u);
  EXPECT_EQ(linText(*v.lin), "0;H:10;TI:3;TL:1\n");
  writeFile(tmp.path("c.kvd"), sampleFile("    2;H:2;TI:1;TL:1\n"), true);
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("c.kvd"), v.roots, v.lin), 1u);
  EXPECT_TRUE(v.lin->empty());
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
  writeFile(tmp.path("deep.kvd"), sampleFile(body), true);
  Views v;
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(tmp.path("deep.kvd"), v.roots, v.lin), static_cast<uint32_t>(levels + 3));
  EXPECT_EQ(v.lin->size(), static_cast<size_t>(TdataIO::MAX_LEVELS));
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
  const struct {
    const char* what;
    std::string content;
    uint32_t rows;
  } cases[] = {
      {"7 bytes", "KVFMT01", 0},
      {"magic only", "KVFMT01\n", 0},
      {"letter after the digits", "KVFMT01\n16x\n" + row, 0},
      {"sign", "KVFMT01\n-16\n" + row, 0},
      {"data ends in the length line", "KVFMT01\n16", 0},
      {"magic content not compared", "XXXXXXXX" + std::to_string(row.size()) + "\n" + row, 1},
      {"wrong length value not used", "KVFMT01\n999\n" + row, 1},
      {"empty length line", "KVFMT01\n\n" + row, 1},
      // (Zeros in front: a body that long would not fit into memory, see RowsThatWouldNotFit.)
      {"12 digits, newline read as an empty line", "KVFMT01\n000000000016\n" + row, 1},
      {"13 digits: the 13th starts a line", "KVFMT01\n0000000000016\n" + row, 1},
  };
  for (const auto& c : cases) {
    writeFile(tmp.path("h.kvd"), c.content, true);
    Views v = filledViews();
    EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("h.kvd"), v.roots, v.lin), c.rows) << c.what;
    EXPECT_TRUE(c.rows > 0 || untouched(v)) << c.what;  // rejections come before the rows
  }
  for (const std::string& path : {tmp.path("missing.kvd"), tmp.path("")}) {  // a directory
    Views v = filledViews();
    EXPECT_EQ(TdataIO().loadLinearFile(path, v.roots, v.lin), 0u) << path;
    EXPECT_TRUE(untouched(v)) << path;
  }
  // An empty list saves the header alone, compressed; loading it empties the views.
  EXPECT_EQ(TdataIO().saveLinearToFile(std::make_shared<TlinRowVec>(), tmp.path("e.kvd")), 0u);
  EXPECT_EQ(readGz(tmp.path("e.kvd")), "KVFMT01\n0\n");
  EXPECT_EQ(readFile(tmp.path("e.kvd")).substr(0, 2), "\x1f\x8b");
  Views v = filledViews();
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("e.kvd"), v.roots, v.lin), 0u);
  EXPECT_TRUE(v.lin->empty());
}

TEST(SampleFile, FailedWritesReturnZero) {
  Views v = filledViews();
  TempDir tmp;
  EXPECT_EQ(TdataIO().saveLinearToFile(v.lin, tmp.path("no/dir/x.kvd")), 0u);
  EXPECT_EQ(TdataIO().saveEventsToFile(v.events, tmp.path("no/dir/x.txt")), 0u);
  if (std::filesystem::exists("/dev/full")) {
    // The device takes the open but no byte: the failure shows at the write or the close. It is
    // written in place, not replaced by a file.
    EXPECT_EQ(TdataIO().saveLinearToFile(v.lin, "/dev/full"), 0u);
    EXPECT_EQ(TdataIO().saveEventsToFile(v.events, "/dev/full"), 0u);
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
  }
  EXPECT_EQ(TdataIO().saveEventsToFile(v.events, tmp.path("ev.txt")), 3u);
  std::string want;
  for (const auto& r : *v.events) want += rowutils::toString(r);
  EXPECT_EQ(readFile(tmp.path("ev.txt")), want);
}

// A line longer than any row line is skipped whole, and costs no more memory than the longest
// line kept: a file whose middle line is 300 MB loads the rows around it in a few MB.
TEST(SampleFile, OverlongLinesAreSkippedInBoundedMemory) {
  constexpr size_t LONG_LINE = size_t{300} << 20;
  constexpr size_t MiB = size_t{1} << 20;
  TempDir tmp;
  const std::string path = tmp.path("long.kvd");
  {
    gzFile f = gzopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    const std::string head = "KVFMT01\n0\n0;H:2;TI:1;TL:1\n0;D:3;TI:2;DA:";
    std::string bytes;
    for (int i = 0; i < (1 << 18); ++i) bytes += "00,";
    const std::string tail = "00;6P:0000;TL:1\n0;H:10;TI:3;TL:1\n";
    gzwrite(f, head.data(), static_cast<unsigned>(head.size()));
    for (size_t n = 0; n < LONG_LINE; n += bytes.size())
      ASSERT_EQ(gzwrite(f, bytes.data(), static_cast<unsigned>(bytes.size())), static_cast<int>(bytes.size()));
    gzwrite(f, tail.data(), static_cast<unsigned>(tail.size()));
    ASSERT_EQ(gzclose(f), Z_OK);
  }
  EXPECT_LT(std::filesystem::file_size(path), 2 * MiB);

  Views v = filledViews();
  const size_t before = procStatusBytes("VmRSS");
  const bool peakKnown = resetPeakMemory() && before > 0;
  const uint32_t rows = TdataIO().loadLinearFile(path, v.roots, v.lin);
  const size_t peak = procStatusBytes("VmHWM");
  if (peakKnown) {
    EXPECT_LT(peak - std::min(peak, before), 32 * MiB) << "peak " << peak / MiB << " MiB";
  }
  ASSERT_EQ(rows, 2u);  // before the rows are printed: the long one would be 300 MB of text
  EXPECT_EQ(linText(*v.lin), "0;H:2;TI:1;TL:1\n0;H:10;TI:3;TL:1\n");

  // The longest line kept is MAX_LINE_LENGTH characters, its newline aside; a longer one that
  // ends the data is skipped too.
  std::string fits = "0;H:2;TI:1;TL:1;XX:", over = "0;H:10;TI:2;TL:1;XX:";
  fits.resize(TdataIO::MAX_LINE_LENGTH, 'a');
  over.resize(TdataIO::MAX_LINE_LENGTH + 1, 'a');
  writeFile(tmp.path("edge.kvd"), sampleFile(fits + "\n" + over + "\n0;H:14;TI:3;TL:1\n" + over), true);
  ASSERT_EQ(TdataIO().loadLinearFile(tmp.path("edge.kvd"), v.roots, v.lin), 2u);
  EXPECT_EQ(linText(*v.lin), "0;H:2;TI:1;TL:1\n0;H:14;TI:3;TL:1\n");
}

namespace {

std::vector<std::string> dirEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

// A save that fails part way (at a file size limit, as on a full disk) leaves the earlier file
// byte for byte and no temporary file beside it. A save that succeeds replaces the file, keeps
// its mode, and through a symbolic link replaces the file it names.
TEST(SampleFile, FailedSaveKeepsTheEarlierFile) {
  constexpr rlim_t SIZE_LIMIT = 1024;
  TempDir tmp;
  const std::string dir = tmp.path("");
  const std::string path = tmp.path("keep.kvd");
  const Views small = filledViews();
  const Views big = decodeRaw(readBytes(captureDir() + "/" + captureNames().at(0) + ".raw"));
  ASSERT_EQ(TdataIO().saveLinearToFile(small.lin, path), small.lin->size());
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const std::string earlier = readFile(path);

  const auto result = runInChild(
      [&] {
        const rlimit limit{SIZE_LIMIT, SIZE_LIMIT};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails instead of killing
        return std::to_string(TdataIO().saveLinearToFile(big.lin, path));
      },
      std::chrono::seconds(120));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, "0");
  EXPECT_TRUE(readFile(path) == earlier) << "the earlier file was changed";
  EXPECT_EQ(dirEntries(dir), std::vector<std::string>{"keep.kvd"});

  ASSERT_EQ(TdataIO().saveLinearToFile(big.lin, path), big.lin->size());
  EXPECT_GT(std::filesystem::file_size(path), SIZE_LIMIT);  // so the limit above was reached
  EXPECT_EQ(readGz(path), sampleFile(linText(*big.lin)));
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  std::filesystem::create_symlink("keep.kvd", tmp.path("link.kvd"));
  ASSERT_EQ(TdataIO().saveLinearToFile(small.lin, tmp.path("link.kvd")), small.lin->size());
  EXPECT_TRUE(std::filesystem::is_symlink(tmp.path("link.kvd")));
  EXPECT_EQ(readGz(path), sampleFile(linText(*small.lin)));
  EXPECT_EQ(dirEntries(dir), (std::vector<std::string>{"keep.kvd", "link.kvd"}));
  // A directory in the way is not replaced.
  EXPECT_EQ(TdataIO().saveLinearToFile(small.lin, dir), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
}

namespace {

/// The memory seam: plenty for the first plentyAnswers questions, then `scarce`.
int memoryAnswers = 0;
int plentyAnswers = 0;
uint64_t scarce = 0;
uint64_t seamMemory() { return memoryAnswers++ < plentyAnswers ? UINT64_MAX / 2 : scarce; }

}  // namespace

// A file whose rows would not fit into the memory the system can give is refused early, 0 with
// the caller's rows kept, without a pass of its own over the file: by the body length that the
// header declares, before any row; by the memory per byte of the rows read, extrapolated to
// that length, at the first check; and, past a length line that understates the body, as the
// rows outgrow what is free. A file that fits loads whole; a small one loads without asking.
TEST(SampleFile, RowsThatWouldNotFitAreRefusedEarly) {
  constexpr int ROWS = 40000;  // two checks and a half
  constexpr uint64_t CLAIMED = 100'000'000'000;  // 100 GB of text: at least 33 GB of rows
  auto roots = std::make_shared<TrowVec>();
  for (int i = 0; i < ROWS; ++i) roots->push_back(std::make_shared<Treset>());
  Views all;
  TdataIO().treeRootVecToLinVec(roots, all.lin);
  const std::string body = linText(*all.lin);
  TempDir tmp;
  writeFile(tmp.path("honest.kvd"), sampleFile(body), true);
  writeFile(tmp.path("claims.kvd"), "KVFMT01\n" + std::to_string(CLAIMED) + "\n" + body, true);
  writeFile(tmp.path("under.kvd"), "KVFMT01\n0\n" + body, true);
  writeFile(tmp.path("small.kvd"), sampleFile(rowutils::toString(all.lin->front().row)), true);
  const struct {
    const char* what;
    const char* file;
    int plenty;
    uint64_t scarce;
    uint32_t rows;
    int answers;  ///< questions asked (-1: not looked at)
  } cases[] = {
      {"fits", "honest.kvd", INT_MAX, 0, ROWS, -1},
      {"a small load asks nothing", "small.kvd", 0, 0, 1, 0},
      {"declared body cannot fit", "claims.kvd", 0, utils::MEMORY_HEADROOM + CLAIMED / 3 - 1, 0, 1},
      {"rows extrapolated to the declared length cannot fit", "claims.kvd", 0,
       utils::MEMORY_HEADROOM + CLAIMED / 3 + (uint64_t{8} << 30), 0, 2},
      {"rows beyond an understated length outgrow what is free", "under.kvd", 1, 0, 0, 2},
  };
  for (const auto& c : cases) {
    memoryAnswers = 0;
    plentyAnswers = c.plenty;
    scarce = c.scarce;
    utils::setMemorySource(&seamMemory);
    Views v = filledViews();
    const uint32_t got = TdataIO().loadLinearFile(tmp.path(c.file), v.roots, v.lin);
    utils::setMemorySource(nullptr);
    EXPECT_EQ(got, c.rows) << c.what;
    EXPECT_TRUE(c.rows > 0 || untouched(v)) << c.what;
    EXPECT_TRUE(c.answers < 0 || memoryAnswers == c.answers) << c.what << ": " << memoryAnswers << " questions";
  }
}

// A FIFO or a device is not read as a sample file: the load returns 0 at once and the rows stay,
// whether or not a writer holds the FIFO open (either would block the reader for ever).
TEST(SampleFile, FilesThatAreNotRegularAreRefused) {
  TempDir tmp;
  const std::string fifo = tmp.path("default.kvd");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const bool writer : {false, true}) {
    const auto result = runInChild(
        [&] {
          const int w = writer ? open(fifo.c_str(), O_RDWR) : -1;  // a writer that sends nothing
          Views v = filledViews();
          const uint32_t rows = TdataIO().loadLinearFile(fifo, v.roots, v.lin);
          if (w >= 0) close(w);
          return std::to_string(rows) + (untouched(v) ? " kept" : " lost");
        },
        std::chrono::seconds(30));
    EXPECT_EQ(result, std::optional<std::string>("0 kept")) << (writer ? "with" : "without") << " a writer";
  }
  Views v = filledViews();
  EXPECT_EQ(TdataIO().loadLinearFile("/dev/zero", v.roots, v.lin), 0u);
  EXPECT_TRUE(untouched(v));
}

// An empty stream, a foreign one, a missing file and a file of 4 GiB (whose size does not fit
// 32 bits) decode to nothing and empty the views.
TEST(TdataIO, RejectedRawInputEmptiesTheViews) {
  TempDir tmp;
  const std::string big = tmp.path("big.raw");
  std::ofstream(big, std::ios::binary) << "KORVANE.";
  std::error_code ec;
  std::filesystem::resize_file(big, uint64_t{1} << 32, ec);  // sparse: nothing is stored
  const std::vector<uint8_t> foreign{'X', 'O', 'R', 'V', 'A', 'N', 'E', '.', 0x55};
  for (const std::string what : {"empty", "foreign", "missing", "4 GiB"}) {
    if (what == "4 GiB" && ec) GTEST_SKIP() << "no sparse file: " << ec.message();
    Views v = filledViews();
    const unsigned n = what == "empty"     ? TdataIO().loadRawData({}, v.events, v.roots, v.lin)
                       : what == "foreign" ? TdataIO().loadRawData(foreign, v.events, v.roots, v.lin)
                       : what == "missing" ? TdataIO().loadRawFile(tmp.path("no.raw"), v.events, v.roots, v.lin)
                                           : TdataIO().loadRawFile(big, v.events, v.roots, v.lin);
    EXPECT_EQ(n, 0u) << what;
    EXPECT_TRUE(v.events->empty() && v.roots->empty() && v.lin->empty()) << what;
  }
}

// ---------------------------------------------------------------- round trips

namespace {

/// Decode, save, load, save again: both files hold the same text, the loaded flat list equals
/// the decoded one, and so does the list of the same file stored uncompressed.
void expectRoundTrip(const Views& v, const std::string& what) {
  ASSERT_FALSE(v.lin->empty()) << what;
  expectConsistent(*v.lin);
  TempDir tmp;
  ASSERT_EQ(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), v.lin->size()) << what;
  const std::string first = readGz(tmp.path("a.kvd"));
  EXPECT_EQ(first, sampleFile(linText(*v.lin))) << what;
  Views l;
  ASSERT_EQ(TdataIO().loadLinearFile(tmp.path("a.kvd"), l.roots, l.lin), v.lin->size()) << what;
  EXPECT_EQ(compareLin(*v.lin, *l.lin), "") << what;
  EXPECT_EQ(l.roots->size(), v.roots->size()) << what;
  ASSERT_EQ(TdataIO().saveLinearToFile(l.lin, tmp.path("b.kvd")), v.lin->size()) << what;
  const std::string second = readGz(tmp.path("b.kvd"));
  EXPECT_TRUE(first == second) << what << "\n" << firstDifference(first, second);
  writeFile(tmp.path("plain.kvd"), first);
  Views p;
  EXPECT_EQ(TdataIO().loadLinearFile(tmp.path("plain.kvd"), p.roots, p.lin), v.lin->size()) << what;
  EXPECT_EQ(compareLin(*v.lin, *p.lin), "") << what;
}

}  // namespace

class Capture : public ::testing::TestWithParam<std::string> {
 protected:
  std::string file(const std::string& ext) const { return captureDir() + "/" + GetParam() + ext; }
};

TEST(CaptureSet, CapturesArePresent) { EXPECT_GE(captureNames().size(), 4u) << captureDir(); }

TEST_P(Capture, FlatListEqualsGoldenAndRoundTrips) {
  const auto raw = readBytes(file(".raw"));
  Views v;
  std::vector<size_t> progress;
  TdataIO io;
  io.rawDataToEventVec(raw, v.events, [&](size_t pos) { progress.push_back(pos); });
  ASSERT_GE(progress.size(), v.events->size());  // runs between packets report progress too
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_LE(progress.back(), raw.size());
  io.eventVecToTreeRootVec(v.events, v.roots);
  io.treeRootVecToLinVec(v.roots, v.lin);
  const std::string rows = linText(*v.lin);
  const std::string want = readFile(file(".rows.txt"));
  EXPECT_EQ(rows, want) << firstDifference(want, rows);

  // The one-call forms give the same flat list.
  Views f, d;
  EXPECT_EQ(TdataIO().loadRawFile(file(".raw"), f.events, f.roots, f.lin), v.lin->size());
  EXPECT_EQ(TdataIO().loadRawData(raw, d.events, d.roots, d.lin), v.lin->size());
  EXPECT_EQ(compareLin(*v.lin, *f.lin), "");
  EXPECT_EQ(compareLin(*v.lin, *d.lin), "");
  expectRoundTrip(v, GetParam());
}

// A cut compressed file ends the read at the damage: the rows before it are kept, the line cut
// in two is not. A flipped bit never crashes or hangs the reader.
TEST_P(Capture, DamagedFilesKeepWhatSurvived) {
  Views v = decodeRaw(readBytes(file(".raw")));
  TempDir tmp;
  ASSERT_GT(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), 0u);
  const std::string packed = readFile(tmp.path("a.kvd"));
  const size_t step = std::max<size_t>(1, packed.size() / 200);
  for (size_t cut = 0; cut < packed.size(); cut += step) {
    writeFile(tmp.path("cut.kvd"), packed.substr(0, cut));
    expectPrefixOf(tmp.path("cut.kvd"), *v.lin, "cut at " + std::to_string(cut));
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

INSTANTIATE_TEST_SUITE_P(Real, Capture, ::testing::ValuesIn(captureNames()),
                         [](const ::testing::TestParamInfo<std::string>& p) {
                           std::string n = p.param;
                           for (char& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Capture);

// Damage found only at the end of the stream (a wrong check value) keeps the rows read before
// it: all but what zlib withholds from the step that failed.
TEST(SampleFile, BadCheckValueKeepsRowsRead) {
  const auto one = readBytes(captureDir() + "/" + captureNames().at(0) + ".raw");
  std::vector<uint8_t> raw(one);
  for (int i = 0; i < 30; ++i) raw.insert(raw.end(), one.begin() + 8, one.end());
  Views v = decodeRaw(raw);
  TempDir tmp;
  ASSERT_GT(TdataIO().saveLinearToFile(v.lin, tmp.path("a.kvd")), 0u);
  std::string packed = readFile(tmp.path("a.kvd"));
  packed[packed.size() - 8] = static_cast<char>(packed[packed.size() - 8] ^ 0x01);  // CRC-32 trailer
  writeFile(tmp.path("bad.kvd"), packed);
  const size_t kept = expectPrefixOf(tmp.path("bad.kvd"), *v.lin, "bad check value");
  EXPECT_GT(kept, v.lin->size() * 9 / 10);
  EXPECT_LT(kept, v.lin->size());
}

TEST(RandomTraffic, RoundTrips) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    usbenc::Bus bus(usbenc::BusConfig{4, false, false});
    usbenc::Host host(bus);
    usbenc::randomTraffic(host, seed, 100);
    expectRoundTrip(decodeRaw(bus.takeStream()), "host traffic, seed " + std::to_string(seed));
  }
  usbenc::RandomOptions opt;
  opt.faultRate = 0.2;
  opt.unpredictable = true;
  opt.oddPackets = true;
  opt.maxPayload = 64;
  for (uint64_t seed = 1; seed <= 6; ++seed)
    expectRoundTrip(decodeRaw(usbenc::encode(usbenc::randomEvents(seed, 3000, opt)).stream),
                    "odd events, seed " + std::to_string(seed));
  expectRoundTrip(decodeRaw(usbenc::largeCapture(size_t{512} << 10, 7)), "large capture, seed 7");
}
