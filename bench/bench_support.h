#pragma once
// What the window benchmarks share: a pseudo-terminal standing in for the port, a
// feeder in a process of its own writing into it, the real window connected to it,
// a watch on the window's thread, and a check that the history shows exactly the
// bytes that were sent.
//
// The feeder is forked before the application object exists, so the child is a
// plain single-threaded process and its processor time is never counted as the
// window's.

#include "Unit1.h"
#include "history_store.h"
#include "history_view.h"
#include "ports.h"
#include "test_seam.h"
#include "render.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QRadioButton>
#include <QMetaEnum>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <string>
#include <string_view>
#include <tuple>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bench {

// ------------------------------------------------------------------ clocks

inline std::int64_t NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

inline std::int64_t ProcessCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return std::int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

inline void SleepUntilNs(std::int64_t deadline) {
    timespec t{time_t(deadline / 1'000'000'000), long(deadline % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

inline double Ms(std::int64_t ns) { return double(ns) / 1e6; }
inline double Sec(std::int64_t ns) { return double(ns) / 1e9; }

// ------------------------------------------------------------------ memory

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), or -1.
inline long StatusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "re");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
            kb = std::strtol(line + n + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kb;
}

// ------------------------------------------------------------------ the rest of the machine

// Jiffies of the whole machine, busy and all, from /proc/stat.
struct MachineTime {
    unsigned long long busy = 0, total = 0;
    static MachineTime Now() {
        MachineTime m;
        FILE* f = std::fopen("/proc/stat", "re");
        if (!f) return m;
        unsigned long long v[10] = {};
        if (std::fscanf(f, "cpu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2],
                        &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]) >= 8) {
            for (int i = 0; i < 8; ++i) m.total += v[i];
            m.busy = m.total - v[3] - v[4];  // less idle and iowait
        }
        std::fclose(f);
        return m;
    }
    // Cores busy on average between `before` and this, counting every process.
    double coresBusySince(const MachineTime& before) const {
        const double wall = double(total - before.total);
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        return wall > 0 ? double(busy - before.busy) / wall * double(cores) : 0;
    }
};

// ------------------------------------------------------------------ per-thread processor time

// Processor seconds of each thread of this process, by thread name; threads of
// the same name are summed.
inline std::map<std::string, double> ThreadCpuSeconds() {
    std::map<std::string, double> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        FILE* f = std::fopen(path.c_str(), "re");
        if (!f) continue;
        char buf[1024];
        const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        // The name is in parentheses and may hold spaces; the fields follow the last ')'.
        char* open = std::strchr(buf, '(');
        char* close = std::strrchr(buf, ')');
        if (!open || !close) continue;
        std::string name(open + 1, close);
        unsigned long utime = 0, stime = 0;
        // Fields 3..15 after the name: state ppid pgrp session tty tpgid flags minflt
        // cminflt majflt cmajflt utime stime.
        if (std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) == 2)
            out[name] += double(utime + stime) / tick;
    }
    closedir(dir);
    return out;
}

inline std::string ThreadCpuDelta(const std::map<std::string, double>& before,
                                  const std::map<std::string, double>& after) {
    std::vector<std::pair<double, std::string>> rows;
    for (const auto& [name, seconds] : after) {
        const auto it = before.find(name);
        const double d = seconds - (it == before.end() ? 0.0 : it->second);
        if (d >= 0.005) rows.emplace_back(d, name);
    }
    std::sort(rows.rbegin(), rows.rend());
    std::string s;
    char piece[128];
    for (const auto& [d, name] : rows) {
        std::snprintf(piece, sizeof piece, "%s%s %.2f s", s.empty() ? "" : ", ", name.c_str(), d);
        s += piece;
    }
    return s.empty() ? "-" : s;
}

// ------------------------------------------------------------------ the byte pattern

// A reproducible pseudo-random byte stream, so the check can regenerate what the
// feeder sent instead of keeping it. For ASCII the line-break bytes are replaced,
// since the history would turn them into breaks of its own.
class Pattern {
public:
    Pattern(std::uint64_t seed, bool textSafe) : state_(seed | 1), textSafe_(textSafe) {}

