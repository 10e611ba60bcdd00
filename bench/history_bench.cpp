// What the history's storage costs over long runs, fed the way the window feeds
// it: every read of ten bytes rendered by RenderReceived, appended in batches.
//
//   history_bench [--mib 100] [--big-gib 2] [--budget-mib 256]
//
// 1. HEX, random bytes, --mib received: memory per received byte.
// 2. ASCII, a device log (repeated lines with counters), --mib received: the same.
// 3. HEX, random bytes, --big-gib received under the default budget: peak resident
//    memory, the top screen fetched after it, and every byte read back in order.
#include "bench_support.h"

#include <cinttypes>

using namespace bench;

namespace {

constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::size_t kRead = 10;
constexpr std::size_t kBatchLines = 2000;  // about what the window takes per event at full speed

// Resets VmHWM to the present resident size, so each part reports its own peak.
void ResetPeak() {
    if (FILE* f = std::fopen("/proc/self/clear_refs", "we")) {
        std::fputs("5", f);
        std::fclose(f);
    }
}

// Feeds `total` received bytes from `next` through RenderReceived into the store.
template <typename Next>
double Feed(HistoryStore& store, std::uint64_t total, ReceiveFormat format, Next next, std::size_t* peak) {
    std::string batch;
    unsigned char read[kRead];
    const std::int64_t t0 = NowNs();
    for (std::uint64_t done = 0; done < total;) {
        batch.clear();
        for (std::size_t line = 0; line < kBatchLines && done < total; ++line) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(kRead, total - done));
            for (std::size_t i = 0; i < n; ++i)
                read[i] = next();
            RenderReceived(read, n, format, batch);
            done += n;
        }
        store.append(batch);
        if (peak)
            *peak = std::max(*peak, store.memoryBytes());
    }
    return Sec(NowNs() - t0);
}

// A device's log: timestamped lines whose counters change from line to line.
class Log {
public:
    unsigned char next() {
        if (pos_ == line_.size()) {
            ++n_;
            char text[160];
            const int len = std::snprintf(
                text, sizeof text, "%02u:%02u:%02u.%03u node=%u seq=%" PRIu64 " temp=%u.%uC rh=%u%% adc=%u state=%s\r\n",
                unsigned(n_ / 360000 % 24), unsigned(n_ / 6000 % 60), unsigned(n_ / 100 % 60), unsigned(n_ % 100 * 10),
                unsigned(n_ % 4), n_, 20 + unsigned(n_ / 50 % 8), unsigned(n_ % 10), 40 + unsigned(n_ / 70 % 20),
                1000 + unsigned(n_ * 7919 % 3000), n_ % 97 == 0 ? "CALIBRATING" : "RUNNING");
            line_.assign(text, std::size_t(len));
            pos_ = 0;
        }
        return static_cast<unsigned char>(line_[pos_++]);
    }

private:
    std::uint64_t n_ = 0;
    std::string line_;
    std::size_t pos_ = 0;
};

void Row(const char* what, double value, const char* unit, const char* target, bool met) {
    std::printf("  %-44s %12.3f %-4s %-16s %s\n", what, value, unit, target, Verdict(met));
}

