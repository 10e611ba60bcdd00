#pragma once
// Clocks and what this process holds, from the kernel: for tests that bound a
// cost and for the benchmarks that report it (bench/bench_measure.h has what only
// the benchmarks use).

#include <cstdint>

std::int64_t NowNs();         // CLOCK_MONOTONIC, the same in every process
std::int64_t ThreadCpuNs();   // the calling thread

// A field of /proc/PROCESS/status in KiB ("VmRSS", "VmHWM"), or -1; this
// process's unless another is named by its pid.
long StatusKiB(const char* field, const char* process = "self");
// Entries of a directory such as /proc/self/fd, "." and ".." left out.
int CountEntries(const char* directory);
