// Soak: data at the 921 600 baud line rate (92 160 bytes a second) streams into the
// connected window for a long time, offscreen. Prints the bytes received against
// the bytes the history shows (they must match), the peak and final memory, and
// the longest stall of the window's thread, with a line of progress each minute.
//
//   soak [seconds] [--format ascii|hex|dec] [--rate 92160]
//
// Ten minutes (600 s) by default; give fewer seconds to try it. Exits 1 when what
// the history shows differs from what was sent.
#include "bench_support.h"

#include <QApplication>

using namespace bench;

int main(int argc, char** argv) {
    const double seconds = argc > 1 && argv[1][0] != '-' ? std::atof(argv[1]) : 600;
    const double rate = std::atof(Arg(argc, argv, "--rate", "92160").c_str());
    ReceiveFormat format = ReceiveFormat::Ascii;
    if (seconds <= 0 || rate <= 0 || !ParseFormat(Arg(argc, argv, "--format", "ascii"), format)) {
        std::fprintf(stderr, "usage: soak [seconds] [--format ascii|hex|dec] [--rate bytes-per-second]\n");
        return 2;
    }

    UseOffscreenUnlessSet();
    Pty pty;
    Feeder feeder(pty);  // forked before the application object exists
    QApplication app(argc, argv);
    ConnectedWindow window(pty, format, "921600");
    if (!window.connected) {
        std::fprintf(stderr, "the window did not connect to %s\n", pty.followerPath().c_str());
        return 1;
    }
    const long rssAtStartKb = StatusKb("VmRSS");

    FeedCommand command;
    command.mode = FeedMode::Paced;
    command.textSafe = format == ReceiveFormat::Ascii;
    command.rate = rate;
    command.bytes = std::uint64_t(rate * seconds);
    command.seed = 0x50a4;
    command.tickUs = 1000;

    std::printf("soak: %.0f s at %.0f bytes/s into the window, %s, %s\n", seconds, rate, FormatName(format),
                std::getenv("QT_QPA_PLATFORM"));
    std::printf("%8s %14s %14s %10s %10s\n", "minute", "history chars", "history lines", "VmRSS MB", "stall ms");
    std::fflush(stdout);

    ThreadWatch watch(window.memo(), 10);
    const auto threadsBefore = ThreadCpuSeconds();
    const std::int64_t cpu0 = ProcessCpuNs(), wall0 = NowNs();
    watch.start();
    feeder.start(command);

    FeedResult fed;
    bool finished = false;
    for (int minute = 1; !finished; ++minute) {
        finished = RunUntil([&] { return feeder.poll(fed); }, 60'000, 100);
        if (!finished)
            std::printf("%8d %14lld %14lld %10.1f %10.1f\n", minute,
                        static_cast<long long>(window.memo().characterCount()),
                        static_cast<long long>(window.memo().lineCount()), StatusKb("VmRSS") / 1024.0,
                        Ms(watch.longestGapNs));
        std::fflush(stdout);
    }
    // What is still in the pty or the reader's queue shows within a few reads.
    RunUntil([&] { return pty.pending() == 0 && NowNs() - watch.lastChangeNs > 300'000'000; }, 30'000, 50);
    watch.stop();
    const std::int64_t wall = NowNs() - wall0, cpu = ProcessCpuNs() - cpu0;
    const long peakKb = StatusKb("VmHWM"), finalKb = StatusKb("VmRSS");

    const Shown shown = CheckHistory(window.memo().store(), format, Pattern(command.seed, command.textSafe));
    const bool match = shown.ok(fed.written);
    std::printf("\nbytes received (written by the other end) %llu\n", static_cast<unsigned long long>(fed.written));
    std::printf("bytes shown in the history               %llu in %llu lines: %s\n",
                static_cast<unsigned long long>(shown.bytes), static_cast<unsigned long long>(shown.lines),
                match ? "match" : "MISMATCH");
    if (!match && !shown.problem.empty()) std::printf("  first problem: %s\n", shown.problem.c_str());
    if (shown.mismatchAt != ~std::uint64_t(0))
        std::printf("  first differing byte at %llu\n", static_cast<unsigned long long>(shown.mismatchAt));
    std::printf("memory: VmRSS %.1f MB connected, peak VmHWM %.1f MB, final VmRSS %.1f MB; history holds %.1f MB\n",
                rssAtStartKb / 1024.0, peakKb / 1024.0, finalKb / 1024.0,
                double(window.memo().store().memoryBytes()) / (1 << 20));
    std::printf("longest stall of the window's thread: %.1f ms (10 ms timer, %llu ticks)\n",
                Ms(watch.longestGapNs), static_cast<unsigned long long>(watch.ticks));
    std::printf("processor: %.1f s in %.1f s (%.1f %%); feeder behind schedule at most %.1f ms\n", Sec(cpu),
                Sec(wall), 100.0 * double(cpu) / double(wall), Ms(fed.maxBehindNs));
    std::printf("by thread: %s\n", ThreadCpuDelta(threadsBefore, ThreadCpuSeconds()).c_str());
    return match ? 0 : 1;
}
