#include "comm_timeouts.h"
#include "monotonic.h"
#include "serial_port.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

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
