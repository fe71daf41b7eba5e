// Shared parts of the benchmarks: workload table and disk cache, bus time, heap and RSS probes.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvgroup.h"

namespace kvbench {

/// One workload of the traffic encoder.
struct Workload {
  std::string key;   ///< "a", "b", "c"
  std::string name;  ///< "saturated", "idle", "enumeration"
  size_t bytes;      ///< minimum raw stream size
  uint64_t seed;
  std::vector<uint8_t> (*make)(size_t, uint64_t);

  /// "a_saturated/200MB": what the benchmark names carry.
  std::string label() const;
};

/// The three workloads with their sizes: 200, 200 and 20 MB, or KV_BENCH_MB each when that
/// environment variable is set (a decimal number of MB, 1 MB = 10^6 bytes).
const std::vector<Workload>& workloads();
const Workload& workload(const std::string& key);

/// Path of the workload's raw stream in the cache directory (KV_BENCH_CACHE, else the build
/// directory's bench-cache), generated and written there first when it is not yet.
std::string ensureCached(const Workload& w);
/// Reads the cached raw stream (generating it when needed) into a new vector.
std::vector<uint8_t> readWorkload(const Workload& w);

/// The raw stream and its bus time, kept in memory for one workload at a time.
struct Loaded {
  std::vector<uint8_t> raw;
  uint64_t ticks = 0;  ///< ticks covered by the stream
};
const Loaded& loaded(const Workload& w);
void dropLoaded();

/// Ticks covered by a raw stream: the sum of its run lengths.
uint64_t streamTicks(const std::vector<uint8_t>& raw);
/// Seconds of bus time of that many ticks (12 MHz).
inline double busSeconds(uint64_t ticks) { return static_cast<double>(ticks) / 12e6; }
inline double megabytes(double bytes) { return bytes / 1e6; }

/// Heap in use as glibc reports it (mallinfo2: small blocks in use plus mmapped blocks), so
/// allocator overhead counts.
size_t heapInUse();
/// Gives free heap back to the system, so a later peak RSS starts from what is in use.
void trimHeap();
/// Sets the peak resident set size back to the current one; false when the kernel refuses.
bool resetPeakRss();
/// Peak resident set size in bytes (VmHWM).
size_t peakRss();

/// Counts of a decoded event vector.
struct RowCounts {
  size_t packets = 0;       ///< SOF, token, data and handshake rows
  size_t resets = 0;
  size_t payloadBytes = 0;  ///< data bytes of the data rows
};
RowCounts countRows(const TrowVec& events);

/// Registers `fn` on the workload as "<prefix>/<label>": one iteration (KV_BENCH_ITERS sets
/// more), manual timing, seconds as the unit.
void registerOn(const std::string& prefix, const Workload& w,
                const std::function<void(benchmark::State&, const Workload&)>& fn);

/// Runs the registered benchmarks with tabular counters; the body of each program's main.
int runMain(int argc, char** argv);

}  // namespace kvbench
