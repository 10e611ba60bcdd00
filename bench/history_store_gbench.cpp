// How fast the history takes received lines in HEX, and what it costs to keep them.
//
// StoreAppendHexLines: the text store alone, batches of 1 000 lines.
// ViewAppendHexLines: the widget, shown (offscreen), batches of 1 000 lines with an
//   event-loop pass after each, so its scroll bar and painting are in the figure.
// ViewReaderFlood: a thread makes lines at a fixed rate (default 300 000 a second,
//   3 MB/s of received bytes) while the window's thread drains them the way the
//   window does; reports how much of that thread it took and its longest stall.
// ViewHugeHistory: the widget holding 2 GiB of HEX lines; how long scrolling to the
//   top and painting takes, back to the end, and select all with copy.
#include "history_store.h"
#include "history_view.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFont>
#include <QScrollBar>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kLinesPerBatch = 1000;
constexpr int kBytesPerRead = 10;

// A reader's line for ten received bytes, as the HEX format renders it.
std::string hexLine(unsigned seed) {
    std::string line = "received:";
    char buf[8];
    for (int i = 0; i < kBytesPerRead; ++i) {
        std::snprintf(buf, sizeof buf, "0x%x ", (seed * 37u + unsigned(i) * 11u) & 0xffu);
        line += buf;
    }
    return line + "\r\n";
}

std::string hexBatch(int lines, unsigned seed) {
    std::string batch;
    for (int i = 0; i < lines; ++i)
        batch += hexLine(seed + unsigned(i));
    return batch;
}

long residentBytes() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

QApplication& application() {
    static int argc = 1;
    static char name[] = "history_store_gbench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

void showLikeTheWindow(HistoryView& view) {
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPixelSize(11);
    view.setFont(font);
    view.resize(341, 160);
    view.show();
}

void StoreAppendHexLines(benchmark::State& state) {
    const std::string batch = hexBatch(kLinesPerBatch, 7);
    const long rssBefore = residentBytes();
    HistoryStore store;
    std::int64_t batches = 0;
    for (auto _ : state) {
        store.append(batch);
        ++batches;
    }
    const long rssAfter = residentBytes();
    const double text = double(batches) * double(batch.size());
    const double received = double(batches) * kLinesPerBatch * kBytesPerRead;
    state.SetBytesProcessed(std::int64_t(text));
    state.counters["store_per_text_byte"] = double(store.memoryBytes()) / text;
    state.counters["store_per_rx_byte"] = double(store.memoryBytes()) / received;
    state.counters["rss_per_rx_byte"] = double(rssAfter - rssBefore) / received;
}
// A fixed count keeps the store (about 130 MB) from growing with the machine's speed.
BENCHMARK(StoreAppendHexLines)->Iterations(2000)->Unit(benchmark::kMillisecond);

void ViewAppendHexLines(benchmark::State& state) {
    application();
    const std::string batch = hexBatch(kLinesPerBatch, 11);
    HistoryView view;
    showLikeTheWindow(view);
    QCoreApplication::processEvents();
    std::int64_t batches = 0;
    for (auto _ : state) {
        view.appendLatin1(batch);
        QCoreApplication::processEvents();
        ++batches;
    }
    state.SetBytesProcessed(batches * std::int64_t(batch.size()));
    state.counters["lines"] = double(view.lineCount());
}
BENCHMARK(ViewAppendHexLines)->Iterations(1000)->Unit(benchmark::kMicrosecond);

double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

void ViewReaderFlood(benchmark::State& state) {
    application();
    const double linesPerSecond = double(state.range(0));
    constexpr double kSeconds = 3.0;
    HistoryView view;
    showLikeTheWindow(view);
    QCoreApplication::processEvents();

    for (auto _ : state) {
        std::mutex lock;
        std::string pending;
        std::atomic<bool> done{false};
        std::atomic<std::int64_t> made{0};
        std::thread reader([&] {
            const auto start = std::chrono::steady_clock::now();
            std::int64_t lines = 0;
            for (;;) {
                const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (elapsed >= kSeconds)
                    break;
                const auto due = std::int64_t(elapsed * linesPerSecond);
                std::string chunk;
                for (; lines < due; ++lines)
                    chunk += hexLine(unsigned(lines));
                if (!chunk.empty()) {
                    std::lock_guard<std::mutex> guard(lock);
                    pending += chunk;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            made = lines;
            done = true;
        });

        // The window's side: drain on a short timer, and watch for stalls with another.
        std::int64_t taken = 0;
        qint64 worstGapNs = 0;
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer drain;
        drain.setInterval(1);
        QObject::connect(&drain, &QTimer::timeout, [&] {
            std::string lines;
            {
                std::lock_guard<std::mutex> guard(lock);
                lines.swap(pending);
            }
            taken += std::int64_t(lines.size());
            view.appendLatin1(lines);
        });
        QTimer watch;
        watch.setInterval(5);
        QObject::connect(&watch, &QTimer::timeout, [&] {
            worstGapNs = std::max(worstGapNs, sinceTick.nsecsElapsed());
            sinceTick.restart();
        });
        QEventLoop loop;
        QTimer finish;
        finish.setInterval(20);
        QObject::connect(&finish, &QTimer::timeout, [&] {
            if (done)
                loop.quit();
        });
        const double cpuBefore = threadCpuSeconds();
        drain.start();
        watch.start();
        finish.start();
        loop.exec();
        reader.join();
        QTimer::singleShot(40, &loop, &QEventLoop::quit);  // the last lines and one more paint
        loop.exec();
        const double cpu = threadCpuSeconds() - cpuBefore;
        drain.stop();
        watch.stop();

        state.counters["made_lines"] = double(made);
        state.counters["text_MB_per_s"] = double(taken) / kSeconds / 1e6;
        state.counters["rx_MB_per_s"] = double(made) * kBytesPerRead / kSeconds / 1e6;
        state.counters["gui_cpu_pct"] = 100.0 * cpu / kSeconds;
        state.counters["worst_tick_ms"] = double(worstGapNs) / 1e6;
    }
}
BENCHMARK(ViewReaderFlood)->Arg(62500)->Arg(300000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void ViewHugeHistory(benchmark::State& state) {
    application();
    const qsizetype size = qsizetype(state.range(0)) << 20;
    HistoryView view;
    showLikeTheWindow(view);
    const std::string batch = hexBatch(200 * kLinesPerBatch, 3);
    while (view.characterCount() < size && !view.isOutOfMemory())
        view.appendLatin1(batch);
    view.flushPendingLayout();
    QCoreApplication::processEvents();
    QScrollBar* bar = view.verticalScrollBar();
    auto ms = [](auto&& step) {
        QElapsedTimer timer;
        timer.start();
        step();
        return double(timer.nsecsElapsed()) / 1e6;
    };
    for (auto _ : state) {
        state.counters["top_paint_ms"] = ms([&] {
            bar->setValue(0);
            view.viewport()->repaint();
        });
        state.counters["end_paint_ms"] = ms([&] {
            bar->setValue(bar->maximum());
            view.viewport()->repaint();
        });
        state.counters["select_all_copy_ms"] = ms([&] {
            view.selectAll();
            view.copy();
        });
    }
    state.counters["history_MiB"] = double(view.characterCount()) / double(1 << 20);
    std::printf("scroll to top of a %.1f GiB history and paint: %.1f ms\n", double(view.characterCount()) / (1 << 30),
                state.counters["top_paint_ms"].value);
}
BENCHMARK(ViewHugeHistory)->Arg(2048)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
