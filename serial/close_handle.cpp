#include "serial_port.h"

#include <cerrno>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

BOOL CloseHandle(HANDLE handle) {
    if (!UnregisterPort(handle)) return FALSE;
    SerialPort* port = handle;
    // TIOCEXCL belongs to the terminal, not to our descriptor: it would outlive the
    // close. A hung-up terminal answers EIO, which changes nothing here.
    int r;
    do r = ioctl(port->fd, TIOCNXCL);
    while (r < 0 && errno == EINTR);
    do r = flock(port->fd, LOCK_UN);
    while (r < 0 && errno == EINTR);
    // close() is not retried: Linux frees the descriptor even when interrupted.
    const bool closed = close(port->fd) == 0;
    close(port->wakeFd);
    delete port;
    return closed ? TRUE : FALSE;
}
