#include "bench_measure.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <unistd.h>

std::int64_t ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void ResetPeakResident() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "we")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

std::map<std::string, double> ThreadCpuSeconds() {
    std::map<std::string, double> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char buf[1024];
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        FILE* f = std::fopen(path.c_str(), "re");
        if (!f) continue;
        buf[std::fread(buf, 1, sizeof buf - 1, f)] = 0;
        std::fclose(f);
        // The name is in parentheses and may hold anything; the fields follow the last ')'.
        const char* open = std::strchr(buf, '(');
        const char* close = std::strrchr(buf, ')');
        unsigned long user = 0, system = 0;
        if (open && close &&
            std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) == 2)
            out[std::string(open + 1, close)] += double(user + system) / tick;
    }
    closedir(dir);
    return out;
}
