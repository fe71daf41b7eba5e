// Shared parts of the benchmarks: workload table and disk cache, bus time, heap and RSS probes.
#include "bench_common.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "kvraw.h"
#include "workloads.h"

#ifndef KV_BENCH_CACHE_DIR
#define KV_BENCH_CACHE_DIR "bench-cache"
#endif

namespace kvbench {

namespace {

// Bumped whenever the workload generators change what they make, so old cache files are not used.
constexpr int GENERATOR_VERSION = 1;
constexpr size_t MB = 1000 * 1000;

size_t sizeFromEnv(size_t fallback) {
  const char* s = std::getenv("KV_BENCH_MB");
  if (!s || !*s)
    return fallback;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  if (end == s || *end != '\0' || !(v > 0) || v > 1e6)
    throw std::invalid_argument(std::string("KV_BENCH_MB is not a positive number of MB: ") + s);
  return static_cast<size_t>(v * MB);
}

std::string cacheDir() {
  const char* s = std::getenv("KV_BENCH_CACHE");
  return s && *s ? s : KV_BENCH_CACHE_DIR;
}

std::string sizeText(size_t bytes) {
  char buf[32];
  if (bytes % MB == 0)
    std::snprintf(buf, sizeof buf, "%zuMB", bytes / MB);
  else
    std::snprintf(buf, sizeof buf, "%.3gMB", static_cast<double>(bytes) / MB);
  return buf;
}

Loaded& slot() {
  static Loaded l;
  return l;
}
std::string& slotKey() {
  static std::string k;
  return k;
}

}  // namespace

std::string Workload::label() const { return key + "_" + name + "/" + sizeText(bytes); }

const std::vector<Workload>& workloads() {
  static const std::vector<Workload> table = {
      {"a", "saturated", sizeFromEnv(200 * MB), 1, usbenc::saturatedBus},
      {"b", "idle", sizeFromEnv(200 * MB), 1, usbenc::idleBus},
      {"c", "enumeration", sizeFromEnv(20 * MB), 1, usbenc::enumerationMix},
  };
  return table;
}

const Workload& workload(const std::string& key) {
  for (const auto& w : workloads())
    if (w.key == key)
      return w;
  throw std::invalid_argument("no workload " + key);
}

std::string ensureCached(const Workload& w) {
  namespace fs = std::filesystem;
  const fs::path dir = cacheDir();
  const fs::path file = dir / (w.name + "-" + std::to_string(w.bytes) + "B-seed" + std::to_string(w.seed) +
                               "-v" + std::to_string(GENERATOR_VERSION) + ".raw");
  std::error_code ec;
  if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) >= w.bytes)
    return file.string();
  fs::create_directories(dir);
  std::cerr << "generating workload " << w.label() << " into " << file.string() << " ..." << std::flush;
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<uint8_t> raw = w.make(w.bytes, w.seed);
  const fs::path tmp = file.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    if (!out)
      throw std::runtime_error("cannot write " + tmp.string());
  }
  fs::rename(tmp, file);
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::cerr << " " << raw.size() << " bytes in " << s << " s\n";
  return file.string();
}

std::vector<uint8_t> readWorkload(const Workload& w) {
  const std::string path = ensureCached(w);
  std::ifstream in(path, std::ios::binary);
  in.seekg(0, std::ios::end);
  const auto size = static_cast<size_t>(in.tellg());
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> raw(size);
  in.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(size));
  if (!in)
    throw std::runtime_error("cannot read " + path);
  return raw;
}

const Loaded& loaded(const Workload& w) {
  if (slotKey() != w.label()) {
    dropLoaded();
    slot().raw = readWorkload(w);
    slot().ticks = streamTicks(slot().raw);
    slotKey() = w.label();
  }
  return slot();
}

void dropLoaded() {
  slot() = Loaded{};
  slotKey().clear();
}

uint64_t streamTicks(const std::vector<uint8_t>& raw) {
  Traw reader(raw);
  TrawItem item;
  while (reader.getItem(item)) {
  }
  return reader.total;
}

size_t heapInUse() {
  const struct mallinfo2 mi = mallinfo2();
  return mi.uordblks + mi.hblkhd;
}

void trimHeap() { malloc_trim(0); }

bool resetPeakRss() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
  f.flush();
  return static_cast<bool>(f);
}

size_t peakRss() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0)
      return static_cast<size_t>(std::strtoull(line.c_str() + 6, nullptr, 10)) * 1024;
  return 0;
}

RowCounts countRows(const TrowVec& events) {
  RowCounts c;
  for (const auto& r : events) {
    if (!r)
      continue;
    switch (r->kind) {
      case ROW_RESET:
        ++c.resets;
        break;
      case ROW_DATA:
        c.payloadBytes += static_cast<const Tdata&>(*r).data.size();
        ++c.packets;
        break;
      case ROW_SOF:
      case ROW_TOKEN:
      case ROW_HANDSHAKE:
        ++c.packets;
        break;
      default:
        break;
    }
  }
  return c;
}

void registerOn(const std::string& prefix, const Workload& w,
                const std::function<void(benchmark::State&, const Workload&)>& fn) {
  int iters = 1;
  if (const char* s = std::getenv("KV_BENCH_ITERS"))
    iters = std::max(1, std::atoi(s));
  const Workload* wp = &w;
  benchmark::RegisterBenchmark((prefix + "/" + w.label()).c_str(),
                               [fn, wp](benchmark::State& st) { fn(st, *wp); })
      ->Iterations(iters)
      ->UseManualTime()
      ->Unit(benchmark::kSecond);
}

int runMain(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string tabular = "--benchmark_counters_tabular=true";
  args.insert(args.begin() + 1, tabular.data());
  int n = static_cast<int>(args.size());
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data()))
    return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace kvbench
