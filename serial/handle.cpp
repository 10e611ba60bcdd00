// Opening and closing: CreateFileA, CloseHandle, the registry of live handles,
// and what a handle knows of its own line.
#include "emergency_restore.h"
#include "port_probe.h"
#include "ports.h"
#include "serial_port.h"
#include "test_seam.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct Registry {
    std::mutex mutex;
    std::unordered_set<SerialPort*> live;
};

Registry& registry() {
    static Registry r;
    return r;
}

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

// TIOCEXCL keeps out other users' opens (root passes it, the flock stops root).
// Some terminal drivers do not know it; that is no reason to refuse the port.
// `ours` says whether it was off before, so the close drops only what we set.
bool MarkExclusive(int fd, bool* ours) {
    int already = 0;
    *ours = RetryOnEintr([&] { return ioctl(fd, TIOCGEXCL, &already); }) != 0 || already == 0;
    return RetryOnEintr([&] { return ioctl(fd, TIOCEXCL); }) == 0 || errno == ENOTTY ||
           errno == EINVAL;
}

HANDLE Refuse(DWORD why) {
    lastError = why;
    return INVALID_HANDLE_VALUE;
}

DWORD OpenFailure(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBUSY: return ERROR_SHARING_VIOLATION;  // another user's TIOCEXCL
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO: return ERROR_FILE_NOT_FOUND;  // EIO: a serial port with no UART behind it
    default: return ERROR_GEN_FAILURE;
    }
}

}  // namespace

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD error) { lastError = error; }

SerialPort* LivePort(HANDLE handle) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    return r.live.count(handle) ? handle : nullptr;
}

bool SerialPort::EnsureRaw() {
    std::lock_guard lock(mutex_);
    if (configured_) return true;
    LineTermios t;
    if (!ReadLineTermios(fd, &t) || !WriteLineTermios(fd, MakeRaw(t))) return false;
    configured_ = true;
    return true;
}

