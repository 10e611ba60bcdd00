// Data fed through a pseudo-terminal into the real, connected window, which runs
// offscreen in this process while a forked feeder writes into the pty leader.
//
//   window_feed flood      [--runs ascii:16,hex:16,dec:16]   MiB per format, unpaced
//   window_feed paced      [--runs hex:60] [--rate 625000] [--baud 6250000] [--tick-us 1000]
//   window_feed efficiency [--seconds 20] [--rate 92160] [--baud 921600] [--tick-us 1000]
//   window_feed memory     [--mib 100]
//
// Every run is a fresh process with a fresh window, so its memory figures start
// clean. Each mode prints one table; every byte the feeder sent is checked against
// what the history shows.
#include "bench_support.h"

#include <QApplication>

#include <cinttypes>
#include <string>
#include <vector>

using namespace bench;

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;
constexpr double kMB = 1e6;

enum class Mode { Flood, Paced, Efficiency, Memory };

struct RunPlan {
    Mode mode = Mode::Flood;
    ReceiveFormat format = ReceiveFormat::Hex;
    bool idle = false;          // connected, nothing sent
    std::uint64_t bytes = 0;    // flood and memory
    double seconds = 0;         // paced, efficiency, idle
    double rate = 0;            // paced and efficiency
    std::string baud = "6250000";
    int watchMs = 5;
    int tickUs = 1000;          // paced: how often the feeder writes what has fallen due
    std::uint64_t seed = 0x5eed;
};

// Sent from the measuring process to the one that prints the table.
struct RunResult {
    std::int32_t connected = 0;
    std::int32_t timedOut = 0;
    std::int32_t verified = 0;
    std::uint64_t sent = 0;
    std::uint64_t shown = 0;
    std::uint64_t lines = 0;
    std::int64_t wallNs = 0;        // from the first byte written to the last one shown
    std::int64_t cpuNs = 0;         // this process, over the same span
    std::int64_t feederCpuNs = 0;
    std::int64_t feedNs = 0;        // how long the feeder took to write everything
    std::int64_t longestGapNs = 0;  // the window's thread
    std::int64_t longestWriteNs = 0;
    std::int64_t maxBehindNs = 0;
    std::uint64_t blocked1ms = 0;
    std::uint64_t blocked10ms = 0;
    std::int64_t blockedNs = 0;
    std::uint64_t feederWrites = 0;
    long rssBeforeKb = 0;
    long rssAfterKb = 0;
    long hwmKb = 0;
    std::uint64_t storeBytes = 0;
    double coresBusy = 0;           // the whole machine, every process counted
    char problem[240] = {};
    char threads[240] = {};
    char events[1400] = {};
};

void Copy(char* to, std::size_t size, const std::string& from) {
    std::snprintf(to, size, "%s", from.c_str());
}

