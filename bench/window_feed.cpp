// The real window, connected to a pseudo-terminal, fed by a thread of this
// process whose own processor time is taken out of the program's. It runs
// offscreen unless QT_QPA_PLATFORM says otherwise; scripts/bench runs the
// processor figures under an Xvfb of its own too, where users' X servers put the
// window, and only those count against their targets.
//
//   window_feed flood      [--mib 16]                       ASCII, HEX and DEC in turn, unpaced
//   window_feed paced      [--seconds 60] [--rate 625000]   HEX at the fastest line's rate
//   window_feed efficiency [--seconds 20] [--samples 300]   HEX at 921 600 baud without and with the
//                                                           log, then lone bytes
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
#include <QFile>
#include <QMetaEnum>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
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
    std::int64_t endNs = 0, processCpuNs = 0;  // when it was done, and the whole process's time then
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
        fed.processCpuNs = ProcessCpuNs();
        fed.endNs = NowNs();
        fed.done = true;
    });
}

struct Run {
    std::uint64_t sent = 0, refused = 0;
    std::int64_t wallNs = 0;   // from the first byte sent to the history's last growth
    std::int64_t feedNs = 0;   // until the feeder was done
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
    std::int64_t grew = t0, last = t0;
    auto feeder = StartFeeder(w.pty, pattern, total, rate, fed);
    const double boundS = double(total) / (rate > 0 ? rate : 3e5) * 3 + 20;
    r.drained = RunUntil(
        [&] {
            const std::int64_t now = NowNs();
            r.stallNs = std::max(r.stallNs, now - std::exchange(last, now));
            if (w.history().characterCount() != size) size = w.history().characterCount(), grew = now;
            return fed.done && w.pty.pending() == 0 && now - grew > 300'000'000;
        },
        int(boundS * 1000), checkMs);
    feeder.reset();  // ends it, with a bound
    r.sent = fed.sent;
    r.refused = fed.refused;
    r.wallNs = grew - t0;
    // Measured by the feeder as it ends, so how often we look adds nothing.
    r.feedNs = fed.done ? fed.endNs - t0 : 0;
    r.cpuNs = fed.done ? fed.processCpuNs - cpu0 - fed.cpuNs : 0;
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

// One run at 921 600 baud, and what it cost each thread but the feeder.
struct Metered {
    Run run;
    std::string threads;
};

Metered Meter(Window& w, Pattern& sent, double seconds, TimedApp& app) {
    const auto cpu0 = ThreadCpuSeconds();
    const auto wakeups0 = ThreadWakeups();
    app.costs.clear();
    app.recording = true;
    // Looked at only four times a second, so the watch costs the program little.
    const Run r = Feed(w, sent, w.connected() ? std::uint64_t(kRate921600 * seconds) : 0, kRate921600, 250);
    app.recording = false;
    const auto cpu1 = ThreadCpuSeconds();
    const auto wakeups1 = ThreadWakeups();
    const double s = std::max(1e-3, double(r.feedNs) / 1e9);
    std::string threads = "  by thread (processor, wake-ups a second):";
    for (const auto& [name, end] : cpu1) {
        if (name == "feeder") continue;
        const long woke = (wakeups1.count(name) ? wakeups1.at(name) : 0) - (wakeups0.count(name) ? wakeups0.at(name) : 0);
        char part[96];
        std::snprintf(part, sizeof part, " %s %.2f s, %.0f;", name.c_str(), end - (cpu0.count(name) ? cpu0.at(name) : 0),
                      double(woke) / s);
        threads += part;
    }
    return {r, threads + "\n"};
}

// The processor a run took: under Xvfb, the figure that counts, against its
// target; offscreen it is printed only beside it, since no user runs there.
void Processor(const std::string& figure, const Metered& m, double target, bool ran, TimedApp& app) {
    const Run& r = m.run;
    char limit[16];
    std::snprintf(limit, sizeof limit, "<= %g", target);
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        Row(figure, CorePercent(r), "% core", limit, ran && r.drained && CorePercent(r) <= target);
    else
        Info(figure + " (no target offscreen)", CorePercent(r), "% core");
    std::printf("%s", m.threads.c_str());
    app.printCosts(double(r.feedNs) / 1e9);
}

// The log holds, at its end, exactly the text the history gained while it ran.
bool LoggedAsShown(const QString& path, const HistoryStore& store, qsizetype from, qsizetype to) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::printf("  the log %s cannot be read\n", qPrintable(path));
        return false;
    }
    const QByteArray logged = file.readAll();
    std::string gained(std::size_t(to - from), '\0');
    store.copyTo(from, to - from, gained.data());
    if (logged.endsWith(QByteArrayView(gained.data(), qsizetype(gained.size())))) return true;
    std::printf("  the log holds %lld bytes, not ending with the %lld the history gained\n",
                static_cast<long long>(logged.size()), static_cast<long long>(gained.size()));
    return false;
}