bool WaitForOutputToGo(int fd) {
    const std::int64_t deadline = MonotonicNs() + std::int64_t{kMaxWriteWaitMs} * kNsPerMs;
    int queued = 0;
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        if (MonotonicNs() >= deadline) return false;
        // The driver offers no "drained" event that poll could wait for.
        timespec pause{0, 2'000'000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

namespace {

bool NodeStillNamesDevice(const SerialPort& port) {
    struct stat opened {}, named {};
    return fstat(port.fd, &opened) == 0 && stat(port.device.c_str(), &named) == 0 &&
           opened.st_rdev == named.st_rdev;
}

}  // namespace

DWORD DeviceFailure(const SerialPort& port, bool hungUp, std::int64_t settleNs) {
    // An unplugged adapter takes its device node with it, and so does a
    // pseudo-terminal whose other end closed. A USB unplug hangs the terminal up
    // first and removes the node a moment later, so a hang-up is given that moment.
    const std::int64_t deadline = MonotonicNs() + (hungUp ? settleNs : 0);
    for (;;) {
        if (!NodeStillNamesDevice(port)) return ERROR_DEVICE_NOT_CONNECTED;
        if (MonotonicNs() >= deadline) break;
        timespec pause{0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    return hungUp ? ERROR_BROKEN_PIPE : ERROR_GEN_FAILURE;
}

HANDLE CreateFileA(LPCSTR path, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    NotifyLayer(LayerEvent::Looking);
    const auto number = PortFromPath(path);
    if (!number) return Refuse(ERROR_INVALID_NAME);
    const auto device = DeviceForPort(*number);
    if (!device) return Refuse(ERROR_FILE_NOT_FOUND);
    // Whatever can refuse the port comes before its line is touched: open() raises
    // DTR and RTS, which can reset the device another program is talking to, and
    // holding output would stop that program's output.
    if (const DWORD refused = ProbePort(*device); refused != ERROR_SUCCESS) return Refuse(refused);
    OwnedFd fd(RetryOnEintr(
        [&] { return open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (fd.get() < 0) return Refuse(OpenFailure(errno));
    // A holder /proc did not show us: its flock, or its TIOCEXCL (which does not
    // keep root out; ours is set only once the port is ours).
    if (RetryOnEintr([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0)
        return Refuse(errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION : ERROR_GEN_FAILURE);
    int exclusive = 0;
    if (RetryOnEintr([&] { return ioctl(fd.get(), TIOCGEXCL, &exclusive); }) == 0 && exclusive != 0)
        return Refuse(ERROR_SHARING_VIOLATION);
    // From open() on, a talking device's bytes meet the kernel's cooked defaults,
    // which echo them back to it, turn CR into LF and swallow XON/XOFF. Output is
    // held right after the checks above (a line's XON cannot release it), so an
    // echo made before the line is raw stays queued and is discarded with what came
    // in cooked; the line goes raw in as few calls as can be. What arrives while
    // open() itself runs (a USB adapter's open raises DTR and RTS by control
    // transfer) may be echoed before this: that much is the kernel's. Holding
    // output also proves the descriptor a terminal.
    if (tcflow(fd.get(), TCOOFF) != 0) return Refuse(ERROR_GEN_FAILURE);
    struct ReleaseOutput {
        int fd;
        ~ReleaseOutput() { RetryOnEintr([&] { return tcflow(fd, TCOON); }); }
    } releaseOutput{fd.get()};
    NotifyLayer(LayerEvent::Opened);
    SavedTermios found{};
    LineTermios line;
    if (!ReadLineTermios(fd.get(), &line, &found)) return Refuse(ERROR_GEN_FAILURE);
    const LineTermios wanted = MakeRaw(line);
    const bool wasCooked = wanted.iflag != line.iflag || wanted.oflag != line.oflag ||
                           wanted.lflag != line.lflag;
    const bool raw = WriteLineTermios(fd.get(), wanted);
    if (raw && wasCooked) RetryOnEintr([&] { return tcflush(fd.get(), TCIOFLUSH); });
    OwnedFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    bool exclusiveIsOurs = false;
    if (wake.get() < 0 || !MarkExclusive(fd.get(), &exclusiveIsOurs)) {
        if (raw) RestoreTermios(fd.get(), found);
        return Refuse(ERROR_GEN_FAILURE);  // closing drops the flock
    }

    auto* port = new SerialPort(fd.release(), wake.release(), *device);
    port->found = found;
    port->weSetExclusive = exclusiveIsOurs;
    if (raw) port->MarkConfigured();
    RememberPortForEmergency(port->fd, found, exclusiveIsOurs);
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.live.insert(port);
    return port;
}

BOOL CloseHandle(HANDLE handle) {
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        if (r.live.erase(handle) != 1) return FALSE;
    }
    SerialPort* port = handle;
    NotifyLayer(LayerEvent::Closing);
    // Leave the line as we found it, as a well-behaved terminal program does. A
    // hung-up terminal answers EIO, which changes nothing here.
    if (port->configured()) {
        // A tty's close waits up to 30 s for queued output on a UART; on a stalled
        // line that would hold the window, so what is left after a short while goes.
        WaitForOutputToGo(port->fd);
        RetryOnEintr([&] { return tcflush(port->fd, TCOFLUSH); });
        RestoreTermios(port->fd, port->found);
    }
    ForgetPortForEmergency(port->fd);  // only now: an abrupt end before this still restores
    // TIOCEXCL belongs to the terminal, not to our descriptor: it would outlive the
    // close.
    if (port->weSetExclusive) RetryOnEintr([&] { return ioctl(port->fd, TIOCNXCL); });
    RetryOnEintr([&] { return flock(port->fd, LOCK_UN); });
    // close() is not retried: Linux frees the descriptor even when interrupted.
    const bool closed = close(port->fd) == 0;
    close(port->wakeFd);
    delete port;
    return closed ? TRUE : FALSE;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1'000'000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
