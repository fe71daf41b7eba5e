// Test helpers for the grouper, the flat list, sample files and boxes: row makers, files, goldens.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdio>
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
#include "kvrawgrp.h"
#include "kvrowutils.h"

namespace kvtest {

/// Decoder rows from words: "R" reset, "S" SOF, "SETUP5.0"/"IN5.0"/"OUT5.0" tokens to address
/// 5 endpoint 0, "D0:8"/"D1:0" data packets with bytes 00 01 .. 07 or none, "D0=80,06" data
/// packets with the bytes given, "ACK"/"NAK"/"STALL".
inline TrowVec events(const std::string& spec) {
  TrowVec ev;
  std::istringstream in(spec);
  for (std::string w; in >> w;) {
    const size_t i = w.find_first_of("0123456789");
    const std::string name = w.substr(0, i);
    if (name == "R") {
      ev.push_back(std::make_shared<Treset>());
    } else if (name == "S") {
      auto s = std::make_shared<Tsof>();
      s->pid = PID_SOF;
      s->frame = static_cast<uint32_t>(ev.size());
      ev.push_back(s);
    } else if (name == "D") {
      auto d = std::make_shared<Tdata>();
      d->pid = w[1] == '0' ? PID_DATA0 : PID_DATA1;
      if (w[2] == ':')
        for (unsigned long b = 0, n = std::stoul(w.substr(3)); b < n; ++b)
          d->data.push_back(static_cast<uint8_t>(b));
      for (size_t p = 3; w[2] == '=' && p < w.size(); p += 3)
        d->data.push_back(static_cast<uint8_t>(std::stoul(w.substr(p, 2), nullptr, 16)));
      ev.push_back(d);
    } else if (name == "ACK" || name == "NAK" || name == "STALL") {
      auto h = std::make_shared<Thandshake>();
      h->pid = name == "ACK" ? PID_ACK : name == "NAK" ? PID_NAK : PID_STALL;
      ev.push_back(h);
    } else {
      auto t = std::make_shared<Ttoken>();
      t->pid = name == "SETUP" ? PID_SETUP : name == "IN" ? PID_IN : PID_OUT;
      if (i != std::string::npos) std::sscanf(w.c_str() + i, "%u.%u", &t->addr, &t->endp);
      ev.push_back(t);
    }
  }
  return ev;
}

/// The roots the grouper makes of the rows of events(spec).
inline TrowVec group(const TrowVec& ev) {
  TrowVec roots;
  TrawTree tree(ev, roots);
  return roots;
}
inline TrowVec group(const std::string& spec) { return group(events(spec)); }

inline std::shared_ptr<Tgrouper> asGroup(const TrowPtr& r) {
  return std::dynamic_pointer_cast<Tgrouper>(r);
}

/// The three views of a decode.
struct Views {
  std::shared_ptr<TrowVec> events = std::make_shared<TrowVec>();
  std::shared_ptr<TrowVec> roots = std::make_shared<TrowVec>();
  std::shared_ptr<TlinRowVec> lin = std::make_shared<TlinRowVec>();
};

inline Views decodeRaw(const std::vector<uint8_t>& raw) {
  Views v;
  TdataIO().loadRawData(raw, v.events, v.roots, v.lin);
  return v;
}

// ---- files ----

inline std::string captureDir() {
  const char* env = std::getenv("KV_TEST_DATA_DIR");
  return std::string(env ? env : KV_TEST_DATA_DIR) + "/captures";
}

/// Names (without extension) of every capture that has a .raw file.
inline std::vector<std::string> captureNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(captureDir(), ec))
    if (e.path().extension() == ".raw") names.push_back(e.path().stem().string());
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
inline void writeFile(const std::string& path, const std::string& content, bool gz = false) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  if (!gz) {
    std::ofstream(path, std::ios::binary) << content;
  } else if (gzFile f = gzopen(path.c_str(), "wb")) {
    if (!content.empty()) gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
    gzclose(f);
  }
}

/// The uncompressed content of a gzip (or plain) file.
inline std::string readGz(const std::string& path) {
  std::string out;
  gzFile f = gzopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  for (int n; (n = gzread(f, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
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
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

/// Empty when equal, else the first differing line of both texts.
inline std::string firstDifference(const std::string& expected, const std::string& actual) {
  const auto e = splitLines(expected);
  const auto a = splitLines(actual);
  for (size_t i = 0; i < std::max(e.size(), a.size()); ++i) {
    const std::string el = i < e.size() ? e[i] : "<end>";
    const std::string al = i < a.size() ? a[i] : "<end>";
    if (el != al)
      return "line " + std::to_string(i + 1) + ":\n  expected: " + el + "\n  actual:   " + al;
  }
  return expected == actual ? std::string() : "texts differ in line ends";
}

inline std::string linText(const TlinRowVec& lin) {
  std::string s;
  for (const auto& e : lin) s += rowutils::toString(e.row);
  return s;
}

/// Compares two flat lists: row lines, depths, handles, parents, ordinals and bits 0x01/0x04.
/// Empty when equal, else the first difference.
inline std::string compareLin(const TlinRowVec& a, const TlinRowVec& b) {
  if (a.size() != b.size())
    return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
  const auto describe = [](const TlinRow& e) {
    std::ostringstream m;
    m << rowutils::toString(e.row) << " d" << e.row->depth << " h" << e.row->handle << " p"
      << e.row->parent << " o" << e.row->ordinal << " f" << (e.flags & (LINROW_SOF | LINROW_PACKET));
    return m.str();
  };
  for (size_t i = 0; i < a.size(); ++i)
    if (describe(a[i]) != describe(b[i]))
      return "row " + std::to_string(i) + ": " + describe(a[i]) + " vs " + describe(b[i]);
  return {};
}

}  // namespace kvtest