    unsigned char next() {
        if (left_ == 0) {
            state_ ^= state_ >> 12;
            state_ ^= state_ << 25;
            state_ ^= state_ >> 27;
            word_ = state_ * 0x2545F4914F6CDD1DULL;
            left_ = 8;
        }
        auto b = static_cast<unsigned char>(word_);
        word_ >>= 8;
        --left_;
        if (textSafe_ && (b == '\n' || b == '\r')) b = static_cast<unsigned char>(b + 'A');
        return b;
    }
    void fill(unsigned char* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = next();
    }

private:
    std::uint64_t state_;
    std::uint64_t word_ = 0;
    int left_ = 0;
    bool textSafe_;
};

// ------------------------------------------------------------------ the pseudo-terminal

class Pty {
public:
    Pty() {
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        if (openpty(&leader_, &keeper_, name, &raw, nullptr) != 0) {
            std::fprintf(stderr, "openpty failed: %s\n", std::strerror(errno));
            std::exit(1);
        }
        fcntl(leader_, F_SETFD, FD_CLOEXEC);
        fcntl(keeper_, F_SETFD, FD_CLOEXEC);
        path_ = name;
    }
    ~Pty() {
        if (leader_ >= 0) close(leader_);
        if (keeper_ >= 0) close(keeper_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int leader() const { return leader_; }
    // The follower side, kept open so the program's end of the line never hangs up.
    int keeper() const { return keeper_; }
    const std::string& followerPath() const { return path_; }
    // Bytes waiting in the follower's input queue, not yet read by the program.
    int pending() const {
        int n = 0;
        return ioctl(keeper_, FIONREAD, &n) == 0 ? n : -1;
    }

private:
    int leader_ = -1;
    int keeper_ = -1;
    std::string path_;
};

// ------------------------------------------------------------------ the feeder process

enum class FeedMode : std::int32_t { Quit = 0, Flood = 1, Paced = 2, Latency = 3 };

struct FeedCommand {
    FeedMode mode = FeedMode::Quit;
    std::int32_t textSafe = 0;
    double rate = 0;           // bytes a second (paced)
    std::uint64_t bytes = 0;   // total to write (flood, paced)
    std::uint64_t seed = 1;
    std::uint32_t samples = 0; // latency: bytes written one at a time
    std::uint32_t chunk = 4096;
    std::int32_t tickUs = 1000;   // paced: how often due bytes are written
    std::int32_t maxPhaseUs = 25000;  // latency: random wait before each byte
};

struct FeedResult {
    std::uint64_t written = 0;
    std::uint64_t writes = 0;
    std::int64_t startNs = 0;
    std::int64_t endNs = 0;
    std::int64_t longestWriteNs = 0;  // the longest single write() call
    std::int64_t maxBehindNs = 0;     // paced: the most it was behind its schedule
    std::int64_t cpuNs = 0;           // the feeder's own processor time
    std::uint64_t blocked1ms = 0;     // writes that took longer than 1 ms
    std::uint64_t blocked10ms = 0;    // ... than 10 ms
    std::int64_t blockedNs = 0;       // time in writes longer than 1 ms
    std::int32_t error = 0;
};

// A child process writing into the pty leader on command. Construct it before the
// application object, so the fork copies a single-threaded process.
class Feeder {
public:
    explicit Feeder(const Pty& pty) {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) {
            std::perror("pipe2");
            std::exit(1);
        }
        std::fflush(nullptr);
        pid_ = fork();
        if (pid_ < 0) {
            std::perror("fork");
            std::exit(1);
        }
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(toChild[1]);
            close(fromChild[0]);
            close(pty.keeper());
            ChildMain(pty.leader(), toChild[0], fromChild[1]);
            _exit(0);
        }
        close(toChild[0]);
        close(fromChild[1]);
        // A feeder that was killed must not take this process with it.
        std::signal(SIGPIPE, SIG_IGN);
        cmd_ = toChild[1];
        res_ = fromChild[0];
    }
    ~Feeder() {
        FeedCommand quit;
        WriteFull(cmd_, &quit, sizeof quit);
        close(cmd_);
        close(res_);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    void start(const FeedCommand& c) { WriteFull(cmd_, &c, sizeof c); }
    // Stops a feeder stuck in a write that nobody drains.
    void kill() { ::kill(pid_, SIGKILL); }
    // Latency: lets the feeder write its next byte.
    void next() {
        const char go = 1;
        WriteFull(cmd_, &go, 1);
    }
    // Latency: when the last byte was written (CLOCK_MONOTONIC, shared by both processes).
    std::int64_t takeStamp() {
        std::int64_t t = 0;
        ReadFull(res_, &t, sizeof t);
        return t;
    }
    // True once the feeder has finished; its result is then in `out`.
    bool poll(FeedResult& out) {
        pollfd p{res_, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return false;
        ReadFull(res_, &out, sizeof out);
        return true;
    }
    FeedResult wait() {
        FeedResult r;
        ReadFull(res_, &r, sizeof r);
        return r;
    }

    static bool WriteFull(int fd, const void* p, std::size_t n) {
        const auto* b = static_cast<const char*>(p);
        while (n > 0) {
            const ssize_t w = ::write(fd, b, n);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            b += w;
            n -= std::size_t(w);
        }
        return true;
    }
    static bool ReadFull(int fd, void* p, std::size_t n) {
        auto* b = static_cast<char*>(p);
        while (n > 0) {
            const ssize_t r = ::read(fd, b, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            b += r;
            n -= std::size_t(r);
        }
        return true;
    }

private:
    // One write() call at a time, each timed: a call that blocks is the feeder waiting.
    static bool TimedWrite(int fd, const unsigned char* p, std::size_t n, FeedResult& r) {
        while (n > 0) {
            const std::int64_t t0 = NowNs();
            const ssize_t w = ::write(fd, p, n);
            const std::int64_t took = NowNs() - t0;
            r.longestWriteNs = std::max(r.longestWriteNs, took);
            if (took > 1'000'000) {
                ++r.blocked1ms;
                r.blockedNs += took;
                if (took > 10'000'000) ++r.blocked10ms;
            }
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                r.error = errno ? errno : EIO;
                return false;
            }
            ++r.writes;
            r.written += std::uint64_t(w);
            p += w;
            n -= std::size_t(w);
        }
        return true;
    }

    static void ChildMain(int leader, int cmd, int res) {
        FeedCommand c;
        while (ReadFull(cmd, &c, sizeof c) && c.mode != FeedMode::Quit) {
            FeedResult r;
            Pattern pattern(c.seed, c.textSafe != 0);
            std::vector<unsigned char> buf(std::max<std::uint32_t>(c.chunk, 1));
            const std::int64_t cpu0 = ProcessCpuNs();
            r.startNs = NowNs();
            switch (c.mode) {
            case FeedMode::Flood:
                while (r.written < c.bytes && r.error == 0) {
                    const std::size_t n = std::min<std::uint64_t>(buf.size(), c.bytes - r.written);
                    pattern.fill(buf.data(), n);
                    TimedWrite(leader, buf.data(), n, r);
                }
                break;
            case FeedMode::Paced: {
                // Bytes fall due continuously at `rate`, as on a line; every tick the
                // feeder writes what has fallen due since the last one.
                const std::int64_t tick = std::int64_t(c.tickUs) * 1000;
                std::int64_t wake = r.startNs;
                while (r.written < c.bytes && r.error == 0) {
                    const std::int64_t now = NowNs();
                    const auto due = std::min<std::uint64_t>(
                        c.bytes, std::uint64_t(double(now - r.startNs) * c.rate / 1e9));
                    while (r.written < due && r.error == 0) {
                        const std::size_t n = std::min<std::uint64_t>(buf.size(), due - r.written);
                        pattern.fill(buf.data(), n);
                        TimedWrite(leader, buf.data(), n, r);
                    }
                    // Behind = what has fallen due meanwhile and is not yet written.
                    const std::int64_t after = NowNs();
                    const double dueAfter = double(after - r.startNs) * c.rate / 1e9;
                    const double lagBytes = std::min<double>(double(c.bytes), dueAfter) - double(r.written);
                    r.maxBehindNs = std::max(r.maxBehindNs, std::int64_t(lagBytes / c.rate * 1e9));
                    wake += tick;
                    if (wake < after) wake = after;  // a late tick is not made up in a burst of ticks
                    SleepUntilNs(wake);
                }
                break;
            }
            case FeedMode::Latency: {
                std::uint64_t rng = c.seed * 0x9E3779B97F4A7C15ULL + 7;
                for (std::uint32_t i = 0; i < c.samples && r.error == 0; ++i) {
                    char go = 0;
                    if (!ReadFull(cmd, &go, 1)) return;
                    rng ^= rng << 13;
                    rng ^= rng >> 7;
                    rng ^= rng << 17;
                    // A random phase against the reader's 20 ms read cycle.
                    const std::int64_t phase = std::int64_t(rng % std::uint64_t(c.maxPhaseUs + 1)) * 1000;
                    SleepUntilNs(NowNs() + phase);
                    unsigned char b = pattern.next();
                    const std::int64_t t = NowNs();
                    TimedWrite(leader, &b, 1, r);
                    WriteFull(res, &t, sizeof t);
                }
                break;
            }
            case FeedMode::Quit: break;
            }
            r.endNs = NowNs();
            r.cpuNs = ProcessCpuNs() - cpu0;
            if (!WriteFull(res, &r, sizeof r)) return;
        }
    }

    pid_t pid_ = -1;
    int cmd_ = -1;
    int res_ = -1;
};

// ------------------------------------------------------------------ the window

inline const char* FormatName(ReceiveFormat f) {
    return f == ReceiveFormat::Ascii ? "ASCII" : f == ReceiveFormat::Hex ? "HEX" : "DEC";
}

inline bool ParseFormat(std::string_view s, ReceiveFormat& f) {
    std::string t(s);
    for (char& c : t) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (t == "ascii") f = ReceiveFormat::Ascii;
    else if (t == "hex") f = ReceiveFormat::Hex;
    else if (t == "dec") f = ReceiveFormat::Dec;
    else return false;
    return true;
}

// Sets the platform before the application object exists, unless the caller chose one.
// Also gives Qt a runtime directory of its own when there is none.
inline void UseOffscreenUnlessSet() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!getenv("XDG_RUNTIME_DIR")) {
        const std::string dir = "/tmp/morrel-bench-" + std::to_string(getuid());
        mkdir(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 0);
    }
}

