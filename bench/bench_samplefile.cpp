// Sample-file benchmark: saving and loading a decoded capture, and the save against zlib alone.
#include <zlib.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_common.h"
#include "kvdataio.h"
#include "kvexthrd.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvbench::Workload;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The decoded views of one workload at a time.
struct Decoded {
  std::string label;
  std::unique_ptr<TexThread> ex;
};

Decoded& decoded(const Workload& w) {
  static Decoded d;
  if (d.label != w.label()) {
    d.ex.reset();
    d.ex = std::make_unique<TexThread>();
    d.ex->startDecode(&kvbench::loaded(w).raw);
    kvbench::dropLoaded();
    d.label = w.label();
  }
  return d;
}

std::string filePath(const Workload& w, const char* suffix) {
  return kvbench::ensureCached(w) + suffix;
}

// The whole uncompressed content of a gz file.
std::string gunzip(const std::string& path) {
  std::string text;
  gzFile f = gzopen64(path.c_str(), "rb");
  if (!f)
    return text;
  char buf[1 << 16];
  for (int n; (n = gzread(f, buf, sizeof buf)) > 0;)
    text.append(buf, static_cast<size_t>(n));
  gzclose(f);
  return text;
}

// zlib alone: the same text written through gzwrite in pieces below 2^31 bytes, at the default level.
double gzwriteAlone(const std::string& text, const std::string& path) {
  const auto t0 = Clock::now();
  gzFile f = gzopen64(path.c_str(), "wb");
  if (!f)
    return 0;
  constexpr size_t PIECE = size_t{1} << 30;
  for (size_t i = 0; i < text.size(); i += PIECE)
    gzwrite(f, text.data() + i, static_cast<unsigned>(std::min(PIECE, text.size() - i)));
  gzclose(f);
  return since(t0);
}

void save(benchmark::State& st, const Workload& w) {
  Decoded& d = decoded(w);
  const auto lin = d.ex->pLinearRowVec();
  const std::string path = filePath(w, ".kvd");
  const std::string plain = filePath(w, ".gzwrite.gz");
  double tSave = 0, tZlib = 0;
  uint32_t rows = 0;
  for (auto _ : st) {
    TdataIO io;
    const auto t0 = Clock::now();
    rows = io.saveLinearToFile(lin, path);
    const double s = since(t0);
    st.SetIterationTime(s);
    tSave += s;
    const std::string text = gunzip(path);
    tZlib += gzwriteAlone(text, plain);
    st.counters["body_MB"] = kvbench::megabytes(static_cast<double>(text.size()));
  }
  const double it = static_cast<double>(st.iterations());
  const double fileMB = kvbench::megabytes(static_cast<double>(std::filesystem::file_size(path)));
  st.counters["rows"] = rows;
  st.counters["file_MB"] = fileMB;
  st.counters["rows_per_s"] = rows * it / tSave;
  st.counters["file_MB_per_s"] = fileMB * it / tSave;
  st.counters["gzwrite_s"] = tZlib / it;
  st.counters["save_vs_gzwrite"] = tSave / tZlib;
}

void load(benchmark::State& st, const Workload& w) {
  const std::string path = filePath(w, ".kvd");
  if (!std::filesystem::exists(path)) {
    TdataIO io;
    io.saveLinearToFile(decoded(w).ex->pLinearRowVec(), path);
  }
  double t = 0;
  size_t rows = 0;
  for (auto _ : st) {
    auto ex = std::make_unique<TexThread>();
    const auto t0 = Clock::now();
    rows = ex->sampleFileRead(path);
    const double s = since(t0);
    st.SetIterationTime(s);
    t += s;
    ex.reset();  // freeing the rows is not part of the load
  }
  const double it = static_cast<double>(st.iterations());
  const double fileMB = kvbench::megabytes(static_cast<double>(std::filesystem::file_size(path)));
  st.counters["rows"] = static_cast<double>(rows);
  st.counters["file_MB"] = fileMB;
  st.counters["rows_per_s"] = static_cast<double>(rows) * it / t;
  st.counters["file_MB_per_s"] = fileMB * it / t;
}

}  // namespace

int main(int argc, char** argv) {
  // The figures that have targets are those of (a); (c) shows a mix of short rows.
  for (const char* key : {"a", "c"}) {
    kvbench::registerOn("SaveSampleFile", kvbench::workload(key), save);
    kvbench::registerOn("LoadSampleFile", kvbench::workload(key), load);
  }
  return kvbench::runMain(argc, argv);
}
