// Replays every fuzz target's regression inputs and seed corpus through the target's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace {

namespace fs = std::filesystem;

fs::path folder(const std::string& kind, const std::string& target) {
  return fs::path(KV_FUZZ_DIR) / kind / target;
}

/// The files of tests/fuzz/<kind>/<target>, sorted; none when the directory is missing.
std::vector<fs::path> inputs(const std::string& kind, const std::string& target) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder(kind, target), ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> readBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FuzzInputs : public ::testing::TestWithParam<std::string> {
 protected:
  void replay(const std::string& kind) {
    const kvfuzz::Ttarget* target = kvfuzz::findTarget(GetParam());
    ASSERT_NE(target, nullptr);
    for (const fs::path& file : inputs(kind, GetParam())) {
      const std::vector<uint8_t> data = readBytes(file);
      EXPECT_EQ(target->run(data.data(), data.size()), "") << file;
    }
  }
};

}  // namespace

// The inputs that once found a fault: each must now pass the target's checks. A target that has
// none yet is reported as skipped, not as passed.
TEST_P(FuzzInputs, RegressionInputsPass) {
  if (inputs("regressions", GetParam()).empty())
    GTEST_SKIP() << "no regression inputs in " << folder("regressions", GetParam());
  replay("regressions");
}

// The seed corpus passes too, so a seed that stops passing shows up here before fuzzing. Every
// target has one: fuzzing starts from it.
TEST_P(FuzzInputs, SeedCorpusPasses) {
  ASSERT_TRUE(fs::is_directory(folder("corpus", GetParam()))) << "no seed-corpus folder " << folder("corpus", GetParam());
  ASSERT_FALSE(inputs("corpus", GetParam()).empty()) << "an empty seed corpus in " << folder("corpus", GetParam());
  replay("corpus");
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzInputs,
                         ::testing::Values("rawstream", "rowline", "samplefile", "decodescript"),
                         [](const ::testing::TestParamInfo<std::string>& p) { return p.param; });
