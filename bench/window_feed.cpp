// The real window, offscreen and connected to a pseudo-terminal, fed by a thread
// of this process whose own processor time is taken out of the program's.
//
//   window_feed flood      [--mib 16]                       ASCII, HEX and DEC in turn, unpaced
//   window_feed paced      [--seconds 60] [--rate 625000]   HEX at the fastest line's rate
//   window_feed efficiency [--seconds 20] [--samples 300]   HEX at 921 600 baud, then lone bytes
//   window_feed soak       [--seconds 600]                  HEX at 921 600 baud for ten minutes
//
// Every byte sent is checked against what the history shows.
#include "bench.h"

#include "Unit1.h"
#include "history_view.h"
#include "pseudo_terminal.h"
#include "test_seam.h"
#include "test_thread.h"

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QMetaEnum>
#include <QPushButton>
#include <QRadioButton>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <pthread.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace bench;

namespace {

constexpr double kRate921600 = 92160;  // bytes a second at 921 600 baud, 8N1
constexpr std::uint64_t kSeed = 0x5eed;

// Times the events the window's thread handles, by type and receiver, while
// recording: what a busy thread spends its time on.
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!recording || nested_ || QThread::currentThread() != thread()) return QApplication::notify(receiver, event);
        // Named before: some receivers (single-shot timers) delete themselves.
        auto& [count, ns] = costs[{int(event->type()), receiver->metaObject()->className()}];
        nested_ = true;
        const std::int64_t t0 = NowNs();
        const bool handled = QApplication::notify(receiver, event);
        ns += NowNs() - t0;
        ++count;
        nested_ = false;
        return handled;
    }
    void printCosts(double seconds) const {
        std::vector<std::pair<std::int64_t, std::string>> rows;
        for (const auto& [key, cost] : costs) {
            const char* type = QMetaEnum::fromType<QEvent::Type>().valueToKey(key.first);
            char line[160];
            std::snprintf(line, sizeof line, "    %s on %s: %.0f a second, %.1f us each\n", type ? type : "?",
                          key.second.c_str(), double(cost.first) / seconds, double(cost.second) / 1e3 / double(cost.first));
            rows.emplace_back(cost.second, line);
        }
        std::sort(rows.rbegin(), rows.rend());
        std::printf("  the window's thread, by event:\n");
        for (std::size_t i = 0; i < rows.size() && i < 6; ++i) std::printf("%s", rows[i].second.c_str());
    }
    bool recording = false;
    std::map<std::pair<int, std::string>, std::pair<std::int64_t, std::int64_t>> costs;  // count, ns

private:
    bool nested_ = false;
};

// Runs the window's events until `done` holds (looked at every `checkMs`) or
// `timeoutMs` passes; true if done.
bool RunUntil(const std::function<bool()>& done, int timeoutMs, int checkMs = 50) {
    bool ok = done();
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if ((ok = done())) loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(checkMs);
    if (!ok) loop.exec();
    return ok;
}

// The real window, made as the entry makes it, connected on COM3 to a fresh pty.
struct Window {
    Pty pty;
    std::unique_ptr<TForm1> form = std::make_unique<TForm1>();
    Window(ReceiveFormat format, const char* baud) {
        UseOnlyOverriddenPorts(true);
        OverridePortDevice(3, pty.followerPath());
        form->FormCreate();
        form->show();
        form->ComboBox2->setCurrentIndex(form->ComboBox2->findText(QString::fromLatin1(baud)));
        (format == ReceiveFormat::Hex   ? form->RadioButton2
         : format == ReceiveFormat::Dec ? form->RadioButton3
                                        : form->RadioButton1)->setChecked(true);
        form->Button3Click();
        RunUntil([] { return false; }, 300);  // shown and painted before anything is measured
        if (!connected()) std::printf("  the window did not connect to %s\n", pty.followerPath().c_str());
    }
    ~Window() {
        form.reset();
        ClearPortOverrides();
    }
    bool connected() const { return pty.ok() && !form->Button3->isEnabled(); }
    const HistoryView& history() const { return *form->Memo1; }
};

struct Fed {
    std::atomic<bool> done{false};
    std::uint64_t sent = 0;
    std::uint64_t refused = 0;  // paced: bytes the pty did not take at once (its buffer was full)
    std::int64_t cpuNs = 0;     // the feeder's own
};