void Efficiency(int argc, char** argv, TimedApp& app) {
    const double seconds = Arg(argc, argv, "--seconds", 20);
    const int samples = int(Arg(argc, argv, "--samples", 300));
    const bool xvfb = QGuiApplication::platformName() == QLatin1String("xcb");
    Title((std::string(xvfb ? "Efficiency under Xvfb" : "Efficiency offscreen, for comparison") +
           ": 92 160 B/s (921 600 baud) in HEX into the window, without and with the log" +
           (samples > 0 ? "; lone bytes" : ""))
              .c_str());
    Window w(ReceiveFormat::Hex, "921600");
    Pattern sent(kSeed, false);
    std::uint64_t total = 0;

    const std::uint64_t perRun = w.connected() ? std::uint64_t(kRate921600 * seconds) : 0;
    const Metered plain = Meter(w, sent, seconds, app);
    total += perRun;
    Processor("processor, whole program, no log", plain, 2, true, app);

    // The same again with the history logged to a file as it grows.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("window_feed.log"));
    const QString refused = dir.isValid() ? w.form->Memo1->startLog(path) : QStringLiteral("no temporary folder");
    const qsizetype logFrom = w.history().characterCount();
    const Metered logged = Meter(w, sent, refused.isEmpty() ? seconds : 0, app);
    total += refused.isEmpty() ? perRun : 0;
    const qsizetype logTo = w.history().characterCount();
    w.form->Memo1->stopLog();
    if (!refused.isEmpty()) std::printf("  the log did not start: %s\n", qPrintable(refused));
    Processor("processor, whole program, logging to a file", logged, 2.5, refused.isEmpty(), app);
    Info("  of which the log", CorePercent(logged.run) - CorePercent(plain.run), "% core");
    Row("the log holds what the history gained while it ran", double(logTo - logFrom) / 1e6, "MB", "all of it",
        refused.isEmpty() && LoggedAsShown(path, w.history().store(), logFrom, logTo));

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
        ++total;
        if (RunUntil([&] { return w.history().characterCount() != before && (seen = NowNs()); }, 2000, 1))
            ms.push_back(Ms(seen - written));
    }
    std::sort(ms.begin(), ms.end());
    if (samples > 0) {
        const double p99 = ms.empty() ? 0 : ms[std::size_t(std::ceil(0.99 * double(ms.size()))) - 1];
        char figure[96];
        std::snprintf(figure, sizeof figure, "lone byte until shown, p99 (p50 %.1f, max %.1f)",
                      ms.empty() ? 0 : ms[ms.size() / 2], ms.empty() ? 0 : ms.back());
        Row(figure, p99, "ms", "<= 30", int(ms.size()) == samples && p99 <= 30);
    }
    Run both = plain.run;
    both.sent = plain.run.sent + logged.run.sent + ms.size();
    both.refused += logged.run.refused;
    both.drained = plain.run.drained && logged.run.drained;
    Lossless(w, both, total);
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
