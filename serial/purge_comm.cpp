#include "serial_port.h"

#include <cerrno>
#include <cstdint>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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
        ssize_t n;
        do n = write(port->wakeFd, &one, sizeof one);
        while (n < 0 && errno == EINTR);
        // EAGAIN: the counter is full, so a wake-up is already pending.
        ok = n == sizeof one || errno == EAGAIN;
    }
    // Writes are synchronous and never queued behind the caller's back, so there is
    // no pending write for PURGE_TXABORT to abandon.
    const bool clearIn = flags & PURGE_RXCLEAR;
    const bool clearOut = flags & PURGE_TXCLEAR;
    if (clearIn || clearOut) {
        const int queue = clearIn && clearOut ? TCIOFLUSH : clearIn ? TCIFLUSH : TCOFLUSH;
        int r;
        do r = tcflush(port->fd, queue);
        while (r < 0 && errno == EINTR);
        ok = ok && r == 0;
    }
    return ok ? TRUE : FALSE;
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