// The application object, timing every event the window's thread handles, by
// event and receiver. Nested events (a paint inside an update request) are kept
// apart by depth, so the outermost ones add up to the thread's event time.
class TimedApp : public QApplication {
public:
    TimedApp(int& argc, char** argv) : QApplication(argc, argv) {}

    bool notify(QObject* receiver, QEvent* event) override {
        if (QThread::currentThread() != thread()) return QApplication::notify(receiver, event);
        if (!recording_ || depth_ > 3) {
            ++depth_;
            const bool r = QApplication::notify(receiver, event);
            --depth_;
            return r;
        }
        // Named before the event: some receivers (single-shot timers) delete themselves.
        const int type = int(event->type());
        QString who = receiver->objectName();
        if (who.isEmpty()) who = QString::fromLatin1(receiver->metaObject()->className());
        const int depth = depth_++;
        const std::int64_t t0 = NowNs();
        const bool r = QApplication::notify(receiver, event);
        const std::int64_t took = NowNs() - t0;
        --depth_;
        Stat& s = stats_[{depth, type, who.toStdString()}];
        ++s.count;
        s.ns += took;
        return r;
    }

    void record(bool on) {
        recording_ = on;
        if (on) stats_.clear();
    }

    // The outermost events by time, and the paints within them.
    std::string summary(double wallSeconds, std::size_t top = 8) const {
        std::vector<std::pair<std::int64_t, std::string>> rows;
        const QMetaEnum names = QMetaEnum::fromType<QEvent::Type>();
        for (const auto& [key, stat] : stats_) {
            const auto& [depth, type, who] = key;
            if (depth != 0 && type != int(QEvent::Paint)) continue;
            const char* typeName = names.valueToKey(type);
            char line[256];
            std::snprintf(line, sizeof line, "%s%s on %s %.0f/s x %.1f us = %.2f s",
                          depth ? "  within: " : "", typeName ? typeName : "?", who.c_str(),
                          double(stat.count) / std::max(wallSeconds, 1e-9),
                          double(stat.ns) / 1e3 / double(std::max<std::uint64_t>(stat.count, 1)), Sec(stat.ns));
            rows.emplace_back(stat.ns, line);
        }
        std::sort(rows.rbegin(), rows.rend());
        std::string out;
        for (std::size_t i = 0; i < rows.size() && i < top; ++i) out += "      " + rows[i].second + "\n";
        return out;
    }

private:
    struct Stat {
        std::uint64_t count = 0;
        std::int64_t ns = 0;
    };
    int depth_ = 0;
    bool recording_ = false;
    std::map<std::tuple<int, int, std::string>, Stat> stats_;
};

