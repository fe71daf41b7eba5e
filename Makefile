# Wraps the CMake build: dependencies, build, tests, sanitizer builds and the desktop program.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Every Debian package the build and the tests need.
DEB_PACKAGES := build-essential cmake ninja-build pkg-config \
	zlib1g-dev liblua5.3-dev libusb-1.0-0-dev libwxgtk3.2-dev \
	libgtest-dev libgmock-dev libbenchmark-dev \
	clang libclang-rt-14-dev \
	xvfb xauth xdotool imagemagick libx11-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps configure build test test-gui run asan tsan core-only bench bench-smoke fuzz clean

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing; \
	fi

# Configures the build directory when it is new, and again from an empty cache whenever
# CMAKE_FLAGS differ from the flags it was configured with (kept in $(FLAGS_FILE)), so that no
# cached option outlives the flags that set it. Compiled objects stay.
FLAGS_FILE = $(BUILD)/kv-cmake-flags
configure:
	@want='$(subst ','\'',$(CMAKE_FLAGS))'; \
	if [ -f $(BUILD)/build.ninja ] && [ -f $(FLAGS_FILE) ] && [ "$$(cat $(FLAGS_FILE))" = "$$want" ]; then exit 0; fi; \
	rm -f $(BUILD)/CMakeCache.txt $(FLAGS_FILE); \
	echo cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS); \
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) && printf '%s' "$$want" > $(FLAGS_FILE)

build: deps configure
	cmake --build $(BUILD) -j $(JOBS)

# Every test: the headless ones first, then the GUI ones and last the end-to-end ones, each under
# a virtual X server (an end-to-end test also starts an X server of its own for the program it
# drives).
test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 600 -LE 'gui|e2e'
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1600x1200x24" \
	  ctest -j $(JOBS) --output-on-failure --timeout 600 -L gui --no-tests=ignore
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1600x1200x24" \
	  ctest -j $(JOBS) --output-on-failure --timeout 900 -L e2e --no-tests=ignore

# Only the GUI tests, under a virtual X server.
test-gui: build
	cd $(BUILD) && xvfb-run -a -s "-screen 0 1600x1200x24" \
	  ctest -j $(JOBS) --output-on-failure --timeout 600 -L gui --no-tests=ignore

# The desktop program, started in the repository root: it reads ./default.kvd,
# ./scripts/init.lua and ./ostrel_help.html from its working directory.
run: build
	cd $(CURDIR) && $(abspath $(BUILD))/app/ostrel

# Every test again under AddressSanitizer and UndefinedBehaviorSanitizer.
# LeakSanitizer skips only leaks that pass through the GUI toolkit's own libraries
# (tests/lsan.supp); our code stays fully checked.
asan: deps
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
	  $(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=address,undefined"

# The threaded tests under ThreadSanitizer.
tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKV_SANITIZE=thread -DKV_BUILD_GUI=OFF
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest -j $(JOBS) --output-on-failure --timeout 600 -L threads --no-tests=ignore

# The core alone, without wxWidgets, to keep it free of the GUI toolkit.
core-only: deps
	cmake -S . -B build-core -G Ninja -DKV_BUILD_GUI=OFF -DKV_BUILD_TESTS=OFF -DKV_WERROR=ON
	cmake --build build-core -j $(JOBS) --target kvcore

# Benchmarks: an optimised build of their own, then every program with its figures (throughput,
# memory, workload sizes; the desktop's drawing under a virtual X server). KV_BENCH_MB=N sets
# every workload to N MB (and the drawing benchmark's filter workload to N x 10,000 rows);
# generated workloads are cached in $(BENCH_BUILD)/bench-cache. bench_coldwarm gives the cold
# decode figure (fresh processes, KV_BENCH_COLD_RUNS of them, default 5, each after a pause of
# KV_BENCH_COLD_PAUSE seconds, default 5) and the warm one; the other decode figures are warm.
BENCH_BUILD ?= build-bench
# ON makes compiler warnings errors in the benchmark build too (CI sets it).
BENCH_WERROR ?= OFF
BENCH_PROGRAMS := bench_coldwarm bench_decode bench_memory bench_samplefile bench_lib
BENCH_GUI_PROGRAMS := bench_gui

bench: deps
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_GUI=ON -DKV_WERROR=$(BENCH_WERROR)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target $(BENCH_PROGRAMS) $(BENCH_GUI_PROGRAMS)
	@echo "cores: $$(nproc); load average: $$(cut -d' ' -f1-3 /proc/loadavg)"
	@set -e; for p in $(BENCH_PROGRAMS); do echo "=== $$p"; $(BENCH_BUILD)/bench/$$p; done
	@set -e; for p in $(BENCH_GUI_PROGRAMS); do echo "=== $$p"; \
	  xvfb-run -a -s "-screen 0 1920x1200x24" $(BENCH_BUILD)/bench/$$p; done

# Every benchmark built and run once on a small workload (CI: they must not rot); the cold
# figure with one run and a short pause.
bench-smoke:
	KV_BENCH_MB=1 KV_BENCH_SMOKE=1 $(MAKE) bench

# Every fuzz target, built with clang under ASan+UBSan in a build directory of its own, runs for
# FUZZ_TIME seconds on its seed corpus (tests/fuzz/corpus/<target>, never written) and the inputs
# it finds ($(FUZZ_BUILD)/corpus/<target>). Any crash, leak, timeout or out-of-memory report
# stops it, leaves the input in $(FUZZ_BUILD)/artifacts/ and fails the run.
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
# Each target with the longest input it tries (-max_len): streams of a few hundred packets, a
# row line well past the longest valid one (about 3.2 KB), sample files of a few hundred rows,
# and for the decode script, which runs Lua on every row, a little less.
FUZZ_TARGETS := rawstream:16384 rowline:65536 samplefile:16384 decodescript:8192
FUZZ_FLAGS := -max_total_time=$(FUZZ_TIME) -timeout=20 -rss_limit_mb=2048 -print_final_stats=1
# A smaller quarantine than ASan's 256 MB: the decode makes many short-lived allocations, and
# cycling them through fresh memory costs more than half of each run.
FUZZ_ASAN_OPTIONS := quarantine_size_mb=16

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DKV_FUZZ=ON -DKV_BUILD_TESTS=OFF -DKV_BUILD_GUI=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) \
	  --target $(foreach t,$(FUZZ_TARGETS),fuzz_$(firstword $(subst :, ,$(t))))
	@failed=""; \
	for tl in $(FUZZ_TARGETS); do \
	  t=$${tl%%:*}; len=$${tl##*:}; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts; \
	  echo "=== fuzz_$$t for $(FUZZ_TIME) s"; \
	  if ! ASAN_OPTIONS=$(FUZZ_ASAN_OPTIONS) $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t $(FUZZ_FLAGS) -max_len=$$len \
	      -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- \
	      $(FUZZ_BUILD)/corpus/$$t tests/fuzz/corpus/$$t > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1; then \
	    tail -n 40 $(FUZZ_BUILD)/fuzz_$$t.log; failed="$$failed $$t"; \
	  fi; \
	  grep -E "^#[0-9]+.* cov: " $(FUZZ_BUILD)/fuzz_$$t.log | tail -n 1; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzzing found faults in:$$failed (inputs in $(FUZZ_BUILD)/artifacts/)"; exit 1; fi; \
	echo "fuzzing: no fault found"

# Every build directory that these targets make.
clean:
	rm -rf $(BUILD) build build-asan build-tsan build-core $(BENCH_BUILD) build-bench $(FUZZ_BUILD) build-fuzz
