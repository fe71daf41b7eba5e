// Decode pipeline benchmark (warm): raw stream to the three views, whole and step by step.
#include <chrono>
#include <memory>

#include "bench_common.h"
#include "kvdataio.h"
#include "kvexthrd.h"
#include "kvrowpool.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvbench::Workload;

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Workload size and bus time, and the throughput over `seconds` per iteration: MB of raw stream
// per second and the multiple of real time (bus seconds decoded per wall second).
void setWorkloadCounters(benchmark::State& st, const kvbench::Loaded& l, double seconds) {
  const double mb = kvbench::megabytes(static_cast<double>(l.raw.size()));
  const double bus = kvbench::busSeconds(l.ticks);
  st.counters["size_MB"] = mb;
  st.counters["bus_s"] = bus;
  st.counters["MB_per_s"] = mb / seconds;
  st.counters["x_realtime"] = bus / seconds;
}

// Every figure here is a warm one: each benchmark first decodes the workload once untimed, so
// the timed decodes reuse memory that the process has touched before (bench_coldwarm gives the
// cold figure). The heap is placed as the desktop program places it.
constexpr const char* WARM_LABEL =
    "warm: after an untimed decode in this process; heap placed as in the desktop program";

// One untimed decode through the pipeline object, its views freed again.
void warmUp(const kvbench::Loaded& l) {
  auto ex = std::make_unique<TexThread>();
  ex->startDecode(&l.raw);
}

// TexThread::startDecode: the decode thread with all three steps, as the programs run it.
void pipeline(benchmark::State& st, const Workload& w) {
  const kvbench::Loaded& l = kvbench::loaded(w);
  size_t rows = 0, events = 0;
  double total = 0;
  warmUp(l);
  st.SetLabel(WARM_LABEL);
  for (auto _ : st) {
    auto ex = std::make_unique<TexThread>();
    const auto t0 = Clock::now();
    ex->startDecode(&l.raw);
    const double s = since(t0);
    st.SetIterationTime(s);
    total += s;
    rows = ex->pLinearRowVec()->size();
    events = ex->pEventVec()->size();
    ex.reset();  // freeing the rows is not part of the decode
  }
  setWorkloadCounters(st, l, total / static_cast<double>(st.iterations()));
  st.counters["events"] = static_cast<double>(events);
  st.counters["flat_rows"] = static_cast<double>(rows);
}

// The three TdataIO steps timed one by one on the calling thread: each one's share.
void steps(benchmark::State& st, const Workload& w) {
  const kvbench::Loaded& l = kvbench::loaded(w);
  double tEvents = 0, tTree = 0, tFlat = 0;
  warmUp(l);
  st.SetLabel(WARM_LABEL);
  for (auto _ : st) {
    auto events = std::make_shared<TrowVec>();
    auto roots = std::make_shared<TrowVec>();
    auto lin = std::make_shared<TlinRowVec>();
    TdataIO io;
    auto t0 = Clock::now();
    io.rawDataToEventVec(l.raw, events, {});
    const double a = since(t0);
    t0 = Clock::now();
    io.eventVecToTreeRootVec(events, roots);
    const double b = since(t0);
    t0 = Clock::now();
    io.treeRootVecToLinVec(roots, lin);
    const double c = since(t0);
    st.SetIterationTime(a + b + c);
    tEvents += a;
    tTree += b;
    tFlat += c;
  }
  const double total = tEvents + tTree + tFlat;
  setWorkloadCounters(st, l, total / static_cast<double>(st.iterations()));
  const double mb = kvbench::megabytes(static_cast<double>(l.raw.size())) * static_cast<double>(st.iterations());
  st.counters["1events_MB_per_s"] = mb / tEvents;
  st.counters["2tree_MB_per_s"] = mb / tTree;
  st.counters["3flat_MB_per_s"] = mb / tFlat;
  st.counters["1events_pct"] = 100 * tEvents / total;
  st.counters["2tree_pct"] = 100 * tTree / total;
  st.counters["3flat_pct"] = 100 * tFlat / total;
}

}  // namespace

int main(int argc, char** argv) {
  placeHeapForDecoding();
  for (const auto& w : kvbench::workloads()) {
    kvbench::registerOn("Pipeline", w, pipeline);
    kvbench::registerOn("Steps", w, steps);
  }
  return kvbench::runMain(argc, argv);
}
