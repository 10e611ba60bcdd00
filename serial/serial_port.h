#pragma once
// What a HANDLE points at, and what the layer's files share: the registry that
// tells live handles from stale ones, retrying on EINTR, and deadlines on the
// monotonic clock. Internal to the layer.

#include "dcb_termios.h"
#include "termios2_io.h"
#include "win32.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <time.h>

// Calls `call` again for as long as a signal interrupts it.
template <typename Call>
auto RetryOnEintr(Call call) {
    decltype(call()) r;
    do r = call();
    while (r < 0 && errno == EINTR);
    return r;
}

inline bool IsDecimalDigit(unsigned char c) { return c >= '0' && c <= '9'; }

// Deadlines in nanoseconds on CLOCK_MONOTONIC, immune to clock changes.
constexpr std::int64_t kNsPerMs = 1'000'000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

inline std::int64_t MonotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

// start + span, held at kNever instead of wrapping.
inline std::int64_t DeadlineAfter(std::int64_t start, std::int64_t span) {
    return span >= kNever - start ? kNever : start + span;
}

// What is left until `deadline`, for ppoll: nullptr (wait forever) for kNever.
inline const timespec* TimeLeft(std::int64_t deadline, timespec* storage) {
    if (deadline == kNever) return nullptr;
    std::int64_t left = deadline - MonotonicNs();
    if (left < 0) left = 0;
    storage->tv_sec = left / 1'000'000'000;
    storage->tv_nsec = left % 1'000'000'000;
    return storage;
}

struct SerialPort {
    SerialPort(int deviceFd, int eventFd, std::string path)
        : fd(deviceFd), wakeFd(eventFd), device(std::move(path)) {}

    const int fd;
    const int wakeFd;          // eventfd in every ReadFile poll, written by PurgeComm
    const std::string device;  // the path opened, to tell a vanished device from a hang-up

    // The line as found at open, put back by CloseHandle once we changed it.
    SavedTermios found{};
    bool weSetExclusive = false;  // TIOCEXCL was ours to drop

    // Bumped by PURGE_RXABORT. A read aborts only when it changed since the read
    // began, so a wake-up left over from an earlier purge cannot end a later read.
    std::atomic<std::uint64_t> abortGeneration{0};

    // RTS and DTR as last set, for devices that cannot report them. Touched only by
    // GetCommState/SetCommState, which belong to one thread.
    ModemLevels levels;

    // The reader may be inside ReadFile while the other thread sets time-outs.
    COMMTIMEOUTS timeouts() const {
        std::lock_guard lock(mutex_);
        return timeouts_;
    }
    void setTimeouts(const COMMTIMEOUTS& t) {
        std::lock_guard lock(mutex_);
        timeouts_ = t;
    }

    // Raw mode goes on at open, or, for a handle whose line could not be set then,
    // at the first call that configures or moves bytes. False when the line could
    // not be read or set.
    bool EnsureRaw();
    void MarkConfigured() {
        std::lock_guard lock(mutex_);
        configured_ = true;
    }
    bool configured() const {
        std::lock_guard lock(mutex_);
        return configured_;
    }

private:
    mutable std::mutex mutex_;
    bool configured_ = false;
    COMMTIMEOUTS timeouts_;
};

// The port behind a handle that CreateFileA returned and CloseHandle has not yet
// closed; nullptr for anything else (nullptr, INVALID_HANDLE_VALUE, closed).
SerialPort* LivePort(HANDLE handle);

// A Unix98 pseudo-terminal follower: no modem lines, no line settings of its
// own, and a break that the kernel accepts and drops.
bool IsPseudoTerminal(dev_t device);

// Waits up to kMaxWriteWaitMs for the output queued in the driver to go; false
// when some is still queued then.
bool WaitForOutputToGo(int fd);

// Why the device failed, as GetLastError reports it: gone (its path no longer
// names the device we opened), hung up, or another I/O error.
// A hang-up waits up to `settleNs` for the node to go, as it does a moment after
// an unplug; callers on the window's thread pass no wait.
DWORD DeviceFailure(const SerialPort& port, bool hungUp, std::int64_t settleNs = 0);