// Measures one run. Called in a child of the driver; everything happens here.
RunResult Measure(const RunPlan& plan) {
    RunResult r;
    Pty pty;
    Feeder feeder(pty);
    UseOffscreenUnlessSet();
    int argc = 1;
    char name[] = "window_feed";
    char* argv[] = {name, nullptr};
    TimedApp app(argc, argv);

    ConnectedWindow window(pty, plan.format, plan.baud.c_str());
    r.connected = window.connected;
    if (!window.connected) return r;
    RunFor(300);  // shown and painted once before anything is measured

    const bool textSafe = plan.format == ReceiveFormat::Ascii;
    FeedCommand c;
    c.textSafe = textSafe;
    c.seed = plan.seed;
    c.chunk = 4096;
    if (plan.mode == Mode::Paced || plan.mode == Mode::Efficiency) {
        c.mode = FeedMode::Paced;
        c.rate = plan.rate;
        c.tickUs = plan.tickUs;
        c.bytes = std::uint64_t(plan.rate * plan.seconds);
    } else {
        c.mode = FeedMode::Flood;
        c.bytes = plan.bytes;
    }

    ThreadWatch watch(window.memo(), plan.watchMs);
    r.rssBeforeKb = StatusKb("VmRSS");
    const auto threads0 = ThreadCpuSeconds();
    const MachineTime machine0 = MachineTime::Now();
    app.record(true);
    watch.start();
    const std::int64_t t0 = NowNs();
    const std::int64_t cpu0 = ProcessCpuNs();

    FeedResult fed;
    if (plan.idle) {
        RunFor(int(plan.seconds * 1000));
        r.wallNs = NowNs() - t0;
        r.cpuNs = ProcessCpuNs() - cpu0;
    } else {
        feeder.start(c);
        bool fedAll = false;
        // Generous: a window that keeps up needs the feed time plus a moment.
        const double expectSec = plan.rate > 0 ? plan.seconds : double(c.bytes) / (0.3 * kMB);
        const int timeoutMs = int(std::min(900.0, expectSec * 3 + 20) * 1000);
        const bool drained = RunUntil(
            [&] {
                if (!fedAll) fedAll = feeder.poll(fed);
                // Taken in once the feeder is done, the pty is empty and the history
                // has not grown for many read time-outs.
                return fedAll && pty.pending() == 0 && NowNs() - watch.lastChangeNs > 250'000'000;
            },
            timeoutMs, plan.watchMs * 2);
        if (!drained) {
            r.timedOut = 1;
            feeder.kill();
            if (!fedAll) fed = FeedResult{};
        }
        r.wallNs = (drained ? watch.lastChangeNs : NowNs()) - t0;
        r.cpuNs = (drained ? watch.cpuAtLastChangeNs : ProcessCpuNs()) - cpu0;
    }
    watch.stop();
    app.record(false);
    Copy(r.events, sizeof r.events, app.summary(Sec(r.wallNs)));
    r.coresBusy = MachineTime::Now().coresBusySince(machine0);
    r.longestGapNs = watch.longestGapNs;
    r.rssAfterKb = StatusKb("VmRSS");
    r.hwmKb = StatusKb("VmHWM");
    Copy(r.threads, sizeof r.threads, ThreadCpuDelta(threads0, ThreadCpuSeconds()));
    r.sent = fed.written;
    r.feederCpuNs = fed.cpuNs;
    r.feedNs = fed.endNs - fed.startNs;
    r.longestWriteNs = fed.longestWriteNs;
    r.maxBehindNs = fed.maxBehindNs;
    r.blocked1ms = fed.blocked1ms;
    r.blocked10ms = fed.blocked10ms;
    r.blockedNs = fed.blockedNs;
    r.feederWrites = fed.writes;
    if (fed.error) Copy(r.problem, sizeof r.problem, std::string("feeder: ") + std::strerror(fed.error));

    const HistoryStore& store = window.memo().store();
    r.storeBytes = store.memoryBytes();
    const Shown shown = CheckHistory(store, plan.format, Pattern(plan.seed, textSafe));
    r.shown = shown.bytes;
    r.lines = shown.lines;
    r.verified = shown.ok(r.sent) && !r.timedOut;
    if (r.problem[0] == 0) {
        std::string why = shown.problem;
        if (shown.mismatchAt != ~std::uint64_t(0))
            why += (why.empty() ? "" : "; ") + std::string("first wrong byte at offset ") +
                   std::to_string(shown.mismatchAt);
        if (r.timedOut) why += (why.empty() ? "" : "; ") + std::string("timed out");
        Copy(r.problem, sizeof r.problem, why);
    }
    return r;
}

// For a debugger or a profiler: measure in this process instead of a child.
bool gInProcess = false;

