#include "measure.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <unistd.h>

namespace {

std::int64_t ClockNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::int64_t NowNs() { return ClockNs(CLOCK_MONOTONIC); }
std::int64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }

long StatusKiB(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    const std::size_t n = std::strlen(field);
    while (kib < 0 && std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') kib = std::strtol(line + n + 1, nullptr, 10);
    std::fclose(f);
    return kib;
}

int CountEntries(const char* directory) {
    DIR* dir = opendir(directory);
    int count = 0;
    while (const dirent* entry = dir ? readdir(dir) : nullptr) count += entry->d_name[0] != '.';
    if (dir) closedir(dir);
    return count;
}
