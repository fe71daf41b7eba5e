// Library row read-out benchmark: every row of a loaded capture as a row line and a box string.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "kvdataio.h"
#include "kvexthrd.h"
#include "libvexa.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvbench::Workload;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// The workload's rows as a sample file in the cache, written once: the library takes rows in
// through its exports only, and a sample file is how a client hands it rows it did not capture.
std::string sampleFile(const Workload& w) {
  const std::string path = kvbench::ensureCached(w) + ".lib.kvd";
  if (std::filesystem::exists(path))
    return path;
  TexThread ex;
  ex.startDecode(&kvbench::loaded(w).raw);
  kvbench::dropLoaded();
  const std::string part = path + ".part";
  TdataIO io;
  if (io.saveLinearToFile(ex.pLinearRowVec(), part) == 0)
    return {};
  std::filesystem::rename(part, path);
  return path;
}

// One library handle holding the workload's rows.
struct Handle {
  std::string label;
  void* h = nullptr;
  uint32_t rows = 0;
  ~Handle() { sniffEnd(h); }
};

Handle& handle(const Workload& w) {
  static Handle hd;
  if (hd.label != w.label()) {
    sniffEnd(hd.h);
    hd.h = sniffInit();
    hd.rows = hd.h ? sampleFileRead(hd.h, sampleFile(w).c_str()) : 0;
    hd.label = w.label();
  }
  return hd;
}

// Calls readRow(h, ix) for every row of the workload's handle, timed; readRow returns the
// bytes of text it got. Counters: rows, rows per second and MB of text per second.
template <typename ReadRow>
void readOut(benchmark::State& st, const Workload& w, ReadRow readRow) {
  Handle& hd = handle(w);
  if (hd.rows == 0) {
    st.SkipWithError("no rows loaded");
    return;
  }
  size_t bytes = 0;
  double total = 0;
  for (auto _ : st) {
    bytes = 0;
    const auto t0 = Clock::now();
    for (uint32_t i = 0; i < hd.rows; ++i) bytes += readRow(hd.h, i);
    const double s = since(t0);
    st.SetIterationTime(s);
    total += s;
  }
  const double per = total / static_cast<double>(st.iterations());
  st.counters["rows"] = hd.rows;
  st.counters["rows_per_s"] = hd.rows / per;
  st.counters["text_MB_per_s"] = kvbench::megabytes(static_cast<double>(bytes)) / per;
}

// getPacketDataRow into one buffer that grows when a row needs more (the two-call pattern
// only for those rows).
void rowLines(benchmark::State& st, const Workload& w) {
  std::vector<char> buf(256);
  readOut(st, w, [&buf](void* h, uint32_t i) -> size_t {
    uint32_t n = getPacketDataRow(h, i, buf.data(), static_cast<uint32_t>(buf.size()));
    if (n > buf.size()) {
      buf.resize(n);
      n = getPacketDataRow(h, i, buf.data(), n);
    }
    return n;
  });
}

// getBoxStrX: a fresh box maker per row, the string in the shared buffer.
void boxStrings(benchmark::State& st, const Workload& w) {
  readOut(st, w, [](void* h, uint32_t i) -> size_t {
    const char* s = getBoxStrX(h, i);
    return s ? std::char_traits<char>::length(s) : 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  const Workload& a = kvbench::workload("a");
  kvbench::registerOn("LibRowLines", a, rowLines);
  kvbench::registerOn("LibBoxStrings", a, boxStrings);
  return kvbench::runMain(argc, argv);
}