// Runs the window's event loop until `done` holds or `timeoutMs` passes; true if done.
inline bool RunUntil(const std::function<bool()>& done, int timeoutMs, int checkMs = 10) {
    if (done()) return true;
    QEventLoop loop;
    QTimer check;
    check.setTimerType(checkMs < 5 ? Qt::PreciseTimer : Qt::CoarseTimer);
    bool ok = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done()) {
            ok = true;
            loop.quit();
        }
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    check.start(checkMs);
    loop.exec();
    return ok;
}

inline void RunFor(int ms) {
    RunUntil([] { return false; }, ms, 50);
}

// The real window, made as the entry makes it, connected to port 3, which is
// mapped onto the pty's follower.
class ConnectedWindow {
public:
    ConnectedWindow(const Pty& pty, ReceiveFormat format, const char* baud) {
        UseOnlyOverriddenPorts(true);
        OverridePortDevice(3, pty.followerPath());
        form = std::make_unique<TForm1>();
        Form1 = form.get();
        form->FormCreate();
        form->show();
        const int baudIndex = form->ComboBox2->findText(QString::fromLatin1(baud));
        if (baudIndex >= 0) form->ComboBox2->setCurrentIndex(baudIndex);
        else std::fprintf(stderr, "note: baud %s not offered, default kept\n", baud);
        QRadioButton* button = format == ReceiveFormat::Hex   ? form->RadioButton2
                               : format == ReceiveFormat::Dec ? form->RadioButton3
                                                              : form->RadioButton1;
        button->setChecked(true);
        form->Button3Click();
        connected = !form->Button3->isEnabled();
    }
    ~ConnectedWindow() {
        form.reset();
        Form1 = nullptr;
        ClearPortOverrides();
    }
    HistoryView& memo() const { return *form->Memo1; }

