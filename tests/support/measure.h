#pragma once
// Clocks and what this process holds, from the kernel: for tests that bound a
// cost and for the benchmarks that report it.

#include <cstdint>
#include <map>
#include <string>

std::int64_t NowNs();         // CLOCK_MONOTONIC, the same in every process
std::int64_t ProcessCpuNs();  // every thread of this process, ended ones included
std::int64_t ThreadCpuNs();   // the calling thread

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"), or -1.
long StatusKiB(const char* field);
// Makes VmHWM the present resident size, so a part of a run reports its own peak.
void ResetPeakResident();
// Entries of a directory such as /proc/self/fd, "." and ".." left out.
int CountEntries(const char* directory);

// Processor seconds of each live thread of this process, by thread name (threads
// of one name summed); the kernel counts them in clock ticks.
std::map<std::string, double> ThreadCpuSeconds();
