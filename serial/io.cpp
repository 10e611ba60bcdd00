// Moving bytes: ReadFile, WriteFile and TransmitCommChar under the Win32 time-out
// rules, and PurgeComm's abort that wakes a pending read.
#include "serial_port.h"
#include "test_seam.h"

#include <algorithm>
#include <optional>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Up to (2^32-1)^2 + 2^32-1 milliseconds: far past what nanoseconds in 64 bits
// hold, and far past any wait that matters, so it is held at kNever.
std::optional<std::int64_t> TotalNs(DWORD multiplier, DWORD constant, DWORD count) {
    if (multiplier == 0 && constant == 0) return std::nullopt;
    const unsigned __int128 ms = static_cast<unsigned __int128>(multiplier) * count + constant;
    if (ms >= static_cast<unsigned __int128>(kNever / kNsPerMs)) return kNever;
    return static_cast<std::int64_t>(ms) * kNsPerMs;
}

struct ReadPlan {
    std::optional<std::int64_t> totalNs;     // none: no total time-out
    std::optional<std::int64_t> intervalNs;  // none: no time-out between bytes
    bool returnOnAnyData = false;            // done as soon as any byte is in hand
};

// total = multiplier * count + constant (none when both are 0); interval as given
// (none when 0). MAXDWORD/0/0 returns at once with what is there; MAXDWORD/MAXDWORD/c
// waits up to c for the first byte and returns with it.
ReadPlan PlanRead(const COMMTIMEOUTS& t, DWORD count) {
    ReadPlan plan;
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0) {
        plan.totalNs = 0;
        plan.returnOnAnyData = true;
        return plan;
    }
    if (t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD) {
        plan.totalNs = std::int64_t{t.ReadTotalTimeoutConstant} * kNsPerMs;
        plan.returnOnAnyData = true;
        return plan;
    }
    plan.totalNs = TotalNs(t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant, count);
    if (t.ReadIntervalTimeout != 0) plan.intervalNs = std::int64_t{t.ReadIntervalTimeout} * kNsPerMs;
    return plan;
}

// multiplier * count + constant, none when both are 0.
std::optional<std::int64_t> WriteTimeoutNs(const COMMTIMEOUTS& t, DWORD count) {
    return TotalNs(t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant, count);
}

// Empties the eventfd and says whether a purge came since the read began.
bool AbortedSince(SerialPort& port, std::uint64_t generation) {
    std::uint64_t count;
    RetryOnEintr([&] { return read(port.wakeFd, &count, sizeof count); });
    return port.abortGeneration.load(std::memory_order_acquire) != generation;
}

// A hung-up device answers every poll at once, so the time-out is slept out here,
// watching only the eventfd so that PurgeComm still ends the wait. Without a total
// time-out that means until a purge.
void WaitOutDeadline(SerialPort& port, std::uint64_t generation, std::int64_t deadline) {
    for (;;) {
        if (deadline != kNever && MonotonicNs() >= deadline) return;
        pollfd wake{port.wakeFd, POLLIN, 0};
        timespec storage;
        const int r = ppoll(&wake, 1, TimeLeft(deadline, &storage), nullptr);
        if (r < 0 && errno != EINTR) return;
        if (r > 0 && AbortedSince(port, generation)) return;
    }
}

// How long after a hang-up the reader looks for the device node to go, which
// tells an unplug from a hang-up: the node goes a moment after the hang-up.
constexpr std::int64_t kUnplugSettleNs = 500 * kNsPerMs;

enum class Room { Ready, TimedOut, Failed };

Room WaitForRoom(int fd, std::int64_t deadline) {
    for (;;) {
        if (deadline != kNever && MonotonicNs() >= deadline) return Room::TimedOut;
        pollfd p{fd, POLLOUT, 0};
        timespec storage;
        const int r = ppoll(&p, 1, TimeLeft(deadline, &storage), nullptr);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Room::Failed;
        if (p.revents & POLLOUT) return Room::Ready;
        if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return Room::Failed;
    }
}

}  // namespace

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    SerialPort* port = LivePort(handle);
    if (!port || !timeouts) return FALSE;
    *timeouts = port->timeouts();
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE handle, const COMMTIMEOUTS* timeouts) {
    SerialPort* port = LivePort(handle);
    if (!port || !timeouts) return FALSE;
    port->setTimeouts(*timeouts);
    return TRUE;
}


BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read, void*) {
    if (read) *read = 0;
    SerialPort* port = LivePort(handle);
    if (!port || !read || (!buffer && count != 0)) {
        SetLastError(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    if (count == 0) return TRUE;

    const std::uint64_t generation = port->abortGeneration.load(std::memory_order_acquire);
    NotifyLayer(LayerEvent::ReadBegins);
    struct ReadEnds {
        ~ReadEnds() { NotifyLayer(LayerEvent::ReadEnds); }
    } readEnds;
    const ReadPlan plan = PlanRead(port->timeouts(), count);
    const std::int64_t start = MonotonicNs();
    const std::int64_t totalDeadline = plan.totalNs ? DeadlineAfter(start, *plan.totalNs) : kNever;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::int64_t lastByte = start;
    bool readable = false;  // the last poll said a read would not block
    bool hungUp = false;

    // A line that cannot be put in raw mode has failed like one that cannot be read.
    if (port->EnsureRaw()) for (;;) {
        std::int64_t deadline = totalDeadline;
        if (*read > 0 && plan.intervalNs)
            deadline = std::min(deadline, DeadlineAfter(lastByte, *plan.intervalNs));
        if (deadline != kNever && MonotonicNs() >= deadline && *read > 0) return TRUE;

        if (port->abortGeneration.load(std::memory_order_acquire) != generation) {
            AbortedSince(*port, generation);
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        // Bytes already waiting need no poll: at full speed this halves the system
        // calls of a read. With VMIN and VTIME 0 an empty line reads as 0 bytes.
        const ssize_t n = ::read(port->fd, bytes + *read, count - *read);
        if (n > 0) {
            *read += static_cast<DWORD>(n);
            lastByte = MonotonicNs();
            readable = false;
            if (*read == count || plan.returnOnAnyData) return TRUE;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            hungUp = errno == EIO;
            break;
        }
        if (n == 0 && readable) {  // 0 bytes although poll said readable: hung up
            hungUp = true;
            break;
        }

        pollfd fds[2] = {{port->fd, POLLIN, 0}, {port->wakeFd, POLLIN, 0}};
        timespec storage;
        const int r = ppoll(fds, 2, TimeLeft(deadline, &storage), nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if ((fds[1].revents & POLLIN) && AbortedSince(*port, generation)) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        readable = fds[0].revents & POLLIN;
        if (readable) continue;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            hungUp = fds[0].revents & POLLHUP;
            break;
        }
        if (r == 0 && MonotonicNs() >= deadline) return TRUE;  // time-out: what came, maybe nothing
    }

    // The device has failed. Bytes already read are the caller's; otherwise report
    // the failure only once the time-out has passed, so no caller loop spins.
    if (*read > 0) return TRUE;
    const DWORD failure = DeviceFailure(*port, hungUp, kUnplugSettleNs);
    WaitOutDeadline(*port, generation, totalDeadline);
    SetLastError(failure);
    return FALSE;
}


BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, void*) {
    if (written) *written = 0;
    SerialPort* port = LivePort(handle);
    if (!port || (!buffer && count != 0)) {
        SetLastError(port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!port->EnsureRaw()) {
        SetLastError(DeviceFailure(*port, false));
        return FALSE;
    }

    // The caller's thread is the window's: a stalled line must not hold it.
    std::int64_t limit = std::int64_t{kMaxWriteWaitMs} * kNsPerMs;
    if (const auto asked = WriteTimeoutNs(port->timeouts(), count); asked && *asked < limit)
        limit = *asked;
    const std::int64_t deadline = DeadlineAfter(MonotonicNs(), limit);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = write(port->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            if (written) *written = done;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A write that timed out is reported as failed, with the count that did go.
        if (n < 0 && errno == EAGAIN) {
            const Room room = WaitForRoom(port->fd, deadline);
            if (room == Room::Ready) continue;
            SetLastError(room == Room::TimedOut ? ERROR_SEM_TIMEOUT : DeviceFailure(*port, true));
            return FALSE;
        }
        SetLastError(DeviceFailure(*port, n == 0 || errno == EIO));
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL TransmitCommChar(HANDLE handle, char c) {
    DWORD written = 0;
    return WriteFile(handle, &c, 1, &written, nullptr);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    constexpr DWORD kKnown = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
    SerialPort* port = LivePort(handle);
    if (!port || (flags & ~kKnown) != 0) return FALSE;

    bool ok = true;
    if (flags & PURGE_RXABORT) {
        // Generation first, then the wake-up: a read that sees the wake-up must also
        // see the new generation.
        port->abortGeneration.fetch_add(1, std::memory_order_release);
        const std::uint64_t one = 1;
        const ssize_t n = RetryOnEintr([&] { return write(port->wakeFd, &one, sizeof one); });
        // EAGAIN: the counter is full, so a wake-up is already pending.
        ok = n == sizeof one || errno == EAGAIN;
    }
    // Writes are synchronous and never queued behind the caller's back, so there is
    // no pending write for PURGE_TXABORT to abandon.
    const bool clearIn = flags & PURGE_RXCLEAR;
    const bool clearOut = flags & PURGE_TXCLEAR;
    if (clearIn || clearOut) {
        const int queue = clearIn && clearOut ? TCIOFLUSH : clearIn ? TCIFLUSH : TCOFLUSH;
        const int r = RetryOnEintr([&] { return tcflush(port->fd, queue); });
        ok = ok && r == 0;
    }
    return ok ? TRUE : FALSE;
}

BOOL FlushFileBuffers(HANDLE handle) {
    SerialPort* port = LivePort(handle);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!WaitForOutputToGo(port->fd)) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* stat) {
    SerialPort* port = LivePort(handle);
    if (!port) return FALSE;
    if (errors) *errors = 0;
    if (!stat) return TRUE;
    int in = 0, out = 0;
    if (ioctl(port->fd, TIOCINQ, &in) != 0 || ioctl(port->fd, TIOCOUTQ, &out) != 0) return FALSE;
    stat->cbInQue = static_cast<DWORD>(in);
    stat->cbOutQue = static_cast<DWORD>(out);
    return TRUE;
}