double PerByte(const char* name, ReceiveFormat format, std::uint64_t bytes, const std::function<unsigned char()>& next,
               double target) {
    ResetPeak();
    const long rss0 = StatusKb("VmRSS");
    double perByte = 0;
    {
        HistoryStore store;
        const double s = Feed(store, bytes, format, next, nullptr);
        perByte = double(store.memoryBytes()) / double(bytes);
        std::printf("  %s: %.0f MiB received, %.0f MiB of text in %zu chunks, %.1f s (%.1f MiB/s received)\n", name,
                    double(bytes) / kMiB, double(store.size()) / kMiB, store.chunkCount(), s, double(bytes) / kMiB / s);
        std::printf("  %s: resident growth %.3f B per received byte\n", name,
                    double(StatusKb("VmRSS") - rss0) * 1024 / double(bytes));
    }
    char what[64];
    std::snprintf(what, sizeof what, "memory per received byte, %s", name);
    char goal[32];
    std::snprintf(goal, sizeof goal, "<= %.1f", target);
    Row(what, perByte, "B", goal, perByte <= target);
    return perByte;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t mib = std::stoull(Arg(argc, argv, "--mib", "100"));
    const double bigGib = std::stod(Arg(argc, argv, "--big-gib", "2"));
    const std::size_t budget = std::size_t(std::stoull(Arg(argc, argv, "--budget-mib", "256"))) << 20;
    const std::uint64_t seed = 0x5eed;

    std::printf("\n== History storage: %" PRIu64 " MiB per format, then %.1f GiB in HEX, budget %zu MiB ==\n", mib,
                bigGib, budget >> 20);
    Pattern random(seed, false);
    PerByte("HEX random", ReceiveFormat::Hex, mib << 20, [&] { return random.next(); }, 1.5);
    Log log;
    PerByte("ASCII log", ReceiveFormat::Ascii, mib << 20, [&] { return log.next(); }, 0.5);

    // The long run, in the window's layout: "COM3 Opened", then one line per read.
    ResetPeak();
    const long rss0 = StatusKb("VmRSS");
    const auto total = std::uint64_t(bigGib * 1024 * kMiB);
    HistoryStore store(HistoryStore::kDefaultChunkBytes, budget);
    store.append("COM3 Opened\r\n");
    std::size_t peakStore = 0;
    Pattern sent(seed + 1, false);
    const double feedS = Feed(store, total, ReceiveFormat::Hex, [&] { return sent.next(); }, &peakStore);
    const double hwmMiB = double(StatusKb("VmHWM")) / 1024;
    std::printf("  HEX %.1f GiB: %.1f GiB of text in %zu chunks (%zu on disk, %s), %.0f s (%.1f MiB/s received)\n",
                bigGib, double(store.size()) / kMiB / 1024, store.chunkCount(), store.spilledChunks(),
                store.spillStatus() == HistorySpill::Status::OnDisk ? "spill file open" : "no spill file", feedS,
                double(total) / kMiB / feedS);
    if (!store.statusText().empty())
        std::printf("  status: %s\n", store.statusText().c_str());

    const std::int64_t t0 = NowNs();
    std::size_t shownChars = 0;
    const qsizetype lines = store.lineCount();
    for (qsizetype line = 0; line < 20 && line < lines; ++line)
        shownChars += store.lineText(line).size();
    const double topMs = Ms(NowNs() - t0);

    const std::int64_t t1 = NowNs();
    const Shown shown = CheckHistory(store, ReceiveFormat::Hex, Pattern(seed + 1, false));
    const double readS = Sec(NowNs() - t1);
    std::printf("  read back %" PRIu64 " bytes in %" PRIu64 " lines, %.0f s (%.1f MiB/s)%s%s\n", shown.bytes,
                shown.lines, readS, double(shown.bytes) / kMiB / readS, shown.problem.empty() ? "" : ": ",
                shown.problem.c_str());

    const double budgetMiB = double(budget) / kMiB;
    char goal[32];
    Row("peak resident (VmHWM)", hwmMiB, "MiB", "<= 512", hwmMiB <= 512);
    std::snprintf(goal, sizeof goal, "<= %.0f (budget)", budgetMiB);
    Row("peak resident growth over the run", hwmMiB - double(rss0) / 1024, "MiB", goal,
        hwmMiB - double(rss0) / 1024 <= budgetMiB);
    Row("peak memory the history held", double(peakStore) / kMiB, "MiB", goal, double(peakStore) <= double(budget));
    Row("read back, every byte in order", shown.ok(total) ? 1 : 0, "", "exact", shown.ok(total));
    Row("top screen: lineCount + first 20 lines", topMs, "ms", "<= 50", topMs <= 50 && shownChars > 0);
    return 0;
}