    std::unique_ptr<TForm1> form;
    bool connected = false;
};

// Watches the window's thread with a short timer: the longest gap between its
// ticks is the longest time the thread could not run its events, and the last
// tick at which the history grew marks when the data was taken in.
class ThreadWatch {
public:
    ThreadWatch(const HistoryView& memo, int intervalMs) : memo_(memo) {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(intervalMs);
        QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        last_ = NowNs();
        lastChangeNs = last_;
        cpuAtLastChangeNs = ProcessCpuNs();
        lastCount_ = memo_.characterCount();
        longestGapNs = 0;
        ticks = 0;
        timer_.start();
    }
    void stop() { timer_.stop(); }

    std::int64_t longestGapNs = 0;
    std::int64_t lastChangeNs = 0;
    std::int64_t cpuAtLastChangeNs = 0;
    std::uint64_t ticks = 0;

private:
    void tick() {
        const std::int64_t now = NowNs();
        longestGapNs = std::max(longestGapNs, now - last_);
        last_ = now;
        ++ticks;
        const qsizetype count = memo_.characterCount();
        if (count != lastCount_) {
            lastCount_ = count;
            lastChangeNs = now;
            cpuAtLastChangeNs = ProcessCpuNs();
        }
    }

    const HistoryView& memo_;
    QTimer timer_;
    std::int64_t last_ = 0;
    qsizetype lastCount_ = 0;
};

