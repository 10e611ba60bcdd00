#include "pseudo_terminal.h"

#include "test_seam.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to 100 ms for `events` on `fd`; false once `deadline` has passed.
bool PollUntil(int fd, short events, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    poll(&p, 1, static_cast<int>(std::min<decltype(left)>(left, 100)));
    return true;
}

}  // namespace

Pty::Pty() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    // A zeroed termios means B0 (hang up); a real port always has a rate.
    cfsetspeed(&raw, B9600);
    if (openpty(&leader_, &followerKeeper_, name, &raw, nullptr) != 0) {
        leader_ = followerKeeper_ = -1;
        return;
    }
    fcntl(leader_, F_SETFD, FD_CLOEXEC);
    fcntl(leader_, F_SETFL, fcntl(leader_, F_GETFL) | O_NONBLOCK);
    fcntl(followerKeeper_, F_SETFD, FD_CLOEXEC);
    followerPath_ = name;
}

Pty::~Pty() {
    if (leader_ >= 0) close(leader_);
    if (followerKeeper_ >= 0) close(followerKeeper_);
}

int Pty::pending() const {
    int n = 0;
    return ioctl(followerKeeper_, FIONREAD, &n) == 0 ? n : -1;
}

std::size_t Pty::writeFor(std::string_view bytes, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(leader_, bytes.data() + done, bytes.size() - done);
        if (n > 0) done += static_cast<std::size_t>(n);
        else if (n == 0 || (errno != EINTR && errno != EAGAIN)) break;  // the leader is closed or broken
        else if (errno == EAGAIN && !PollUntil(leader_, POLLOUT, deadline)) break;
    }
    return done;
}

std::string Pty::read(std::size_t count, int timeoutMs) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && PollUntil(leader_, POLLIN, deadline)) {
        char buf[4096];
        const ssize_t n = ::read(leader_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    return out;
}

void Pty::hangUp() {
    if (leader_ >= 0) { close(leader_); leader_ = -1; }
}

// Linux keeps what a pty's follower writes in buffers of 256-byte steps, each
// holding twice its size of plain data, and counts their sizes against a limit:
// POLLOUT goes once the count reaches the limit, while a new buffer may still be
// had as long as the count does not exceed it. A write that finds no new buffer
// takes just what is left in the last one. So: fill the leader's line discipline
// (4095 bytes), then write in 256-byte steps until POLLOUT goes (the count is then
// exactly the limit), take the one buffer still allowed with a 1024-byte write
// (2048 of room), and leave `room` bytes of it. Measured on Linux 6.x.
std::size_t LeaveOutputRoom(const Pty& pty, std::size_t room, int follower) {
    const int fd = room >= 1024 ? -1
                   : follower >= 0 ? dup(follower)
                                   : open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    const std::string bytes(1024, 'f');
    std::size_t filled = 0;
    const auto put = [&](std::size_t count) {
        const ssize_t n = ::write(fd, bytes.data(), count);
        filled += std::size_t(std::max<ssize_t>(n, 0));
        return n == ssize_t(count);
    };
    bool ok = true;
    for (int i = 0; i < 16 && ok; ++i) ok = put(256);
    int held = 0;  // the line discipline takes from the buffers a moment later
    for (int i = 0; ok && i < 2000 && (ioctl(pty.leader(), FIONREAD, &held) != 0 || held < 4095); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ok = ok && held >= 4095;
    for (pollfd p{fd, POLLOUT, 0}; ok && poll(&p, 1, 0) == 1 && (p.revents & POLLOUT);) ok = put(256);
    ok = ok && put(1024) && put(1024 - room);
    close(fd);
    return ok ? filled : 0;
}

MappedPort::MappedPort(int port, const Pty& pty) : port_(port) {
    OverridePortDevice(port, pty.followerPath());
}

MappedPort::~MappedPort() {
    OverridePortDevice(port_, "");
}