// Writes `total` bytes of `pattern` into the pty from a thread of its own: every
// millisecond the bytes fallen due at `rate` bytes a second, or with rate 0 as
// fast as the pty takes them.
std::unique_ptr<TestThread> StartFeeder(Pty& pty, Pattern& pattern, std::uint64_t total, double rate, Fed& fed) {
    return std::make_unique<TestThread>("the feeder", [&, total, rate](const std::atomic<bool>& stop) {
        pthread_setname_np(pthread_self(), "feeder");
        const std::int64_t t0 = NowNs(), cpu0 = ThreadCpuNs();
        std::string chunk;
        for (std::int64_t tick = t0; fed.sent < total && !stop;) {
            const std::uint64_t due =
                rate > 0 ? std::min(total, std::uint64_t(double(NowNs() - t0) * rate / 1e9)) : total;
            while (fed.sent < due && !stop) {
                chunk.resize(std::min<std::uint64_t>(4096, due - fed.sent));
                for (char& c : chunk) c = static_cast<char>(pattern.next());
                std::size_t at = std::size_t(std::max<ssize_t>(0, ::write(pty.leader(), chunk.data(), chunk.size())));
                if (rate > 0) fed.refused += chunk.size() - at;
                while (at < chunk.size() && !stop) at += pty.writeFor(std::string_view(chunk).substr(at), 100);
                fed.sent += at;
            }
            tick = std::max(tick + 1'000'000, NowNs());
            const timespec wake{time_t(tick / 1'000'000'000), long(tick % 1'000'000'000)};
            if (rate > 0) clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr);
        }
        fed.cpuNs = ThreadCpuNs() - cpu0;
        fed.done = true;
    });
}

struct Run {
    std::uint64_t sent = 0, refused = 0;
    std::int64_t wallNs = 0;   // from the first byte sent to the history's last growth
    std::int64_t feedNs = 0;   // until the feeder was seen done
    std::int64_t cpuNs = 0;    // the program's over feedNs: this process less the feeder
    std::int64_t stallNs = 0;  // the longest the window's thread did not get to its timer
    bool drained = false;
};

// Feeds the window and runs it until the feeder is done, nothing waits in the pty
// and the history has not grown for 300 ms.
Run Feed(Window& w, Pattern& pattern, std::uint64_t total, double rate, int checkMs) {
    Fed fed;
    Run r;
    qsizetype size = w.history().characterCount();
    const std::int64_t t0 = NowNs(), cpu0 = ProcessCpuNs();
    std::int64_t grew = t0, last = t0, cpuEnd = 0;
    auto feeder = StartFeeder(w.pty, pattern, total, rate, fed);
    const double boundS = double(total) / (rate > 0 ? rate : 3e5) * 3 + 20;
    r.drained = RunUntil(
        [&] {
            const std::int64_t now = NowNs();
            r.stallNs = std::max(r.stallNs, now - std::exchange(last, now));
            if (w.history().characterCount() != size) size = w.history().characterCount(), grew = now;
            if (fed.done && cpuEnd == 0) cpuEnd = ProcessCpuNs(), r.feedNs = now - t0;
            return fed.done && w.pty.pending() == 0 && now - grew > 300'000'000;
        },
        int(boundS * 1000), checkMs);
    feeder.reset();  // ends it, with a bound
    r.sent = fed.sent;
    r.refused = fed.refused;
    r.wallNs = grew - t0;
    r.cpuNs = cpuEnd - cpu0 - fed.cpuNs;
    if (!r.drained) std::printf("  the history did not take everything within %.0f s\n", boundS);
    return r;
}

double CorePercent(const Run& r) { return r.feedNs > 0 ? 100.0 * double(r.cpuNs) / double(r.feedNs) : 0; }

// Nothing lost: every byte shown once and in order, and none had to wait for room
// in the pty. Its buffer (some 20 KiB, 33 ms at 625 000 B/s) is smaller than a
// serial driver's, so a wait means the program fell that far behind.
void Lossless(const Window& w, const Run& r, std::uint64_t sent) {
    const bool shown = Shown(CheckHistory(w.history().store(), ReceiveFormat::Hex, Pattern(kSeed, false), sent));
    Row("HEX bytes shown once and in order", double(r.sent) / 1e6, "MB", "all sent", shown && r.drained);
    Row("bytes that found the pty's buffer full (~20 KiB)", double(r.refused), "B", "0", r.refused == 0);
}

void Flood(int argc, char** argv) {
    const auto bytes = std::uint64_t(Arg(argc, argv, "--mib", 16) * 1048576);
    Title("Flood: bytes as fast as the pty takes them, into the window, in each format");
    for (const auto& [format, name] : {std::pair{ReceiveFormat::Ascii, "ASCII"}, std::pair{ReceiveFormat::Hex, "HEX"},
                                      std::pair{ReceiveFormat::Dec, "DEC"}}) {
        Window w(format, "6250000");
        Pattern sent(kSeed, format == ReceiveFormat::Ascii);
        const Run r = Feed(w, sent, w.connected() ? bytes : 0, 0, 5);
        const bool shown = Shown(CheckHistory(w.history().store(), format, Pattern(kSeed, format == ReceiveFormat::Ascii), bytes));
        const double mbps = r.wallNs > 0 ? double(r.sent) * 1e3 / double(r.wallNs) : 0;
        Row(std::string(name) + ", every byte shown once and in order", mbps, "MB/s", ">= 3", shown && r.drained && mbps >= 3);
        Info(std::string(name) + ", the window's thread busy at most", Ms(r.stallNs), "ms");
    }
}

