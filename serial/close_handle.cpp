#include "monotonic.h"
#include "serial_port.h"

#include <cerrno>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr std::int64_t kDrainWaitNs = 300 * kNsPerMs;

// A tty's close waits (up to 30 s on a UART) for queued output to go; on a
// stalled line that would hold the window. Give the output a short while, then
// discard what is left.
void DrainBriefly(int fd) {
    const std::int64_t deadline = MonotonicNs() + kDrainWaitNs;
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && MonotonicNs() < deadline) {
        timespec pause{0, 5'000'000};
        nanosleep(&pause, nullptr);
    }
    int r;
    do r = tcflush(fd, TCOFLUSH);
    while (r < 0 && errno == EINTR);
}

}  // namespace

BOOL CloseHandle(HANDLE handle) {
    if (!UnregisterPort(handle)) return FALSE;
    SerialPort* port = handle;
    // Leave the line as we found it, as a well-behaved terminal program does. A
    // hung-up terminal answers EIO, which changes nothing here. A handle that
    // only looked wrote nothing and changed nothing.
    if (port->configured()) {
        DrainBriefly(port->fd);
        RestoreTermios(port->fd, port->found);
    }
    // TIOCEXCL belongs to the terminal, not to our descriptor: it would outlive the
    // close.
    int r;
    if (port->weSetExclusive) {
        do r = ioctl(port->fd, TIOCNXCL);
        while (r < 0 && errno == EINTR);
    }
    do r = flock(port->fd, LOCK_UN);
    while (r < 0 && errno == EINTR);
    // close() is not retried: Linux frees the descriptor even when interrupted.
    const bool closed = close(port->fd) == 0;
    close(port->wakeFd);
    delete port;
    return closed ? TRUE : FALSE;
}
