// End-to-end test of libvexacore as installed: a C program built against the installed header
// and pkg-config file alone, the way the README says, captures on the probe simulator and reads
// out every row.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kvboxes.h"
#include "kvexthrd.h"
#include "kvrowutils.h"
#include "sw_sniff/pipe_helpers.h"
#include "workloads.h"

using namespace kvtest;

namespace {

/// Runs a shell command line; its output goes to the file log. Returns the exit code.
int run(const std::string& command, const std::string& log) {
  const int rc = std::system((command + " >'" + log + "' 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

/// The rows a direct decode of the bytes gives, in the client's output form.
std::string directRows(const std::vector<uint8_t>& bytes) {
  TexThread ex;
  EXPECT_TRUE(ex.startDecode(&bytes));
  std::string text = "rows " + std::to_string(ex.pLinearRowVec()->size()) + "\n";
  for (const TlinRow& e : *ex.pLinearRowVec())
    text += "R " + rowutils::toString(e.row) + "B " + Tboxes().getBoxesString(e.row);
  return text;
}

}  // namespace

TEST(LibInstalled, CClientCapturesAndReadsEveryRow) {
  TempDir tmp;
  const std::string prefix = tmp.path("prefix");
  const std::string libDir = prefix + "/" + KV_INSTALL_LIBDIR;
  const std::string log = tmp.path("step.log");

  // Install the library's component alone into a fresh prefix.
  ASSERT_EQ(run(std::string("'") + KV_CMAKE + "' --install '" + KV_BUILD_DIR + "' --prefix '" + prefix +
                    "' --component libvexacore",
                log),
            0)
      << readFile(log);
  for (const std::string& f : {libDir + "/libvexacore.so", prefix + "/" + KV_INSTALL_INCLUDEDIR + "/libvexa.h",
                               libDir + "/pkgconfig/libvexacore.pc"})
    EXPECT_TRUE(std::filesystem::is_regular_file(f)) << f;

  // The simulator serves a stream longer than the capture, so the capture holds its first bytes.
  const std::vector<uint8_t> stream = usbenc::enumerationMix(64 * 1024, 12);
  const std::string streamFile = tmp.path("stream.raw");
  writeFile(streamFile, std::string(stream.begin(), stream.end()));
  constexpr unsigned NEEDED = 40000;  // kept: 39936 bytes, a whole number of KiB
  constexpr size_t KEPT = NEEDED / 1024 * 1024;
  ASSERT_GT(stream.size(), KEPT);
  const std::string expected = directRows(std::vector<uint8_t>(stream.begin(), stream.begin() + KEPT));
  EXPECT_GT(splitLines(expected).size(), 100u);

  // The C client built with the README's commands, the library found through an rpath from
  // pkg-config or through LD_LIBRARY_PATH, and run from outside the build tree with only the
  // simulator (standing in for libusb) added to the loader's path.
  const std::string pkgConfig = "export PKG_CONFIG_PATH='" + libDir + "/pkgconfig'; ";
  const std::string build = pkgConfig + "cc -std=c11 -Wall -Werror " + KV_CLIENT_CFLAGS + " '" + KV_CLIENT_SOURCE +
                            "' -o e2e_client $(pkg-config --cflags --libs libvexacore)";
  struct Way {
    const char* name;
    std::string link;
    std::string libraryPath;
  };
  const Way ways[] = {
      {"rpath", " -Wl,-rpath,$(pkg-config --variable=libdir libvexacore)", ""},
      {"LD_LIBRARY_PATH", "", ":$(pkg-config --variable=libdir libvexacore)"},
  };
  for (const Way& way : ways) {
    SCOPED_TRACE(way.name);
    const std::string out = tmp.path("rows.txt");
    std::filesystem::remove(out);
    ASSERT_EQ(run("cd '" + tmp.path("") + "' && " + build + way.link, log), 0) << readFile(log);
    ASSERT_EQ(run("cd '" + tmp.path("") + "' && " + pkgConfig + "PROBESIM_SCENARIO='[probe];capture_file=" +
                      streamFile + "' LD_LIBRARY_PATH='" + KV_PROBESIM_DIR + "'" + way.libraryPath +
                      " ./e2e_client rows.txt " + std::to_string(NEEDED),
                  log),
              0)
        << readFile(log);

    const std::vector<std::string> lines = splitLines(readFile(out));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[1], "capture " + std::to_string(KEPT));
    const std::string rows = readFile(out).substr(lines[0].size() + lines[1].size() + 2);
    EXPECT_EQ(rows, expected) << firstDifference(expected, rows);
  }
}
