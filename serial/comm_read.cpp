#include "comm_timeouts.h"
#include "monotonic.h"
#include "serial_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <unistd.h>

namespace {

// Empties the eventfd and says whether a purge came since the read began.
bool AbortedSince(SerialPort& port, std::uint64_t generation) {
    std::uint64_t count;
    ssize_t n;
    do n = read(port.wakeFd, &count, sizeof count);
    while (n < 0 && errno == EINTR);
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

}  // namespace

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
    const DWORD failure = DeviceFailure(*port, hungUp);
    WaitOutDeadline(*port, generation, totalDeadline);
    SetLastError(failure);
    return FALSE;
}