// ------------------------------------------------------------------ the check

struct Shown {
    std::uint64_t bytes = 0;        // bytes rebuilt from the "received:" lines
    std::uint64_t lines = 0;        // "received:" lines
    std::uint64_t otherLines = 0;   // lines that are neither received nor the connect record
    std::uint64_t mismatchAt = ~std::uint64_t(0);  // first byte that differs from what was sent
    std::string problem;            // the first malformed line, if any
    bool ok(std::uint64_t sent) const {
        return bytes == sent && mismatchAt == ~std::uint64_t(0) && problem.empty() && otherLines == 0;
    }
};

// Rebuilds the received bytes from the history, line by line, and compares them
// with the pattern the feeder sent. The history holds "COM3 Opened", then one
// "received:" line per read, then the empty line after the last break.
inline Shown CheckHistory(const HistoryStore& store, ReceiveFormat format, Pattern expected) {
    Shown s;
    constexpr std::string_view kPrefix = "received:";
    auto take = [&](unsigned char b) {
        if (s.mismatchAt == ~std::uint64_t(0) && expected.next() != b) s.mismatchAt = s.bytes;
        ++s.bytes;
    };
    auto malformed = [&](qsizetype line, std::string_view text) {
        if (s.problem.empty())
            s.problem = "line " + std::to_string(line) + ": \"" +
                        std::string(text.substr(0, 80)) + "\"";
    };
    const qsizetype lines = store.lineCount();
    for (qsizetype i = 0; i < lines; ++i) {
        const std::string_view text = store.lineText(i);
        if (text.substr(0, kPrefix.size()) != kPrefix) {
            const bool expectedLine = (i == 0 && text == "COM3 Opened") || (i == lines - 1 && text.empty());
            if (!expectedLine) {
                ++s.otherLines;
                malformed(i, text);
            }
            continue;
        }
        ++s.lines;
        std::string_view rest = text.substr(kPrefix.size());
        if (format == ReceiveFormat::Ascii) {
            for (char c : rest) take(static_cast<unsigned char>(c));
            continue;
        }
        std::size_t p = 0;
        while (p < rest.size()) {
            unsigned value = 0;
            int digits = 0;
            if (format == ReceiveFormat::Hex) {
                if (rest.substr(p, 2) != "0x") break;
                p += 2;
                for (; p < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[p])); ++p, ++digits)
                    value = value * 16 + unsigned(std::isdigit(static_cast<unsigned char>(rest[p]))
                                                      ? rest[p] - '0'
                                                      : (rest[p] | 0x20) - 'a' + 10);
            } else {
                for (; p < rest.size() && std::isdigit(static_cast<unsigned char>(rest[p])); ++p, ++digits)
                    value = value * 10 + unsigned(rest[p] - '0');
            }
            if (digits == 0 || digits > 3 || value > 255 || p >= rest.size() || rest[p] != ' ') break;
            ++p;
            take(static_cast<unsigned char>(value));
        }
        if (p != rest.size()) malformed(i, text);
    }
    return s;
}

// ------------------------------------------------------------------ arguments and output

// "--name value" from argv, or the fallback.
inline std::string Arg(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
    return fallback;
}

inline bool Flag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

inline std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t from = 0;
    while (from <= s.size()) {
        const std::size_t to = s.find(sep, from);
        const std::string piece = s.substr(from, to == std::string::npos ? std::string::npos : to - from);
        if (!piece.empty()) out.push_back(piece);
        if (to == std::string::npos) break;
        from = to + 1;
    }
    return out;
}

inline const char* Verdict(bool met) { return met ? "ok" : "MISSED"; }

}  // namespace bench
