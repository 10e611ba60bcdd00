#include "modem_lines.h"

#include <cerrno>
#include <mutex>
#include <sys/ioctl.h>

namespace {

std::mutex setterMutex;
ModemLineSetter replacedSetter;

bool SetWithIoctl(int fd, ModemLine line, bool on) {
    int bit = line == ModemLine::Rts ? TIOCM_RTS : TIOCM_DTR;
    int r;
    do r = ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit);
    while (r < 0 && errno == EINTR);
    // A pseudo-terminal has no modem lines; there is nothing to set.
    return r == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

void SetModemLineSetter(ModemLineSetter setter) {
    std::lock_guard lock(setterMutex);
    replacedSetter = std::move(setter);
}

bool SetModemLine(int fd, ModemLine line, bool on) {
    ModemLineSetter setter;
    {
        std::lock_guard lock(setterMutex);
        setter = replacedSetter;
    }
    return setter ? setter(fd, line, on) : SetWithIoctl(fd, line, on);
}
