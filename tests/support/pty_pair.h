#pragma once
// A pseudo-terminal pair standing in for a serial device: the program opens the
// follower through the port table; the test talks through the leader.

#include <cstddef>
#include <string>

class PtyPair {
public:
    PtyPair();   // raw mode on both sides; FAILs the test if no pty can be made
    ~PtyPair();  // closes whatever is still open
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Non-blocking, so no write or read through it can wait for ever.
    int leader() const { return leader_; }
    const std::string& followerPath() const { return followerPath_; }

    // Writes all bytes to the leader side; FAILs the test when the pty has not
    // taken them all within `timeoutMs` (nobody reads the other side). True when
    // all went.
    bool write(const std::string& bytes, int timeoutMs = 5000);
    // Writes what the pty takes within `timeoutMs` and returns the count, failing
    // nothing: for feeders that look at their stop flag between writes.
    std::size_t writeFor(const std::string& bytes, int timeoutMs);
    // Reads from the leader until `count` bytes arrived or `timeoutMs` passed.
    std::string read(std::size_t count, int timeoutMs = 1000);
    // Closes the leader: the follower sees a hang-up and its name goes away. The
    // follower itself stays held until the pair is destroyed, so the kernel cannot
    // give its number to a pty made meanwhile (by a test running alongside) and
    // the old name never opens someone else's device.
    void hangUp();

private:
    int leader_ = -1;
    int followerKeeper_ = -1;  // keeps the follower alive until the program opens it
    std::string followerPath_;
};

// Maps port n onto this pty's follower for the lifetime of the object.
class MappedPort {
public:
    MappedPort(int port, const PtyPair& pty);
    ~MappedPort();
private:
    int port_;
};