// Runs Measure in a child process and brings its result back.
RunResult MeasureApart(const RunPlan& plan) {
    if (gInProcess) return Measure(plan);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        std::exit(1);
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const RunResult r = Measure(plan);
        Feeder::WriteFull(fds[1], &r, sizeof r);
        std::fflush(nullptr);
        _exit(0);
    }
    close(fds[1]);
    RunResult r;
    if (pid < 0 || !Feeder::ReadFull(fds[0], &r, sizeof r)) {
        r = RunResult{};
        Copy(r.problem, sizeof r.problem, "the measuring process ended without a result");
    }
    close(fds[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return r;
}

// ------------------------------------------------------------------ figures

double MBps(const RunResult& r) { return r.wallNs > 0 ? double(r.shown) / kMB / Sec(r.wallNs) : 0; }
double CoreShare(const RunResult& r) { return r.wallNs > 0 ? double(r.cpuNs) / double(r.wallNs) : 0; }
double CpuPerMB(const RunResult& r) { return r.shown ? Sec(r.cpuNs) / (double(r.shown) / kMB) : 0; }
double RssPerByte(const RunResult& r) {
    return r.shown ? double(r.rssAfterKb - r.rssBeforeKb) * 1024.0 / double(r.shown) : 0;
}
std::string ShownOfSent(const RunResult& r) {
    char s[64];
    std::snprintf(s, sizeof s, "%" PRIu64 "/%" PRIu64 "%s", r.shown, r.sent, r.verified ? "" : " BAD");
    return s;
}

void PrintNotes(const std::vector<std::pair<std::string, RunResult>>& rows, bool paced = false) {
    for (const auto& [label, r] : rows) {
        if (!r.connected) {
            std::printf("  %s: the window did not connect to the pty\n", label.c_str());
            continue;
        }
        // What the rest of the machine used meanwhile: the reader runs at idle
        // priority, so anything else running slows it down.
        const double others =
            r.wallNs > 0 ? r.coresBusy - double(r.cpuNs + r.feederCpuNs) / double(r.wallNs) : 0;
        std::printf("  %s: threads %s; feeder %.2f s processor; %.1f bytes per line; "
                    "machine ~%.2f cores busy, ~%.2f of them not this program or its feeder "
                    "(tick-sampled)",
                    label.c_str(), r.threads, Sec(r.feederCpuNs),
                    r.lines ? double(r.shown) / double(r.lines) : 0.0, r.coresBusy, std::max(0.0, others));
        if (r.problem[0]) std::printf("; PROBLEM: %s", r.problem);
        std::printf("\n");
        if (paced && r.feederWrites > 0)
            std::printf("    feeder: %" PRIu64 " writes, %" PRIu64 " took over 1 ms and %" PRIu64
                        " over 10 ms, %.0f ms in those\n",
                        r.feederWrites, r.blocked1ms, r.blocked10ms, Ms(r.blockedNs));
        if (r.events[0]) std::printf("    the window's thread, by event:\n%s", r.events);
    }
}

// How long a serial driver's 4 KiB input buffer lasts at `rate` bytes a second.
std::int64_t HoldUpLimitNs(double rate) { return std::int64_t(4096.0 / rate * 1e9); }

struct Run {
    std::string label;
    RunPlan plan;
};

// "hex:16,ascii:8" into runs; the amount is MiB or seconds depending on the mode.
std::vector<Run> ParseRuns(const std::string& text, const RunPlan& base, bool amountIsBytes) {
    std::vector<Run> runs;
    for (const std::string& item : Split(text, ',')) {
        const auto parts = Split(item, ':');
        RunPlan plan = base;
        if (parts.empty() || !ParseFormat(parts[0], plan.format)) {
            std::fprintf(stderr, "unknown format in \"%s\"\n", item.c_str());
            std::exit(2);
        }
        if (parts.size() > 1) {
            const double amount = std::atof(parts[1].c_str());
            if (amountIsBytes) plan.bytes = std::uint64_t(amount * double(kMiB));
            else plan.seconds = amount;
        }
        runs.push_back({FormatName(plan.format), plan});
    }
    return runs;
}

int Flood(int argc, char** argv) {
    RunPlan base;
    base.mode = Mode::Flood;
    base.bytes = 16 * kMiB;
    const auto runs = ParseRuns(Arg(argc, argv, "--runs", "ascii:16,hex:16,dec:16"), base, true);
    std::printf("\n== Throughput: an unpaced flood through a pty into the connected window ==\n");
    std::printf("target: >= 3 MB/s absorbed in each format, every byte shown once and in order\n");
    std::printf("%-6s %9s %22s %9s %10s %9s %9s %10s %s\n", "format", "sent MiB", "shown/sent bytes",
                "MB/s", "stall ms", "CPU s/MB", "CPU core", "RSS B/B", "verdict");
    std::vector<std::pair<std::string, RunResult>> rows;
    for (const Run& run : runs) {
        const RunResult r = MeasureApart(run.plan);
        const bool met = r.verified && MBps(r) >= 3.0;
        std::printf("%-6s %9.1f %22s %9.2f %10.1f %9.3f %8.0f%% %10.2f %s\n", run.label.c_str(),
                    double(run.plan.bytes) / double(kMiB), ShownOfSent(r).c_str(), MBps(r),
                    Ms(r.longestGapNs), CpuPerMB(r), 100 * CoreShare(r), RssPerByte(r), Verdict(met));
        std::fflush(stdout);
        rows.emplace_back(run.label, r);
    }
    std::printf("(MB = 10^6 bytes; stall = longest gap between ticks of a 5 ms timer on the window's "
                "thread; RSS B/B = resident bytes added per byte received)\n");
    PrintNotes(rows);
    return 0;
}

int Paced(int argc, char** argv) {
    RunPlan base;
    base.mode = Mode::Paced;
    base.rate = std::atof(Arg(argc, argv, "--rate", "625000").c_str());
    base.baud = Arg(argc, argv, "--baud", "6250000");
    base.seconds = 60;
    base.tickUs = std::max(1, std::atoi(Arg(argc, argv, "--tick-us", "1000").c_str()));
    const auto runs = ParseRuns(Arg(argc, argv, "--runs", "hex:60"), base, false);
    std::printf("\n== The fastest line: %.0f B/s (%s baud, 8N1) paced into the connected window, "
                "written every %d us ==\n", base.rate, base.baud.c_str(), base.tickUs);
    std::printf("target: nothing lost, the feeder never waits, window thread stall < 50 ms, "
                "< 50%% of one core\n");
    std::printf("%-6s %6s %22s %11s %10s %10s %9s %9s %10s %s\n", "format", "sec", "shown/sent bytes",
                "write max", "behind", "stall ms", "CPU core", "CPU s/MB", "RSS B/B", "verdict");
    std::vector<std::pair<std::string, RunResult>> rows;
    for (const Run& run : runs) {
        const RunResult r = MeasureApart(run.plan);
        // The pty holds far more than a serial driver does. A hold-up longer than a
        // 4 KiB driver buffer lasts at this rate would have lost bytes on a real line.
        const bool fedFreely = r.longestWriteNs < HoldUpLimitNs(run.plan.rate) &&
                               r.maxBehindNs < HoldUpLimitNs(run.plan.rate);
        const bool met = r.verified && fedFreely && r.longestGapNs < 50'000'000 && CoreShare(r) < 0.5;
        std::printf("%-6s %6.0f %22s %8.2f ms %7.2f ms %10.1f %8.1f%% %9.3f %10.2f %s\n",
                    run.label.c_str(), run.plan.seconds, ShownOfSent(r).c_str(), Ms(r.longestWriteNs),
                    Ms(r.maxBehindNs), Ms(r.longestGapNs), 100 * CoreShare(r), CpuPerMB(r),
                    RssPerByte(r), Verdict(met));
        std::fflush(stdout);
        rows.emplace_back(run.label, r);
    }
    std::printf("(write max = the feeder's longest single write; behind = most the feeder fell behind "
                "its schedule; 'never waits' = both under %.1f ms, what a 4 KiB driver buffer holds "
                "at this rate)\n", Ms(HoldUpLimitNs(base.rate)));
    PrintNotes(rows, true);
    return 0;
}

int Efficiency(int argc, char** argv) {
    RunPlan base;
    base.mode = Mode::Efficiency;
    base.format = ReceiveFormat::Hex;
    base.rate = std::atof(Arg(argc, argv, "--rate", "92160").c_str());
    base.baud = Arg(argc, argv, "--baud", "921600");
    base.seconds = std::atof(Arg(argc, argv, "--seconds", "20").c_str());
    base.watchMs = 10;
    base.tickUs = std::max(1, std::atoi(Arg(argc, argv, "--tick-us", "1000").c_str()));
    RunPlan idle = base;
    idle.idle = true;
    idle.seconds = std::min(base.seconds, 10.0);
    std::printf("\n== Efficiency: %.0f B/s (%s baud) in HEX, written every %d us ==\n", base.rate,
                base.baud.c_str(), base.tickUs);
    std::printf("target: < 4%% of one core for the whole program\n");
    std::printf("%-26s %6s %22s %9s %10s %9s %s\n", "case", "sec", "shown/sent bytes", "CPU core",
                "stall ms", "CPU s/MB", "verdict");
    std::vector<std::pair<std::string, RunResult>> rows;
    const std::vector<std::pair<std::string, RunPlan>> cases = {
        {"connected, nothing sent", idle}, {"HEX at " + std::to_string(int(base.rate)) + " B/s", base}};
    for (const auto& [label, plan] : cases) {
        const RunResult r = MeasureApart(plan);
        const bool met = (plan.idle ? r.connected != 0 : r.verified != 0) && CoreShare(r) < 0.04;
        std::printf("%-26s %6.0f %22s %8.2f%% %10.1f %9.3f %s\n", label.c_str(), plan.seconds,
                    plan.idle ? "-" : ShownOfSent(r).c_str(), 100 * CoreShare(r), Ms(r.longestGapNs),
                    CpuPerMB(r), plan.idle ? (met ? "ok" : "MISSED") : Verdict(met));
        std::fflush(stdout);
        rows.emplace_back(label, r);
    }
    std::printf("(includes a 10 ms watch timer on the window's thread and the reader's 20 ms "
                "read cycle)\n");
    PrintNotes(rows, true);
    return 0;
}

int Memory(int argc, char** argv) {
    RunPlan plan;
    plan.mode = Mode::Memory;
    plan.format = ReceiveFormat::Hex;
    const double mib = std::atof(Arg(argc, argv, "--mib", "100").c_str());
    plan.bytes = std::uint64_t(mib * double(kMiB));
    plan.watchMs = 10;
    std::printf("\n== Memory: the history's resident cost in HEX over %.0f MiB received ==\n", mib);
    std::printf("target: <= 8 resident bytes per byte received\n");
    std::printf("%-6s %9s %24s %10s %10s %10s %9s %9s %8s %s\n", "format", "recv MiB",
                "shown/sent bytes", "RSS before", "RSS after", "peak RSS", "RSS B/B", "store B/B",
                "MB/s", "verdict");
    const RunResult r = MeasureApart(plan);
    const double storePerByte = r.shown ? double(r.storeBytes) / double(r.shown) : 0;
    const bool met = r.verified && RssPerByte(r) <= 8.0;
    std::printf("%-6s %9.1f %24s %6.1f MiB %6.1f MiB %6.1f MiB %9.2f %9.2f %8.2f %s\n", "HEX",
                double(r.shown) / double(kMiB), ShownOfSent(r).c_str(), double(r.rssBeforeKb) / 1024,
                double(r.rssAfterKb) / 1024, double(r.hwmKb) / 1024, RssPerByte(r), storePerByte,
                MBps(r), Verdict(met));
    std::printf("(RSS B/B = (VmRSS after - VmRSS before) / bytes received; store B/B = the history "
                "store's own heap bytes per byte received)\n");
    PrintNotes({{"HEX", r}});
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    gInProcess = Flag(argc, argv, "--in-process");
    if (mode == "flood") return Flood(argc, argv);
    if (mode == "paced") return Paced(argc, argv);
    if (mode == "efficiency") return Efficiency(argc, argv);
    if (mode == "memory") return Memory(argc, argv);
    std::fprintf(stderr,
                 "usage: %s flood [--runs ascii:16,hex:16,dec:16]\n"
                 "       %s paced [--runs hex:60] [--rate 625000] [--baud 6250000] [--tick-us 1000]\n"
                 "       %s efficiency [--seconds 20] [--rate 92160] [--baud 921600] [--tick-us 1000]\n"
                 "       %s memory [--mib 100]\n"
                 "--in-process measures in this process (for a debugger or profiler)\n",
                 argv[0], argv[0], argv[0], argv[0]);
    return 2;
}
