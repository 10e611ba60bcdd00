#pragma once
// What only the benchmarks measure of this process, from the kernel.

#include <cstdint>
#include <map>
#include <string>

std::int64_t ProcessCpuNs();  // every thread of this process, ended ones included

// Makes VmHWM the present resident size, so a part of a run reports its own peak.
void ResetPeakResident();

// Processor seconds of each live thread of this process, by thread name (threads
// of one name summed); the kernel counts them in clock ticks.
std::map<std::string, double> ThreadCpuSeconds();

// Wake-ups (voluntary context switches) of each live thread, by name: what a
// streaming program pays the scheduler for besides its own work.
std::map<std::string, long> ThreadWakeups();
