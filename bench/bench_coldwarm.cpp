// Cold and warm decode figures: a fresh process per cold run, then a second decode in it.
//
// Method. The parent generates (or finds) the workload, then for each run pauses, starts this
// program again as a fresh process, which reads the raw stream, decodes it with
// TexThread::startDecode (the cold decode: every page of the rows is touched for the first time
// in this process), frees the views and decodes again (the warm decode: the heap reuses the
// freed memory). Each decode is measured by itself: wall time, user and kernel time and minor
// page faults of the whole process (getrusage, the decode thread included), the heap that the
// views hold afterwards and the bytes touched (growth of the resident set, peak included). The
// parent prints the median of each figure over the runs. KV_BENCH_COLD_RUNS and KV_BENCH_COLD_PAUSE (seconds) change the run
// count and the pause; KV_BENCH_SMOKE=1 makes both small, for a quick check that it works.
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "kvexthrd.h"
#include "kvrowpool.h"

namespace {

constexpr int DEFAULT_RUNS = 5;
constexpr double DEFAULT_PAUSE_S = 5.0;
constexpr int SMOKE_RUNS = 1;
constexpr double SMOKE_PAUSE_S = 0.1;
constexpr int FIGURES = 8;

// One decode's figures, in the order printed.
struct Figures {
  double v[FIGURES] = {};
};
const char* const NAMES[FIGURES] = {"MB_per_s",    "x_realtime",  "wall_s",           "user_s",
                                    "kernel_s",    "page_faults", "heap_B_per_raw_B", "touched_B_per_raw_B"};

double seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

size_t rssNow() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmRSS:", 0) == 0) return static_cast<size_t>(std::strtoull(line.c_str() + 6, nullptr, 10)) * 1024;
  return 0;
}

// One decode of the stream into a new pipeline object, measured; the object is returned so that
// freeing it is not measured.
Figures measureDecode(const kvbench::Loaded& l, std::unique_ptr<TexThread>& ex) {
  ex = std::make_unique<TexThread>();
  const size_t heap0 = kvbench::heapInUse();
  kvbench::resetPeakRss();
  const size_t rss0 = rssNow();
  rusage r0{}, r1{};
  getrusage(RUSAGE_SELF, &r0);
  const auto t0 = std::chrono::steady_clock::now();
  ex->startDecode(&l.raw);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  getrusage(RUSAGE_SELF, &r1);
  const double raw = static_cast<double>(l.raw.size());
  Figures f;
  f.v[0] = kvbench::megabytes(raw) / wall;
  f.v[1] = kvbench::busSeconds(l.ticks) / wall;
  f.v[2] = wall;
  f.v[3] = seconds(r1.ru_utime) - seconds(r0.ru_utime);
  f.v[4] = seconds(r1.ru_stime) - seconds(r0.ru_stime);
  f.v[5] = static_cast<double>(r1.ru_minflt - r0.ru_minflt + r1.ru_majflt - r0.ru_majflt);
  // The heap that the views hold (rows, payloads, vectors with their reserved room), allocator
  // overhead included.
  f.v[6] = (static_cast<double>(kvbench::heapInUse()) - static_cast<double>(heap0)) / raw;
  // Bytes touched: pages newly made resident, transient ones included. In the cold decode that is
  // every page it touched; in the warm one only those it touched beyond the first decode's.
  f.v[7] = (static_cast<double>(kvbench::peakRss()) - static_cast<double>(rss0)) / raw;
  return f;
}

// The child: a cold decode, then a warm one; one line of figures each on stdout. "desktop" places
// the heap as the desktop program does (placeHeapForDecoding), "library" leaves malloc as a
// library client would have it.
int child(const std::string& key, const std::string& placement) {
  if (placement == "desktop") placeHeapForDecoding();
  const kvbench::Loaded& l = kvbench::loaded(kvbench::workload(key));
  std::unique_ptr<TexThread> ex;
  const Figures cold = measureDecode(l, ex);
  ex.reset();
  const Figures warm = measureDecode(l, ex);
  for (const Figures* f : {&cold, &warm}) {
    for (int i = 0; i < FIGURES; ++i) std::printf("%s%.6g", i ? " " : "", f->v[i]);
    std::printf("\n");
  }
  return 0;
}

// Runs the child once and reads its two lines; false when it failed.
bool runChild(const char* self, const std::string& key, const char* placement, Figures& cold,
              Figures& warm) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    execl(self, self, "--child", key.c_str(), placement, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
  const char* p = out.c_str();
  for (Figures* f : {&cold, &warm})
    for (int i = 0; i < FIGURES; ++i) {
      char* end = nullptr;
      f->v[i] = std::strtod(p, &end);
      if (end == p) return false;
      p = end;
    }
  return true;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void printMedians(const char* what, const std::vector<Figures>& runs) {
  std::printf("%-5s", what);
  for (int i = 0; i < FIGURES; ++i) {
    std::vector<double> col;
    for (const auto& r : runs) col.push_back(r.v[i]);
    std::printf(" %s=%.4g", NAMES[i], median(col));
  }
  std::printf("\n");
}

double envNumber(const char* name, double fallback) {
  const char* s = std::getenv(name);
  if (!s || !*s) return fallback;
  char* end = nullptr;
  const double v = std::strtod(s, &end);
  return end != s && *end == '\0' && v >= 0 ? v : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3]);
  const bool smoke = envNumber("KV_BENCH_SMOKE", 0) > 0;
  const int runs =
      std::max(1, static_cast<int>(envNumber("KV_BENCH_COLD_RUNS", smoke ? SMOKE_RUNS : DEFAULT_RUNS)));
  const double pause = envNumber("KV_BENCH_COLD_PAUSE", smoke ? SMOKE_PAUSE_S : DEFAULT_PAUSE_S);
  std::vector<std::string> keys;
  for (int i = 1; i < argc; ++i) keys.push_back(argv[i]);
  if (keys.empty())
    for (const auto& w : kvbench::workloads()) keys.push_back(w.key);
  std::printf("cold: a fresh process per run, %.3g s pause before it, median of %d run(s); "
              "warm: a second decode in the same process after the first one's views were freed.\n"
              "Both through TexThread::startDecode; times and page faults of the whole process "
              "(getrusage); heap = heap held by the views per raw byte; touched = pages newly made "
              "resident per raw byte (a warm decode touches only what the first did not).\n",
              pause, runs);
  int failed = 0;
  for (const auto& key : keys) {
    const kvbench::Workload& w = kvbench::workload(key);
    kvbench::ensureCached(w);
    for (const char* placement : {"desktop", "library"}) {
      std::vector<Figures> cold, warm;
      for (int r = 0; r < runs; ++r) {
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::duration<double>(pause));
        Figures c, h;
        if (!runChild("/proc/self/exe", key, placement, c, h)) {
          std::fprintf(stderr, "cold run %d of %s failed\n", r + 1, w.label().c_str());
          ++failed;
          continue;
        }
        cold.push_back(c);
        warm.push_back(h);
      }
      if (cold.empty()) continue;
      std::printf("--- %s, heap placed as in the %s\n", w.label().c_str(),
                  std::strcmp(placement, "desktop") == 0 ? "desktop program (placeHeapForDecoding)"
                                                         : "library (malloc as the client has it)");
      printMedians("cold", cold);
      printMedians("warm", warm);
    }
  }
  return failed ? 1 : 0;
}
