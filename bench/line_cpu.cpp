// The processor the program takes on a user's line, measured from outside it:
// the real program (line_cpu_child: the entry with COM3 on a pseudo-terminal)
// connected in HEX, fed by this process every 10 ms with what a 921 600-baud line
// carries in that time (about 920 random bytes), for --seconds; its processor
// time read from /proc/PID/stat. The median of --runs runs is the figure.
//
// window_feed's in-process figure differs in what it leaves in: it writes every
// millisecond from a thread of the program's own process and takes that thread's
// time out. Here the start-up is printed beside the figure, since a measurement
// over the program's whole life counts it too.
//
//   line_cpu [--seconds 20] [--runs 5]
#include "bench.h"

#include "pseudo_terminal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace bench;

namespace {

std::vector<std::string> gProgramArguments;  // after the pseudo-terminal, for the program


constexpr std::uint64_t kSeed = 0x11ce;
constexpr double kRate = 92160;  // bytes a second at 921 600 baud, 8N1
constexpr std::int64_t kPeriodNs = 10'000'000;

// utime + stime of a process, in nanoseconds; -1 when it cannot be read.
std::int64_t ProcessCpuNs(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // After the name: state is field 3, utime 14 and stime 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = std::atoll(field.c_str());
        if (n == 15) stime = std::atoll(field.c_str());
    }
    return (utime + stime) * (1'000'000'000 / sysconf(_SC_CLK_TCK));
}

// The same, exact to the nanosecond: the scheduler's run time of each thread
// alive now (/proc/PID/task/TID/schedstat), where /proc/PID/stat counts timer
// ticks that found the process running.
std::int64_t ThreadsRunNs(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::int64_t sum = 0;
    DIR* dir = opendir(tasks.c_str());
    if (!dir) return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream file(tasks + "/" + entry->d_name + "/schedstat");
        long long ns = 0;
        if (file >> ns) sum += ns;
    }
    closedir(dir);
    return sum;
}

long RssKiB(pid_t pid) { return StatusKiB("VmRSS", std::to_string(pid).c_str()); }

