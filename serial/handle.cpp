// Opening and closing: CreateFileA, CloseHandle, the registry of live handles,
// and what a handle knows of its own line.
#include "ports.h"
#include "serial_port.h"
#include "test_seam.h"
#include "uucp_lock.h"

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
thread_local int lookingOnly = 0;

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

}  // namespace

LookingOnly::LookingOnly() { ++lookingOnly; }
LookingOnly::~LookingOnly() { --lookingOnly; }
bool LookingOnly::active() { return lookingOnly > 0; }

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
    const auto number = PortFromPath(path);
    if (!number) return INVALID_HANDLE_VALUE;
    const auto device = DeviceForPort(*number);
    if (!device) return INVALID_HANDLE_VALUE;
    // Checked before opening: opening a real port raises DTR, which can reset the
    // device another program is talking to.
    if (PortLockedByLiveProcess(*device)) return INVALID_HANDLE_VALUE;

    OwnedFd fd(RetryOnEintr(
        [&] { return open(device->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }));
    if (fd.get() < 0) return INVALID_HANDLE_VALUE;
    // From open() on, a talking device's bytes meet the kernel's cooked defaults,
    // which echo them back to it, turn CR into LF and swallow XON/XOFF. Output is
    // held in the very next call (a line's XON cannot release it), so an echo made
    // before the line is raw stays queued and is discarded with what came in
    // cooked; the line goes raw in as few calls as can be. What arrives while
    // open() itself runs (a USB adapter's open raises DTR and RTS by control
    // transfer) may be echoed before this: that much is the kernel's. Holding
    // output also proves the descriptor a terminal.
    const bool looking = LookingOnly::active();
    if (looking ? !isatty(fd.get()) : tcflow(fd.get(), TCOOFF) != 0) return INVALID_HANDLE_VALUE;
    struct ReleaseOutput {
        int fd;
        bool held;
        ~ReleaseOutput() {
            if (held) RetryOnEintr([&] { return tcflow(fd, TCOON); });
        }
    } releaseOutput{fd.get(), !looking};
    // flock next: if another program holds the port we leave its settings alone.
    if (RetryOnEintr([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0)
        return INVALID_HANDLE_VALUE;
    SavedTermios found{};
    LineTermios line;
    if (!ReadLineTermios(fd.get(), &line, &found)) return INVALID_HANDLE_VALUE;
    bool raw = false;
    if (!looking) {
        const LineTermios wanted = MakeRaw(line);
        const bool wasCooked = wanted.iflag != line.iflag || wanted.oflag != line.oflag ||
                               wanted.lflag != line.lflag;
        raw = WriteLineTermios(fd.get(), wanted);
        if (raw && wasCooked) RetryOnEintr([&] { return tcflush(fd.get(), TCIOFLUSH); });
    }
    OwnedFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    bool exclusiveIsOurs = false;
    if (wake.get() < 0 || !MarkExclusive(fd.get(), &exclusiveIsOurs)) {
        if (raw) RestoreTermios(fd.get(), found);
        return INVALID_HANDLE_VALUE;  // closing drops the flock
    }

    auto* port = new SerialPort(fd.release(), wake.release(), *device);
    port->found = found;
    port->weSetExclusive = exclusiveIsOurs;
    if (raw) port->MarkConfigured();
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
    // hung-up terminal answers EIO, which changes nothing here. A handle that
    // only looked wrote nothing and changed nothing.
    if (port->configured()) {
        // A tty's close waits up to 30 s for queued output on a UART; on a stalled
        // line that would hold the window, so what is left after a short while goes.
        WaitForOutputToGo(port->fd);
        RetryOnEintr([&] { return tcflush(port->fd, TCOFLUSH); });
        RestoreTermios(port->fd, port->found);
    }
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