void Paced(int argc, char** argv, bool soak) {
    const double rate = soak ? kRate921600 : Arg(argc, argv, "--rate", 625000);
    const double seconds = Arg(argc, argv, "--seconds", soak ? 600 : 60);
    char title[128];
    std::snprintf(title, sizeof title, "%s: %.0f B/s for %.0f s in HEX into the window, written every ms",
                  soak ? "Soak" : "Paced", rate, seconds);
    Title(title);
    Window w(ReceiveFormat::Hex, soak ? "921600" : "6250000");
    Pattern sent(kSeed, false);
    const Run r = Feed(w, sent, w.connected() ? std::uint64_t(rate * seconds) : 0, rate, 5);
    Lossless(w, r, std::uint64_t(rate * seconds));
    Info("processor, whole program", CorePercent(r), "% core");
    Info("the window's thread busy at most", Ms(r.stallNs), "ms");
    Info("peak resident memory", double(StatusKiB("VmHWM")) / 1024, "MiB");
}

void Efficiency(int argc, char** argv, TimedApp& app) {
    const double seconds = Arg(argc, argv, "--seconds", 20);
    const int samples = int(Arg(argc, argv, "--samples", 300));
    Title("Efficiency: 92 160 B/s (921 600 baud) in HEX into the window, then lone bytes");
    Window w(ReceiveFormat::Hex, "921600");
    Pattern sent(kSeed, false);
    const auto threads0 = ThreadCpuSeconds();
    app.recording = true;
    // Looked at only ten times a second, so the watch costs the program little.
    const Run r = Feed(w, sent, w.connected() ? std::uint64_t(kRate921600 * seconds) : 0, kRate921600, 100);
    app.recording = false;
    Row("processor, whole program (reader + window)", CorePercent(r), "% core", "<= 2", r.drained && CorePercent(r) <= 2);
    std::printf("  processor by thread:");
    for (const auto& [name, s] : ThreadCpuSeconds())
        std::printf(" %s %.2f s,", name.c_str(), s - (threads0.count(name) ? threads0.at(name) : 0));
    std::printf(" in %.1f s\n", double(r.feedNs) / 1e9);
    app.printCosts(double(r.feedNs) / 1e9);

    // A lone byte at a random moment against the reader's 20 ms read cycle; the
    // history is looked at every millisecond.
    std::vector<double> ms;
    for (int i = 0; i < samples && w.connected(); ++i) {
        RunUntil([] { return false; }, int(std::rand() % 26));
        const qsizetype before = w.history().characterCount();
        const char byte = static_cast<char>(sent.next());
        const std::int64_t written = NowNs();
        std::int64_t seen = 0;
        w.pty.writeFor(std::string_view(&byte, 1), 100);
        if (RunUntil([&] { return w.history().characterCount() != before && (seen = NowNs()); }, 2000, 1))
            ms.push_back(Ms(seen - written));
    }
    std::sort(ms.begin(), ms.end());
    const double p99 = ms.empty() ? 0 : ms[std::size_t(std::ceil(0.99 * double(ms.size()))) - 1];
    char figure[96];
    std::snprintf(figure, sizeof figure, "lone byte until shown, p99 (p50 %.1f, max %.1f)",
                  ms.empty() ? 0 : ms[ms.size() / 2], ms.empty() ? 0 : ms.back());
    Row(figure, p99, "ms", "<= 30", int(ms.size()) == samples && p99 <= 30);
    Lossless(w, r, std::uint64_t(kRate921600 * seconds) + std::uint64_t(samples));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "flood" && mode != "paced" && mode != "efficiency" && mode != "soak") {
        std::fprintf(stderr, "usage: window_feed flood|paced|efficiency|soak [--seconds S] [--mib M] [--rate B/s]\n");
        return 2;
    }
    int qargc = 1;
    TimedApp app(qargc, argv);
    if (mode == "flood") Flood(argc, argv);
    if (mode == "paced" || mode == "soak") Paced(argc, argv, mode == "soak");
    if (mode == "efficiency") Efficiency(argc, argv, app);
    return gMissed ? 1 : 0;
}
