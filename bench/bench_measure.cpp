#include "bench_measure.h"

#include <cstdio>
#include <cstdlib>
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

namespace {

// Calls `each` with the text of /proc/self/task/<id>/<file>, for each live thread.
template <class Each>
void ForEachThread(const char* file, Each each) {
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/" + file;
        FILE* f = std::fopen(path.c_str(), "re");
        if (!f) continue;
        char buf[4096];
        buf[std::fread(buf, 1, sizeof buf - 1, f)] = 0;
        std::fclose(f);
        each(buf);
    }
    closedir(dir);
}

}  // namespace

std::map<std::string, double> ThreadCpuSeconds() {
    std::map<std::string, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    ForEachThread("stat", [&](const char* text) {
        // The name is in parentheses and may hold anything; the fields follow the last ')'.
        const char* open = std::strchr(text, '(');
        const char* close = std::strrchr(text, ')');
        unsigned long user = 0, system = 0;
        if (open && close &&
            std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) == 2)
            out[std::string(open + 1, close)] += double(user + system) / tick;
    });
    return out;
}

std::map<std::string, long> ThreadWakeups() {
    std::map<std::string, long> out;
    ForEachThread("status", [&](const char* text) {
        const char* name = std::strstr(text, "Name:\t");
        const char* switches = std::strstr(text, "\nvoluntary_ctxt_switches:");
        if (!name || !switches) return;
        name += 6;
        out[std::string(name, std::strcspn(name, "\n"))] += std::strtol(switches + 25, nullptr, 10);
    });
    return out;
}
