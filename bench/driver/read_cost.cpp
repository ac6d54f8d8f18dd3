// Counts the instructions of reads on an allowed disk under callgrind: run
// with `valgrind --tool=callgrind --collect-atstart=no` (read_cost.sh does),
// once with "filter" and once with "bare"; only the reads are measured.
#include <valgrind/callgrind.h>

#include <cstdio>
#include <cstring>

#include "bench/driver/bench_disk.h"

int main(int argc, char** argv) {
  const bool filter = argc > 1 && std::strcmp(argv[1], "filter") == 0;
  constexpr int kReads = 10000;
  vx::bench::BenchDisks disks;
  // Warm up, so that the measured reads take the steady path.
  for (int i = 0; i < 100; ++i) filter ? disks.ReadThroughFilter() : disks.ReadThroughBareFilter();
  CALLGRIND_START_INSTRUMENTATION;
  CALLGRIND_TOGGLE_COLLECT;
  for (int i = 0; i < kReads; ++i) filter ? disks.ReadThroughFilter() : disks.ReadThroughBareFilter();
  CALLGRIND_TOGGLE_COLLECT;
  CALLGRIND_STOP_INSTRUMENTATION;
  std::printf("%s reads: %d\n", filter ? "filter" : "bare", kReads);
  return 0;
}
