// SetCommBreak and ClearCommBreak: TIOCSBRK and TIOCCBRK, which unlike
// tcsendbreak do not first wait, without bound, for the output to drain.
#include "serial_port.h"

#include <sys/ioctl.h>
#include <sys/stat.h>

namespace {

BOOL SetBreak(HANDLE handle, unsigned long request) {
    SerialPort* port = LivePort(handle);
    if (!port) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    struct stat st {};
    if (fstat(port->fd, &st) == 0 && IsPseudoTerminal(st.st_rdev)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (RetryOnEintr([&] { return ioctl(port->fd, request); }) != 0) {
        const int error = errno;
        if (error == EIO)
            SetLastError(DeviceFailure(*port, true));
        else  // a driver or device without a break
            SetLastError(error == ENOTTY || error == EOPNOTSUPP || error == EINVAL ? ERROR_NOT_SUPPORTED
                                                                                     : ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

}  // namespace

BOOL SetCommBreak(HANDLE handle) { return SetBreak(handle, TIOCSBRK); }

BOOL ClearCommBreak(HANDLE handle) { return SetBreak(handle, TIOCCBRK); }
