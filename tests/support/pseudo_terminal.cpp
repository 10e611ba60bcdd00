#include "pseudo_terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
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
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            const int left = MsLeft(deadline);
            if (left == 0) break;
            pollfd p{leader_, POLLOUT, 0};
            poll(&p, 1, std::min(left, 100));
        } else {
            break;  // the leader is closed or broken
        }
    }
    return done;
}

std::string Pty::read(std::size_t count, int timeoutMs) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        const int left = MsLeft(deadline);
        if (left == 0) break;
        pollfd p{leader_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
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
