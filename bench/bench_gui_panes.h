// Benchmarks of the decode and raw data panes at scale (part of bench_gui).
#pragma once

#include <benchmark/benchmark.h>

/// Registers the pane benchmarks; needs a running wx GUI (wxEntryStart) when they run.
void registerPaneBenchmarks();
