// What the history costs over long runs, fed into the window's own history (Memo1)
// the way the window feeds it: every ten received bytes rendered as one line, a
// few thousand lines to an append, the event loop run after each.
//
//   history_bench [--mib 100] [--gib 2] [--save-gib 2]
//
// 1. HEX, random bytes, and ASCII, a device's log (repeated lines with counters),
//    --mib each: the memory one received byte costs.
// 2. HEX, random bytes, --gib: peak resident memory, every byte read back in
//    order, the top of the history scrolled to and painted, select all and copy.
// 3. A history of --save-gib GiB of text, partly spilled, saved to a file the way
//    Save History As… does, while the event loop runs: the time it takes, the
//    longest the loop waited meanwhile, and the file checked against the history.
#include "bench.h"

#include "Unit1.h"
#include "history_view.h"
#include "render.h"
#include "test_seam.h"

#include <QApplication>
#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cinttypes>
#include <functional>
#include <malloc.h>

using namespace bench;

namespace {

constexpr double kMiB = 1048576;
constexpr std::uint64_t kSeedBig = 2;

// Feeds `total` bytes from `next` in reads of `linesPerRead` lines, each with the
// time a 921 600-baud line (92 160 B/s) would have brought it at; returns the
// most memory the history held.
template <typename Next>
std::size_t Feed(HistoryView& view, std::uint64_t total, ReceiveFormat format, Next next, int linesPerRead = 2000) {
    std::string batch;
    std::size_t peak = 0;
    HistoryTime time = HistoryTime::now();
    int sinceEvents = 0;
    for (std::uint64_t done = 0; done < total;) {
        batch.clear();
        std::uint64_t bytes = 0;
        for (int line = 0; line < linesPerRead && done < total; ++line) {
            unsigned char read[10];
            const std::size_t n = std::size_t(std::min<std::uint64_t>(10, total - done));
            for (std::size_t i = 0; i < n; ++i) read[i] = next();
            RenderReceived(read, n, format, batch);
            done += n;
            bytes += n;
        }
        const auto spent = std::int64_t(bytes * 1'000'000 / 92160);
        time.mono += spent;
        time.wall += spent;
        view.appendLatin1(batch, time);
        if ((sinceEvents += linesPerRead) >= 2000) {
            sinceEvents = 0;
            QCoreApplication::processEvents();
            peak = std::max(peak, view.store().memoryBytes());
        }
    }
    return std::max(peak, view.store().memoryBytes());
}

// A device's log: timestamped lines whose counters change from line to line.
class Log {
public:
    unsigned char next() {
        if (at_ == line_.size()) {
            ++n_;
            char text[160];
            const int length = std::snprintf(
                text, sizeof text, "%02u:%02u:%02u.%03u node=%u seq=%" PRIu64 " temp=%u.%uC rh=%u%% adc=%u state=%s\r\n",
                unsigned(n_ / 360000 % 24), unsigned(n_ / 6000 % 60), unsigned(n_ / 100 % 60), unsigned(n_ % 100 * 10),
                unsigned(n_ % 4), n_, 20 + unsigned(n_ / 50 % 8), unsigned(n_ % 10), 40 + unsigned(n_ / 70 % 20),
                1000 + unsigned(n_ * 7919 % 3000), n_ % 97 == 0 ? "CALIBRATING" : "RUNNING");
            line_.assign(text, std::size_t(length));
            at_ = 0;
        }
        return static_cast<unsigned char>(line_[at_++]);
    }

private:
    std::uint64_t n_ = 0;
    std::string line_;
    std::size_t at_ = 0;
};

// Empties the history and gives the freed memory back, so each part starts clean.
void Clear(HistoryView& view) {
    view.clear();
    malloc_trim(0);
    ResetPeakResident();
}

template <typename Next>
void PerByte(HistoryView& view, const std::string& name, ReceiveFormat format, std::uint64_t bytes, Next next,
            double target, int linesPerRead = 2000) {
    Clear(view);
    const long rss0 = StatusKiB("VmRSS");
    Feed(view, bytes, format, next, linesPerRead);
    const double perByte = double(view.store().memoryBytes()) / double(bytes);
    Row(std::string("memory per received byte, ") + name, perByte, "B", "<= " + std::to_string(target).substr(0, 3),
        perByte <= target);
    Info(std::string("  resident growth per received byte, ") + name, double(StatusKiB("VmRSS") - rss0) * 1024 / double(bytes), "B");
}

double MsOf(const std::function<void()>& step) {
    const std::int64_t t0 = NowNs();
    step();
    return Ms(NowNs() - t0);
}

// The file holds exactly the history's text.
bool SameAsHistory(const QString& path, const HistoryStore& store) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != store.size()) return false;
    std::string expected(std::size_t{4} << 20, '\0');
    for (qsizetype at = 0; at < store.size();) {
        const qsizetype n = std::min<qsizetype>(qsizetype(expected.size()), store.size() - at);
        store.copyTo(at, n, expected.data());
        const QByteArray got = file.read(n);
        if (got.size() != n || std::memcmp(got.constData(), expected.data(), std::size_t(n)) != 0) return false;
        at += n;
    }
    return true;
}

