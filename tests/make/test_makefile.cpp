// Tests of the top-level Makefile: configuring again on new flags, and what clean removes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

/// A copy of the Makefile in a fresh directory, with a cmake stand-in first on the PATH that logs
/// each call and, when it configures, leaves what a configured build directory holds.
class MakefileRules : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "kvmakeXXXXXX").string();
    ASSERT_TRUE(mkdtemp(tmpl.data()));
    dir = tmpl;
    fs::copy_file(fs::path(KV_SOURCE_DIR) / "Makefile", dir / "Makefile");
    fs::create_directory(dir / "bin");
    // A configure call is logged with "(cached)" when it found a cache from an earlier one.
    std::ofstream(dir / "bin" / "cmake") << "#!/bin/sh\n"
                                            "log=\"" << (dir / "log").string() << "\"\n"
                                            "case \"$1\" in --build) echo \"$*\" >> \"$log\"; exit 0 ;; esac\n"
                                            "args=\"$*\"\n"
                                            "while [ $# -gt 0 ]; do\n"
                                            "  if [ \"$1\" = -B ]; then\n"
                                            "    [ -f \"$2/CMakeCache.txt\" ] && args=\"$args (cached)\"\n"
                                            "    mkdir -p \"$2\" && touch \"$2/build.ninja\" \"$2/CMakeCache.txt\"\n"
                                            "  fi\n"
                                            "  shift\n"
                                            "done\n"
                                            "echo \"$args\" >> \"$log\"\n";
    fs::permissions(dir / "bin" / "cmake", fs::perms::owner_all);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
  }
  /// Runs make with the arguments (no Debian packages to check) in an environment of its own:
  /// a make that runs this test passes its variables on through the environment. True when it
  /// succeeded.
  bool make(const std::string& args) {
    const std::string cmd = "cd '" + dir.string() + "' && env -i PATH='" + (dir / "bin").string() +
                            "':\"$PATH\" make -s DEB_PACKAGES= " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }
  /// The cmake calls logged since the last look.
  std::string calls() {
    std::ifstream in(dir / "log");
    std::stringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string fresh = text.substr(std::min(seen, text.size()));
    seen = text.size();
    return fresh;
  }
  fs::path dir;
  size_t seen = 0;
};

}  // namespace

// A build directory is configured once per set of flags: the same flags only build, other
// flags configure it again from an empty cache, so that no cached option outlives the flags
// that set it.
TEST_F(MakefileRules, NewFlagsConfigureTheBuildDirectoryAgain) {
  ASSERT_TRUE(make("build BUILD=b JOBS=2 CMAKE_FLAGS=-DKV_WERROR=ON"));
  EXPECT_EQ(calls(), "-S . -B b -G Ninja -DKV_WERROR=ON\n--build b -j 2\n");
  ASSERT_TRUE(make("build BUILD=b JOBS=2 CMAKE_FLAGS=-DKV_WERROR=ON"));
  EXPECT_EQ(calls(), "--build b -j 2\n");
  ASSERT_TRUE(make("build BUILD=b JOBS=2 'CMAKE_FLAGS=-DKV_WERROR=ON -DCMAKE_BUILD_TYPE=Debug'"));
  EXPECT_EQ(calls(), "-S . -B b -G Ninja -DKV_WERROR=ON -DCMAKE_BUILD_TYPE=Debug\n--build b -j 2\n");
  ASSERT_TRUE(make("build BUILD=b JOBS=2"));
  EXPECT_EQ(calls(), "-S . -B b -G Ninja\n--build b -j 2\n");
  ASSERT_TRUE(make("build BUILD=b JOBS=2"));
  EXPECT_EQ(calls(), "--build b -j 2\n");
}

// clean removes every build directory that the Makefile's targets make, the benchmarks' with
// their generated workloads included, and nothing else.
TEST_F(MakefileRules, CleanRemovesEveryBuildDirectory) {
  for (const char* d : {"build", "build-asan", "build-tsan", "build-core", "build-bench", "mine"})
    fs::create_directories(dir / d / "sub");
  ASSERT_TRUE(make("clean BUILD=mine"));
  for (const char* d : {"build", "build-asan", "build-tsan", "build-core", "build-bench", "mine"})
    EXPECT_FALSE(fs::exists(dir / d)) << d;
  EXPECT_TRUE(fs::exists(dir / "Makefile"));
}
