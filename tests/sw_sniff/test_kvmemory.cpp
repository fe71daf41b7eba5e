// Tests of the memory figure that loads and captures ask: process limits and control groups.
#include "kvmemory.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>

#include "child_helpers.h"
#include "pipe_helpers.h"

using namespace kvtest;

namespace {

void put(const std::filesystem::path& file, const std::string& text) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file) << text;
}

}  // namespace

// The tightest group on the way up counts, with its reclaimable page cache as room; a group
// without a ceiling ("max", v1's page-rounded "unlimited") or without files does not.
TEST(Memory, ControlGroupCeilingsUpTheHierarchy) {
  constexpr uint64_t MiB = uint64_t{1} << 20;
  TempDir tmp;
  const std::filesystem::path root = tmp.path("cg");
  put(root / "a/memory.max", std::to_string(1000 * MiB) + "\n");
  put(root / "a/memory.current", std::to_string(700 * MiB) + "\n");
  put(root / "a/memory.stat", "anon 1\nactive_file 5\ninactive_file " + std::to_string(100 * MiB) + "\n");
  put(root / "a/b/memory.max", "max\n");
  put(root / "a/b/memory.current", std::to_string(600 * MiB) + "\n");
  put(root / "memory/x/memory.limit_in_bytes", std::to_string(2000 * MiB) + "\n");
  put(root / "memory/x/memory.usage_in_bytes", std::to_string(1850 * MiB) + "\n");
  put(root / "memory/x/memory.stat", "inactive_file 7\ntotal_inactive_file " + std::to_string(50 * MiB) + "\n");
  put(root / "memory/memory.limit_in_bytes", "9223372036854771712\n");
  put(root / "memory/memory.usage_in_bytes", std::to_string(9000 * MiB) + "\n");

  const std::string r = root.string();
  EXPECT_EQ(utils::cgroupRoom("0::/a/b\n", r), 400 * MiB);  // a: 1000 - (700 - 100)
  EXPECT_EQ(utils::cgroupRoom("0::/a/b/gone\n", r), 400 * MiB);
  EXPECT_EQ(utils::cgroupRoom("4:memory:/x\n0::/\n", r), 200 * MiB);  // x: 2000 - (1850 - 50)
  EXPECT_EQ(utils::cgroupRoom("4:memory:/x\n0::/a\n", r), 200 * MiB);
  EXPECT_EQ(utils::cgroupRoom("5:cpu,memory:/x\n", r), 200 * MiB);
  EXPECT_EQ(utils::cgroupRoom("4:cpu:/x\n0::/\n", r), UINT64_MAX);
  EXPECT_EQ(utils::cgroupRoom("", r), UINT64_MAX);
  EXPECT_EQ(utils::cgroupRoom("0::/../a\ngarbage\n0::relative\n", r), UINT64_MAX);
}

// The process's own limits bound the figure: with RLIMIT_DATA or RLIMIT_AS 256 MiB above what
// the process uses, 128 MiB more fit and 1 GiB does not.
TEST(Memory, ProcessLimitsBoundTheFigure) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators need the address space";
#endif
  constexpr size_t MiB = size_t{1} << 20;
  EXPECT_TRUE(utils::memoryFits(MiB));
  for (const auto& [resource, key] : {std::pair{RLIMIT_DATA, "VmData"}, std::pair{RLIMIT_AS, "VmSize"}}) {
    const auto result = runInChild(
        [resource = resource, key = key] {
          const rlim_t limit = procStatusBytes(key) + 256 * MiB;
          const rlimit rl{limit, limit};
          if (setrlimit(resource, &rl) != 0) return std::string("no limit");
          return std::string(utils::memoryFits(128 * MiB) ? "fits" : "refused") + " " +
                 (utils::memoryFits(1024 * MiB) ? "fits" : "refused");
        },
        std::chrono::seconds(30));
    EXPECT_EQ(result, std::optional<std::string>("fits refused")) << key;
  }
}