// A line from `fd` within `ms`, without its end.
std::string ReadLine(int fd, int ms) {
    std::string line;
    const std::int64_t until = NowNs() + std::int64_t(ms) * 1'000'000;
    char c;
    while (NowNs() < until) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

struct RunFigures {
    bool ok = false;
    double percent = 0;          // while fed, start-up left out
    double exactPercent = 0;     // the same from the scheduler's run times
    double wholeLifePercent = 0; // from the spawn on, start-up in
    double startupCpuMs = 0;
    double rssGrowthPerByte = 0;
};

RunFigures OneRun(const std::string& child, double seconds) {
    RunFigures f;
    Pty pty;
    int out[2];
    if (!pty.ok() || pipe(out) != 0) return f;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<char*> args{const_cast<char*>(child.c_str()), const_cast<char*>(pty.followerPath().c_str())};
    for (std::string& extra : gProgramArguments) args.push_back(extra.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    const std::int64_t spawned = NowNs();
    const int failed = posix_spawn(&pid, child.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
        std::printf("  %s did not start: %s\n", child.c_str(), std::strerror(failed));
        close(out[0]);
        return f;
    }
    const std::string said = ReadLine(out[0], 20000);
    if (said == "connected") {
        // The window settles after its first paint before the line starts.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const std::int64_t cpu0 = ProcessCpuNs(pid), run0 = ThreadsRunNs(pid), wall0 = NowNs();
        const long rss0 = RssKiB(pid);
        Pattern pattern(kSeed, false);
        std::string chunk;
        std::uint64_t fed = 0;
        const auto periods = std::int64_t(seconds * 1e9 / double(kPeriodNs));
        for (std::int64_t i = 1; i <= periods; ++i) {
            // Absolute deadlines: a late write is made up for by the next.
            const timespec due{time_t((wall0 + i * kPeriodNs) / 1'000'000'000), long((wall0 + i * kPeriodNs) % 1'000'000'000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) == EINTR) {
            }
            const auto owed = std::uint64_t(kRate * double(i * kPeriodNs) / 1e9) - fed;
            chunk.resize(owed);
            for (char& c : chunk) c = static_cast<char>(pattern.next());
            fed += pty.writeFor(chunk, 100);
        }
        const std::int64_t wall1 = NowNs();
        const std::int64_t cpu1 = ProcessCpuNs(pid), run1 = ThreadsRunNs(pid);
        const long rss1 = RssKiB(pid);
        f.ok = cpu0 >= 0 && cpu1 >= 0 && fed == std::uint64_t(kRate * double(periods * kPeriodNs) / 1e9);
        f.percent = 100.0 * double(cpu1 - cpu0) / double(wall1 - wall0);
        f.exactPercent = 100.0 * double(run1 - run0) / double(wall1 - wall0);
        f.wholeLifePercent = 100.0 * double(cpu1) / double(wall1 - spawned);
        f.startupCpuMs = double(cpu0) / 1e6;
        f.rssGrowthPerByte = fed ? double(rss1 - rss0) * 1024.0 / double(fed) : 0;
        if (!f.ok) std::printf("  fed %llu bytes, /proc read %s\n", (unsigned long long)fed, cpu1 >= 0 ? "ok" : "failed");
    } else {
        std::printf("  the program said \"%s\" instead of \"connected\"\n", said.c_str());
    }
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        std::printf("  the program did not end within 10 s of SIGTERM\n");
        f.ok = false;
    }
    close(out[0]);
    return f;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    // --timestamps MODE goes to the program: the figure with lines' times shown.
    std::string timestamps;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--timestamps") timestamps = argv[i + 1];
    if (!timestamps.empty()) gProgramArguments = {"--timestamps", timestamps};
    const double seconds = Arg(argc, argv, "--seconds", 20);
    const int runs = std::max(1, int(Arg(argc, argv, "--runs", 5)));
    std::string child = argv[0];
    child = child.substr(0, child.rfind('/') + 1) + "line_cpu_child";
    const bool xcb = getenv("DISPLAY") && std::string(getenv("QT_QPA_PLATFORM") ? getenv("QT_QPA_PLATFORM") : "") == "xcb";
    Title((std::string("A user's line: ~920 random bytes every 10 ms into the program in HEX, ") +
           (xcb ? "under Xvfb" : "offscreen") + ", from outside" +
           (timestamps.empty() ? "" : ", timestamps " + timestamps))
              .c_str());
    std::vector<double> percent, exact, whole, startup, rss;
    bool allOk = true;
    for (int r = 0; r < runs; ++r) {
        const RunFigures f = OneRun(child, seconds);
        allOk = allOk && f.ok;
        if (!f.ok) continue;
        std::printf("  run %d: %.2f %% core while fed (%.2f %% by run times); %.2f %% over its whole life; "
                    "start-up %.0f ms\n", r + 1, f.percent, f.exactPercent, f.wholeLifePercent, f.startupCpuMs);
        percent.push_back(f.percent), whole.push_back(f.wholeLifePercent), startup.push_back(f.startupCpuMs);
        exact.push_back(f.exactPercent);
        rss.push_back(f.rssGrowthPerByte);
    }
    char what[96];
    std::snprintf(what, sizeof what, "processor while fed, median of %d runs of %.0f s", runs, seconds);
    if (xcb)
        Row(what, Median(percent), "% core", "<= 2", allOk && Median(percent) <= 2);
    else
        Info(std::string(what) + " (no target offscreen)", Median(percent), "% core");
    Info("the same from the threads' run times (schedstat)", Median(exact), "% core");
    Info("the same over the program's whole life, start-up in", Median(whole), "% core");
    Info("start-up until connected", Median(startup), "ms");
    Info("resident memory growth per byte received", Median(rss), "B");
    return gMissed == 0 && allOk ? 0 : 1;
}