void Save(HistoryView& view, double gib) {
    char title[96];
    std::snprintf(title, sizeof title, "History: save %.1f GiB of text, partly spilled, to a file", gib);
    Title(title);
    Clear(view);
    Pattern random(3, false);
    // A HEX line of ten bytes is 59 characters.
    Feed(view, std::uint64_t(gib * 1024 * kMiB * 10 / 59), ReceiveFormat::Hex, [&] { return random.next(); });
    const HistoryStore& store = view.store();
    Info("  history", double(store.size()) / kMiB / 1024, "GiB");
    Info("  of it in the spill file", double(store.spilledChunks()) / double(store.chunkCount()) * 100, "%");

    QTemporaryDir dir(QStringLiteral("/var/tmp/history_bench-XXXXXX"));
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    bool done = false;
    QObject::connect(&view, &HistoryView::saveFinished, [&](const QString&, bool saved, const QString& error) {
        done = true;
        if (!saved) std::printf("  NOT SAVED: %s\n", qPrintable(error));
    });
    // A timer every 10 ms stands for everything else the window does meanwhile.
    std::int64_t lastTick = NowNs(), longestGap = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const std::int64_t now = NowNs();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    tick.start(10);
    // The same timer for a second before the save: what the machine's other load costs.
    for (const std::int64_t until = NowNs() + 1000000000; NowNs() < until;)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    Info("  the window's longest pause with no save (10 ms timer)", Ms(longestGap), "ms");
    longestGap = 0;
    malloc_trim(0);
    ResetPeakResident();
    const long rss0 = StatusKiB("VmRSS");
    const std::int64_t t0 = NowNs();
    view.saveHistory(path);
    while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = double(NowNs() - t0) / 1e9;
    const double grown = double(StatusKiB("VmHWM") - rss0) / 1024;
    const bool same = SameAsHistory(path, store);
    Row("save the whole history", seconds, "s", "<= " + std::to_string(int(10 * gib)), same && seconds <= 10 * gib);
    Info("  saved at", double(store.size()) / kMiB / seconds, "MiB/s");
    Row("the window's longest pause meanwhile (10 ms timer)", Ms(longestGap), "ms", "<= 100", Ms(longestGap) <= 100);
    Row("peak resident growth during the save", grown, "MiB", "<= 16", grown <= 16);
    Row("the file holds the history byte for byte", same ? 1 : 0, "", "yes", same);
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const auto mib = std::uint64_t(Arg(argc, argv, "--mib", 100));
    const double gib = Arg(argc, argv, "--gib", 2);
    const double saveGib = Arg(argc, argv, "--save-gib", 2);
    QApplication app(argc, argv);
    UseOnlyOverriddenPorts(true);
    TForm1 form;
    form.FormCreate();
    form.show();
    HistoryView& view = *form.Memo1;

    Title("History: memory per received byte, in the window's history");
    Pattern random(1, false);
    PerByte(view, "HEX random bytes", ReceiveFormat::Hex, mib << 20, [&] { return random.next(); }, 1.5);
    // With each line's time kept as the reader gives it: at this rate a read comes
    // every 5 ms or so with 46 lines; at worst every line is a read of its own.
    PerByte(view, "HEX random bytes, times of reads of 46 lines", ReceiveFormat::Hex, mib << 20,
            [&] { return random.next(); }, 1.3, 46);
    PerByte(view, "HEX random bytes, times of a read per line", ReceiveFormat::Hex, mib << 20,
            [&] { return random.next(); }, 1.3, 1);
    Log log;
    PerByte(view, "ASCII log", ReceiveFormat::Ascii, mib << 20, [&] { return log.next(); }, 0.5);

    char title[96];
    std::snprintf(title, sizeof title, "History: %.1f GiB received in HEX, random bytes", gib);
    Title(title);
    Clear(view);
    const long rss0 = StatusKiB("VmRSS");
    const auto total = std::uint64_t(gib * 1024 * kMiB);
    const std::int64_t t0 = NowNs();
    Pattern sent(kSeedBig, false);
    const std::size_t held = Feed(view, total, ReceiveFormat::Hex, [&] { return sent.next(); });
    const double feedS = double(NowNs() - t0) / 1e9;
    const double budget = double(view.store().memoryBudget()) / kMiB, hwm = double(StatusKiB("VmHWM")) / 1024;
    Row("peak resident memory (VmHWM)", hwm, "MiB", "<= 512", hwm <= 512);
    Row("peak resident growth over the run", hwm - double(rss0) / 1024, "MiB", "<= budget " + std::to_string(int(budget)),
        hwm - double(rss0) / 1024 <= budget);
    Row("most memory the history held", double(held) / kMiB, "MiB", "<= budget " + std::to_string(int(budget)), double(held) / kMiB <= budget);
    Info("  fed at", double(total) / kMiB / feedS, "MiB/s");
    if (!view.store().statusText().empty()) std::printf("  history: %s\n", view.store().statusText().c_str());

    const std::int64_t t1 = NowNs();
    const bool shown = Shown(CheckHistory(view.store(), ReceiveFormat::Hex, Pattern(kSeedBig, false), total));
    Row("every byte read back once and in order", double(total) / kMiB / 1024, "GiB", "all sent", shown);
    Info("  read back at", double(total) / kMiB / (double(NowNs() - t1) / 1e9), "MiB/s");

    view.flushPendingLayout();
    QCoreApplication::processEvents();
    QScrollBar* bar = view.verticalScrollBar();
    const double topMs = MsOf([&] {
        bar->setValue(0);
        view.viewport()->repaint();
    });
    Row("scroll to the top and paint", topMs, "ms", "<= 50", topMs <= 50);
    Info("select all and copy (the last 64 MiB)", MsOf([&] {
             view.selectAll();
             view.copy();
         }), "ms");
    Save(view, saveGib);
    return gMissed ? 1 : 0;
}
