// What finding a text in a large history costs. The history is filled the way
// the reader fills it: every ten received random bytes rendered in HEX as one
// line, a few thousand lines to an append, so most of it is packed and past the
// memory budget spilled to the encrypted temporary file.
//
//   history_search [--mib 1024]
//
// 1. A text from within the newest MiB received, found backward from the end
//    (Find Previous): the time to the answer.
// 2. A text that is not there, Match Case off and on: the time to look at the
//    whole history, split into reading the parts back (spill file, zstd, HEX
//    rebuilt) and scanning them, and the memory the search takes besides.
#include "bench.h"

#include "history_codec.h"
#include "history_search.h"
#include "history_store.h"
#include "render.h"

#include <QCoreApplication>

#include <malloc.h>

using namespace bench;

namespace {

constexpr double kMiB = 1048576;

void Fill(HistoryStore& store, std::uint64_t received) {
    Pattern random(7, false);
    std::string batch;
    for (std::uint64_t done = 0; done < received;) {
        batch.clear();
        for (int line = 0; line < 2000 && done < received; ++line) {
            unsigned char read[10];
            const std::size_t n = std::size_t(std::min<std::uint64_t>(10, received - done));
            for (std::size_t i = 0; i < n; ++i) read[i] = random.next();
            RenderReceived(read, n, ReceiveFormat::Hex, batch);
            done += n;
        }
        store.append(batch, std::int64_t(done) * 1'000'000 / 92160);  // as a 921 600-baud line brings it
    }
}

struct Timed {
    std::optional<HistorySearch::Result> result;
    double ms = 0;
    double grownMiB = 0;  // peak resident growth while it ran
};

Timed Search(const HistoryShown& snapshot, const HistorySearch::Query& query) {
    malloc_trim(0);
    ResetPeakResident();
    const long rss0 = StatusKiB("VmRSS");
    Timed t;
    const std::int64_t t0 = NowNs();
    t.result = HistorySearch::find(snapshot, query, [](qint64) { return true; });
    t.ms = Ms(NowNs() - t0);
    t.grownMiB = double(StatusKiB("VmHWM") - rss0) / 1024;
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const auto mib = std::uint64_t(Arg(argc, argv, "--mib", 1024));
    char title[96];
    std::snprintf(title, sizeof title, "Find: %.1f GiB received in HEX, random bytes", double(mib) / 1024);
    Title(title);

    HistoryStore store;
    const std::int64_t f0 = NowNs();
    Fill(store, mib << 20);
    Info("  filled in", double(NowNs() - f0) / 1e9, "s");
    Info("  history", double(store.size()) / kMiB / 1024, "GiB");
    Info("  of it in the spill file", double(store.spilledChunks()) / double(store.chunkCount()) * 100, "%");
    const HistoryStore::Snapshot snapshot = store.snapshot();

    // Six bytes' worth of HEX from half a MiB received before the end: found once.
    const qsizetype at = store.size() - qsizetype(0.5 * kMiB * 59 / 10);
    const qsizetype lineStart = store.lineStart(store.lineAt(at));
    HistorySearch::Query recent{store.text(lineStart + 9, 30), false, HistorySearch::Direction::Backward, store.size()};
    const Timed near = Search(snapshot, recent);
    const bool nearFound = near.result && near.result->outcome == HistorySearch::Outcome::Found &&
                           near.result->start == lineStart + 9;
    Row("find a text within the newest MiB received (backward)", near.ms, "ms", "<= 50", nearFound && near.ms <= 50);

    // Eight bytes in HEX that the history does not hold.
    std::string absent;
    const unsigned char eight[8] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67};
    RenderReceived(eight, sizeof eight, ReceiveFormat::Hex, absent);
    absent = absent.substr(9, 39);  // "0xde 0xad … 0x67", without "received:" and the break
    const double budgetS = 8.0 * double(mib) / 1024;
    char target[32];
    std::snprintf(target, sizeof target, "<= %.1f", budgetS);
    for (const bool matchCase : {false, true}) {
        const Timed miss = Search(snapshot, {absent, matchCase, HistorySearch::Direction::Forward, 0});
        const bool none = miss.result && miss.result->outcome == HistorySearch::Outcome::NotFound;
        Row(std::string("look through all of it for a missing text, case ") + (matchCase ? "kept" : "folded"),
            miss.ms / 1000, "s", target, none && miss.ms / 1000 <= budgetS);
        Info("  scanned at", double(store.size()) / kMiB / (miss.ms / 1000), "MiB/s");
        Row("  peak resident growth while searching", miss.grownMiB, "MiB", "<= 16", miss.grownMiB <= 16);
    }

    // With each line after its time of day, as the view can show it: no target of its own.
    HistoryStamps stamps;
    stamps.setMode(TimestampMode::TimeOfDay);
    stamps.noteTime(HistoryTime::now());
    const Timed stamped = Search(HistoryShown(snapshot, stamps), {absent, false, HistorySearch::Direction::Forward, 0});
    Info("the same, case folded, with Time of Day shown", stamped.ms / 1000, "s");
    Info("  peak resident growth while searching", stamped.grownMiB, "MiB");

    // Where the time goes: reading every part back alone.
    HistoryCodec codec;
    std::string part;
    const std::int64_t r0 = NowNs();
    for (std::size_t i = 0; i < snapshot.parts(); ++i) snapshot.read(i, codec, part);
    const double readS = double(NowNs() - r0) / 1e9;
    Info("  of which reading the parts back (spill, zstd, HEX)", readS, "s");
    Info("  parts read back at", double(store.size()) / kMiB / readS, "MiB/s");
    return gMissed ? 1 : 0;
}
