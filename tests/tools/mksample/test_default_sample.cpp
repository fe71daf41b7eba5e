// The shipped default sample: its body is the capture's flat rows, and it loads as the program loads it.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "kvdataio.h"

namespace {

std::string capturesDir() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  return std::string(env ? env : KV_TEST_DATA_DIR) + "/captures/";
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// The whole uncompressed content of a gzip file; empty when it cannot be read.
std::string gunzip(const std::string& path) {
  std::string out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  const bool failed = n < 0;
  gzclose(f);
  return failed ? std::string() : out;
}

// Line number (from 1) of the first line where a and b differ, with both lines.
std::string firstDifference(const std::string& a, const std::string& b) {
  std::istringstream sa(a), sb(b);
  std::string la, lb;
  for (int line = 1;; ++line) {
    const bool ga = static_cast<bool>(std::getline(sa, la));
    const bool gb = static_cast<bool>(std::getline(sb, lb));
    if (!ga && !gb) return "no line differs (line ends?)";
    if (!ga || !gb || la != lb)
      return "line " + std::to_string(line) + ": '" + (ga ? la : "<end>") + "' vs '" + (gb ? lb : "<end>") + "'";
  }
}

}  // namespace

TEST(DefaultSample, BodyIsTheCapturesFlatRows) {
  const std::string content = gunzip(KV_DEFAULT_SAMPLE);
  ASSERT_FALSE(content.empty()) << KV_DEFAULT_SAMPLE << " cannot be read as gzip";
  const std::string expected = readText(capturesDir() + "cp2110_serial_over_hid_ut612.rows.txt");
  ASSERT_FALSE(expected.empty());

  ASSERT_EQ(content.compare(0, TdataIO::FILE_MAGIC_LEN, TdataIO::FILE_MAGIC), 0);
  const size_t lineEnd = content.find('\n', TdataIO::FILE_MAGIC_LEN);
  ASSERT_NE(lineEnd, std::string::npos);
  const std::string lengthLine = content.substr(TdataIO::FILE_MAGIC_LEN, lineEnd - TdataIO::FILE_MAGIC_LEN);
  const std::string body = content.substr(lineEnd + 1);
  EXPECT_EQ(lengthLine, std::to_string(body.size()));
  EXPECT_TRUE(body == expected) << "first difference (sample vs capture rows), " << firstDifference(body, expected)
                                << "\nregenerate with: cmake --build build --target default_sample";
}

TEST(DefaultSample, LoadsEveryRowAsTheProgramReadsIt) {
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO io;
  EXPECT_EQ(io.loadLinearFile(KV_DEFAULT_SAMPLE, roots, lin), 12971u);
  EXPECT_EQ(lin->size(), 12971u);
}
