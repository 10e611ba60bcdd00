#include "pty_pair.h"

#include "test_seam.h"

#include <gtest/gtest.h>

#include <cerrno>

PtyPair::PtyPair() {
    if (!ok()) ADD_FAILURE() << "openpty failed: " << errno;
}

bool PtyPair::write(const std::string& bytes, int timeoutMs) {
    const std::size_t done = writeFor(bytes, timeoutMs);
    if (done == bytes.size()) return true;
    ADD_FAILURE() << "the pty took " << done << " of " << bytes.size() << " bytes in " << timeoutMs
                  << " ms (errno " << errno << "): nobody reads the other side";
    return false;
}

MappedPort::MappedPort(int port, const Pty& pty) : port_(port) {
    OverridePortDevice(port, pty.followerPath());
}

MappedPort::~MappedPort() {
    OverridePortDevice(port_, "");
}
