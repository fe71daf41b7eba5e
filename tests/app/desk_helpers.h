// Helpers of the main-window and tree tests: a scratch working directory, hub snapshots, sample files.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kvdataio.h"
#include "kvglobs.h"

namespace kvtest {

/// For the life of the object: a fresh working directory (with the decode scripts of the
/// source tree linked in, so that the display data finds "./scripts/init.lua"), the hub's
/// subscriptions and the show flags. Windows built meanwhile subscribe to _G; restoring the
/// snapshot forgets them, so nothing published later reaches a destroyed window.
class TdeskScope {
 public:
  TdeskScope() : hub(_G), flags{_G.showSOF, _G.showNAK, _G.showPackets} {
    oldCwd = std::filesystem::current_path();
    dir = std::filesystem::temp_directory_path() /
          ("kvdesk_" + std::to_string(::getpid()) + "_" + std::to_string(++serial));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::create_directory_symlink(std::filesystem::path(KV_SOURCE_DIR) / "scripts",
                                              dir / "scripts");
    std::filesystem::current_path(dir);
  }
  ~TdeskScope() {
    restoreHub();
    _G.showSOF = flags[0];
    _G.showNAK = flags[1];
    _G.showPackets = flags[2];
    std::filesystem::current_path(oldCwd);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  TdeskScope(const TdeskScope&) = delete;
  TdeskScope& operator=(const TdeskScope&) = delete;

  /// Forgets every subscription made since the scope began (call after destroying windows).
  void restoreHub() { static_cast<TpubSub&>(_G) = hub; }

  std::filesystem::path dir;

 private:
  TpubSub hub;
  bool flags[3];
  std::filesystem::path oldCwd;
  static inline int serial = 0;
};

/// Writes a sample file of n bus resets (rows that every filter shows); true on success.
inline bool writeResets(const std::string& path, int n) {
  auto roots = std::make_shared<TrowVec>();
  for (int i = 0; i < n; ++i) roots->push_back(std::make_shared<Treset>());
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO().treeRootVecToLinVec(roots, lin);
  return TdataIO().saveLinearToFile(lin, path) == static_cast<uint32_t>(n);
}

/// Decodes a real capture of tests/data/captures and writes it as a sample file; the row count.
inline uint32_t writeCapture(const std::string& capture, const std::string& path) {
  auto events = std::make_shared<TrowVec>();
  auto roots = std::make_shared<TrowVec>();
  auto lin = std::make_shared<TlinRowVec>();
  TdataIO().loadRawFile(std::string(KV_TEST_DATA_DIR) + "/captures/" + capture, events, roots, lin);
  return TdataIO().saveLinearToFile(lin, path);
}

/// Publishes msgSampleFileRead with path, as the main window does.
inline void readSampleFile(const std::string& path) {
  _G.pub(msgSampleFileRead, reinterpret_cast<long>(path.c_str()));
}

}  // namespace kvtest
