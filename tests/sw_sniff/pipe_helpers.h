// Test helpers for the grouper, the flat list and sample files: row makers, files and goldens.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kvdataio.h"
#include "kvgroup.h"
#include "kvrowutils.h"

namespace kvtest {

// ---- rows as the packet decoder makes them ----

inline TrowPtr mkReset(uint64_t strt = 0) {
  auto r = std::make_shared<Treset>();
  r->strt = strt;
  r->duration = 30000;
  r->idleTicks = 10;
  return r;
}

inline TrowPtr mkSof(uint32_t frame = 1, uint64_t strt = 0) {
  auto r = std::make_shared<Tsof>();
  r->pid = PID_SOF;
  r->frame = frame;
  r->strt = strt;
  return r;
}

inline TrowPtr mkToken(int pid, uint32_t addr, uint32_t endp, uint64_t strt = 0) {
  auto r = std::make_shared<Ttoken>();
  r->pid = pid;
  r->addr = addr;
  r->endp = endp;
  r->strt = strt;
  return r;
}

inline TrowPtr mkData(int pid, size_t bytes, uint64_t strt = 0) {
  auto r = std::make_shared<Tdata>();
  r->pid = pid;
  r->data.assign(bytes, 0x5a);
  r->strt = strt;
  return r;
}

inline TrowPtr mkHs(int pid, uint64_t strt = 0) {
  auto r = std::make_shared<Thandshake>();
  r->pid = pid;
  r->strt = strt;
  return r;
}

inline std::shared_ptr<Tgrouper> asGroup(const TrowPtr& r) { return std::dynamic_pointer_cast<Tgrouper>(r); }

// ---- files ----

inline std::string dataDir() {
  if (const char* env = std::getenv("KV_TEST_DATA_DIR")) return env;
  return KV_TEST_DATA_DIR;
}

inline std::string captureDir() { return dataDir() + "/captures"; }

/// Names (without extension) of every capture that has a .raw file.
inline std::vector<std::string> captureNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(captureDir(), ec)) {
    if (e.path().extension() == ".raw") names.push_back(e.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> readBytes(const std::string& path) {
  const std::string s = readFile(path);
  return std::vector<uint8_t>(s.begin(), s.end());
}

// Files are removed before they are written again: truncating a file just written makes some
// file systems flush it at once, which slows tests that rewrite one file many times.
inline void removeFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

inline void writeFile(const std::string& path, const std::string& content) {
  removeFile(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

/// Writes content as one gzip stream.
inline void writeGz(const std::string& path, const std::string& content) {
  removeFile(path);
  gzFile f = gzopen(path.c_str(), "wb");
  if (!f) return;
  if (!content.empty()) gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
  gzclose(f);
}

/// The uncompressed content of a gzip (or plain) file.
inline std::string readGz(const std::string& path) {
  std::string out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  gzclose(f);
  return out;
}

/// A fresh directory under the system temp directory, removed with the object.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "kvpipeXXXXXX").string();
    dir = mkdtemp(tmpl.data()) ? tmpl : std::string();
  }
  ~TempDir() {
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  std::string path(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// ---- text ----

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

/// Empty when equal, else the first differing line of both texts.
inline std::string firstDifference(const std::string& expected, const std::string& actual) {
  const auto e = splitLines(expected);
  const auto a = splitLines(actual);
  for (size_t i = 0; i < std::max(e.size(), a.size()); ++i) {
    const std::string el = i < e.size() ? e[i] : "<end>";
    const std::string al = i < a.size() ? a[i] : "<end>";
    if (el != al) {
      return "line " + std::to_string(i + 1) + ":\n  expected: " + el + "\n  actual:   " + al;
    }
  }
  if (expected != actual) return "texts differ in line ends";
  return {};
}

inline std::string rowsText(const TrowVec& rows) {
  std::string s;
  for (const auto& r : rows) s += rowutils::toString(r);
  return s;
}

inline std::string linText(const TlinRowVec& lin) {
  std::string s;
  for (const auto& e : lin) s += rowutils::toString(e.row);
  return s;
}

/// The uncompressed body of a sample file (what follows the magic and the length line).
inline std::string sampleBody(const std::string& content) {
  const size_t nl = content.find('\n', 8);
  return nl == std::string::npos ? std::string() : content.substr(nl + 1);
}

/// Compares two flat lists: row lines, depths, handles, parents, ordinals and bits 0x01/0x04.
/// Empty when equal, else the first difference.
inline std::string compareLin(const TlinRowVec& a, const TlinRowVec& b) {
  if (a.size() != b.size()) return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  constexpr uint8_t pipelineBits = LINROW_SOF | LINROW_PACKET;
  for (size_t i = 0; i < a.size(); ++i) {
    const Tbase& x = *a[i].row;
    const Tbase& y = *b[i].row;
    const std::string lx = rowutils::toString(a[i].row);
    const std::string ly = rowutils::toString(b[i].row);
    if (lx != ly || x.depth != y.depth || x.handle != y.handle || x.parent != y.parent ||
        x.ordinal != y.ordinal || (a[i].flags & pipelineBits) != (b[i].flags & pipelineBits)) {
      std::ostringstream m;
      m << "row " << i << ": " << lx << " h" << x.handle << " p" << x.parent << " o" << x.ordinal
        << " f" << int(a[i].flags) << " vs " << ly << " h" << y.handle << " p" << y.parent << " o"
        << y.ordinal << " f" << int(b[i].flags);
      return m.str();
    }
  }
  return {};
}

}  // namespace kvtest
