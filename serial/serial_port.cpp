#include "serial_port.h"

#include <sys/stat.h>

namespace {
thread_local DWORD lastError = 0;
}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

bool SerialPort::EnsureRaw() {
    std::lock_guard lock(rawMutex_);
    if (configured_) return true;
    LineTermios t;
    if (!ReadLineTermios(fd, &t) || !WriteLineTermios(fd, MakeRaw(t))) return false;
    configured_ = true;
    return true;
}

DWORD DeviceFailure(const SerialPort& port, bool hungUp) {
    struct stat opened {}, named {};
    // An unplugged adapter takes its device node with it; a re-plugged one may
    // come back at the same path as another device.
    if (fstat(port.fd, &opened) != 0 || stat(port.device.c_str(), &named) != 0 ||
        opened.st_rdev != named.st_rdev)
        return ERROR_DEVICE_NOT_CONNECTED;
    return hungUp ? ERROR_BROKEN_PIPE : ERROR_GEN_FAILURE;
}
