#include "dcb_termios.h"
#include "port_table.h"
#include "serial_port.h"
#include "termios2_io.h"
#include "uucp_lock.h"

#include <cerrno>
#include <string>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace {

// Closes on every early return; release() hands the descriptor on.
class OwnedFd {
public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

int OpenDevice(const std::string& device) {
    int fd;
    do fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd;
}

bool LockExclusively(int fd) {
    int r;
    do r = flock(fd, LOCK_EX | LOCK_NB);
    while (r < 0 && errno == EINTR);
    return r == 0;
}

int IoctlNoArg(int fd, unsigned long request) {
    int r;
    do r = ioctl(fd, request);
    while (r < 0 && errno == EINTR);
    return r;
}

// TIOCEXCL keeps out other users' opens (root passes it, the flock stops root).
// Some terminal drivers do not know it; that is no reason to refuse the port.
// `ours` says whether it was off before, so the close drops only what we set.
bool MarkExclusive(int fd, bool* ours) {
    int already = 0;
    int r;
    do r = ioctl(fd, TIOCGEXCL, &already);
    while (r < 0 && errno == EINTR);
    *ours = r != 0 || already == 0;
    return IoctlNoArg(fd, TIOCEXCL) == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    const auto number = PortFromPath(path);
    if (!number) return INVALID_HANDLE_VALUE;
    const auto device = DeviceForPort(*number);
    if (!device) return INVALID_HANDLE_VALUE;
    // Checked before opening: opening a real port raises DTR, which can reset the
    // device another program is talking to.
    if (PortLockedByLiveProcess(*device)) return INVALID_HANDLE_VALUE;

    OwnedFd fd(OpenDevice(*device));
    if (fd.get() < 0 || !isatty(fd.get())) return INVALID_HANDLE_VALUE;
    // flock first: if another program holds the port we leave its settings alone.
    if (!LockExclusively(fd.get())) return INVALID_HANDLE_VALUE;
    OwnedFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    SavedTermios found{};
    bool exclusiveIsOurs = false;
    if (wake.get() < 0 || !SaveTermios(fd.get(), &found) ||
        !MarkExclusive(fd.get(), &exclusiveIsOurs))
        return INVALID_HANDLE_VALUE;  // closing drops the flock

    auto* port = new SerialPort(fd.release(), wake.release(), *device);
    port->found = found;
    port->weSetExclusive = exclusiveIsOurs;
    RegisterPort(port);
    return port;
}
