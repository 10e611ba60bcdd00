#include "measure.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

std::int64_t ClockNs(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::int64_t NowNs() { return ClockNs(CLOCK_MONOTONIC); }
std::int64_t ThreadCpuNs() { return ClockNs(CLOCK_THREAD_CPUTIME_ID); }

long StatusKiB(const char* field, const char* process) {
    std::ifstream status(std::string("/proc/") + process + "/status");
    const std::string prefix = field + std::string(":");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(prefix)) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

int CountEntries(const char* directory) {
    std::error_code error;  // an unreadable directory counts as empty
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(directory, error), {}));
}
