// Memory of a decode: heap bytes per packet row of the three views and peak resident memory.
#include <chrono>
#include <memory>

#include "bench_common.h"
#include "kvexthrd.h"

namespace {

using kvbench::Workload;

// One decode per iteration into a fresh pipeline object. Heap per packet row, by mallinfo2:
// (heap after the decode - heap before it - raw buffer - payload bytes) / packet rows, so
// allocator overhead, vector slack and the group rows all count. Peak RSS is the high-water
// mark from just before the decode (raw buffer loaded) to its end.
void decodeMemory(benchmark::State& st, const Workload& w) {
  kvbench::ensureCached(w);
  kvbench::dropLoaded();
  double perRow = 0, peak = 0, heapMB = 0, rawMB = 0, payloadMB = 0, packets = 0;
  bool peakReset = false;
  for (auto _ : st) {
    kvbench::trimHeap();
    const size_t before = kvbench::heapInUse();
    auto raw = std::make_unique<std::vector<uint8_t>>(kvbench::readWorkload(w));
    auto ex = std::make_unique<TexThread>();
    peakReset = kvbench::resetPeakRss();
    const auto t0 = std::chrono::steady_clock::now();
    ex->startDecode(raw.get());
    st.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    const size_t after = kvbench::heapInUse();
    peak = static_cast<double>(kvbench::peakRss());
    const kvbench::RowCounts c = kvbench::countRows(*ex->pEventVec());
    const double rows = static_cast<double>(c.packets);
    const double grown = static_cast<double>(after) - static_cast<double>(before);
    perRow = (grown - static_cast<double>(raw->capacity()) - static_cast<double>(c.payloadBytes)) / rows;
    heapMB = kvbench::megabytes(grown);
    rawMB = kvbench::megabytes(static_cast<double>(raw->size()));
    payloadMB = kvbench::megabytes(static_cast<double>(c.payloadBytes));
    packets = rows;
    ex.reset();
    raw.reset();
  }
  st.counters["size_MB"] = rawMB;
  st.counters["packet_rows"] = packets;
  st.counters["payload_MB"] = payloadMB;
  st.counters["heap_grown_MB"] = heapMB;
  st.counters["heap_B_per_packet_row"] = perRow;
  st.counters["peak_RSS_MB"] = kvbench::megabytes(peak);
  if (!peakReset)
    st.SetLabel("peak RSS of the whole process (cannot reset it here)");
}

}  // namespace

int main(int argc, char** argv) {
  for (const auto& w : kvbench::workloads())
    kvbench::registerOn("DecodeMemory", w, decodeMemory);
  return kvbench::runMain(argc, argv);
}
