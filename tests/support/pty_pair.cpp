#include "pty_pair.h"

#include "port_table.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    // A zeroed termios means B0 (hang up); a real port always has a rate.
    cfsetspeed(&raw, B9600);
    if (openpty(&leader_, &followerKeeper_, name, &raw, nullptr) != 0) {
        ADD_FAILURE() << "openpty failed: " << errno;
        return;
    }
    fcntl(leader_, F_SETFD, FD_CLOEXEC);
    fcntl(followerKeeper_, F_SETFD, FD_CLOEXEC);
    followerPath_ = name;
}

PtyPair::~PtyPair() {
    if (leader_ >= 0) close(leader_);
    if (followerKeeper_ >= 0) close(followerKeeper_);
}

void PtyPair::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(leader_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd p{leader_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        ASSERT_GT(n, 0) << "write to pty leader failed: " << errno;
        done += static_cast<size_t>(n);
    }
}

std::string PtyPair::read(size_t count, int timeoutMs) {
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        pollfd p{leader_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buf[4096];
        ssize_t n = ::read(leader_, buf, std::min(sizeof buf, count - out.size()));
        if (n > 0) out.append(buf, static_cast<size_t>(n));
        else if (n < 0 && errno != EINTR && errno != EAGAIN) break;
    }
    return out;
}

void PtyPair::hangUp() {
    if (followerKeeper_ >= 0) { close(followerKeeper_); followerKeeper_ = -1; }
    if (leader_ >= 0) { close(leader_); leader_ = -1; }
}

MappedPort::MappedPort(int port, const PtyPair& pty) : port_(port) {
    OverridePortDevice(port, pty.followerPath());
}

MappedPort::~MappedPort() {
    OverridePortDevice(port_, "");
}
