// Test helpers for the display data and the row cache: rows handed in as a capture, the script's
// working directory and the hub's show flags.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "kvdispldata.h"
#include "kvglobs.h"
#include "sw_sniff/pipe_helpers.h"

namespace kvtest {

/// Every row kind: a reset, a SOF group of three, a NAKed IN, a control transfer of three
/// transactions, another NAKed IN, a lone SOF and an IN with data.
///  0 reset | 1 sofgroup, 2-4 sof | 5 IN+NAK, 6 token, 7 NAK | 8 transfer, 9/13/17 transactions
///  with their packets 10-12, 14-16, 18-20 | 21 IN+NAK, 22, 23 | 24 sof | 25 IN, 26-28
inline constexpr const char* ALL_KINDS =
    "R S S S IN1.1 NAK SETUP0.0 D0=80,06,00,01,00,00,12,00 ACK IN0.0 D1:4 ACK OUT0.0 D1:0 ACK "
    "IN1.1 NAK S IN2.1 D0:3 ACK";

/// Views of the rows of an event spec (see events()).
inline Views viewsOf(const std::string& spec) {
  Views v;
  *v.roots = group(spec);
  TdataIO().treeRootVecToLinVec(v.roots, v.lin);
  return v;
}

/// Hands the views to the display data as a capture that ended with OK; the rows now shown.
inline size_t loadViews(TdisplData& dd, const Views& v) {
  dd.setCaptureRunner([v] { return TcaptureResult{true, v.roots, v.lin}; });
  return dd.doCapture();
}

/// The repository root, where the program's start-up finds "./scripts/init.lua".
inline std::filesystem::path repoRoot() {
  return KV_SOURCE_DIR;
}

/// Makes dir the working directory for the object's life.
class WorkDir {
 public:
  explicit WorkDir(const std::filesystem::path& dir) : old(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkDir() {
    std::error_code ec;
    std::filesystem::current_path(old, ec);
  }

 private:
  std::filesystem::path old;
};

/// Sets the three show flags for the object's life.
class ShowFlags {
 public:
  ShowFlags(bool sof, bool nak, bool packets)
      : oldSof(_G.showSOF), oldNak(_G.showNAK), oldPackets(_G.showPackets) {
    _G.showSOF = sof;
    _G.showNAK = nak;
    _G.showPackets = packets;
  }
  ~ShowFlags() {
    _G.showSOF = oldSof;
    _G.showNAK = oldNak;
    _G.showPackets = oldPackets;
  }

 private:
  bool oldSof, oldNak, oldPackets;
};

}  // namespace kvtest
