// How soon a lone byte shows in the history. The feeder, a process of its own,
// writes one byte at a random moment and notes the time; the window's thread polls
// the history every millisecond and notes when it grew. Both clocks are the same
// CLOCK_MONOTONIC.
//
//   latency [--samples 300] [--format hex]
#include "bench_support.h"

#include <QApplication>

#include <vector>

using namespace bench;

int main(int argc, char** argv) {
    const int samples = std::max(1, std::atoi(Arg(argc, argv, "--samples", "300").c_str()));
    ReceiveFormat format = ReceiveFormat::Hex;
    if (!ParseFormat(Arg(argc, argv, "--format", "hex"), format)) {
        std::fprintf(stderr, "usage: %s [--samples 300] [--format ascii|hex|dec]\n", argv[0]);
        return 2;
    }
    const bool textSafe = format == ReceiveFormat::Ascii;
    constexpr std::uint64_t kSeed = 0x1a7e;

    Pty pty;
    Feeder feeder(pty);
    UseOffscreenUnlessSet();
    int qargc = 1;
    char name[] = "latency";
    char* qargv[] = {name, nullptr};
    QApplication app(qargc, qargv);

    std::printf("\n== Latency: a lone byte, from the feeder's write to the history growing ==\n");
    std::printf("target: p99 <= 30 ms (the read time-out is 20 ms); %d samples in %s, random phase, "
                "history polled every 1 ms\n", samples, FormatName(format));

    ConnectedWindow window(pty, format, "9600");
    if (!window.connected) {
        std::printf("FAILED: the window did not connect to the pty\n");
        return 1;
    }
    RunFor(300);

    FeedCommand c;
    c.mode = FeedMode::Latency;
    c.samples = std::uint32_t(samples);
    c.seed = kSeed;
    c.textSafe = textSafe;
    c.maxPhaseUs = 25000;
    feeder.start(c);

    std::vector<double> ms;
    ms.reserve(std::size_t(samples));
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
        const qsizetype before = window.memo().characterCount();
        feeder.next();
        std::int64_t seen = 0;
        const bool grew = RunUntil(
            [&] {
                if (window.memo().characterCount() == before) return false;
                seen = NowNs();
                return true;
            },
            2000, 1);
        const std::int64_t written = feeder.takeStamp();
        if (!grew) {
            ++lost;
            continue;
        }
        ms.push_back(Ms(seen - written));
    }
    const FeedResult fed = feeder.wait();
    RunFor(100);

    const Shown shown = CheckHistory(window.memo().store(), format, Pattern(kSeed, textSafe));
    std::sort(ms.begin(), ms.end());
    auto pct = [&](double p) {
        if (ms.empty()) return 0.0;
        const std::size_t i = std::min(ms.size() - 1, std::size_t(std::ceil(p / 100 * double(ms.size()))) - 1);
        return ms[i];
    };
    double mean = 0;
    for (double v : ms) mean += v;
    mean = ms.empty() ? 0 : mean / double(ms.size());

    std::printf("%8s %9s %9s %9s %9s %9s %9s %22s %s\n", "samples", "min ms", "p50 ms", "p90 ms",
                "p99 ms", "max ms", "mean ms", "shown/sent bytes", "verdict");
    char sent[64];
    std::snprintf(sent, sizeof sent, "%llu/%llu%s", (unsigned long long)shown.bytes,
                  (unsigned long long)fed.written, shown.ok(fed.written) ? "" : " BAD");
    const bool met = lost == 0 && shown.ok(fed.written) && pct(99) <= 30.0;
    std::printf("%8zu %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %22s %s\n", ms.size(), ms.empty() ? 0 : ms.front(),
                pct(50), pct(90), pct(99), ms.empty() ? 0 : ms.back(), mean, sent, Verdict(met));
    if (lost) std::printf("  %d bytes did not show within 2 s\n", lost);
    if (!shown.problem.empty()) std::printf("  PROBLEM: %s\n", shown.problem.c_str());
    return 0;
}
