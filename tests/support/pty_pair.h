#pragma once
// A pseudo-terminal pair standing in for a serial device: the program opens the
// follower through the port table; the test talks through the leader.

#include <string>

class PtyPair {
public:
    PtyPair();   // raw mode on both sides; FAILs the test if no pty can be made
    ~PtyPair();  // closes whatever is still open
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int leader() const { return leader_; }
    const std::string& followerPath() const { return followerPath_; }

    // Writes all bytes to the leader side.
    void write(const std::string& bytes);
    // Reads from the leader until `count` bytes arrived or `timeoutMs` passed.
    std::string read(size_t count, int timeoutMs = 1000);
    // Closes the leader: the follower sees a hang-up.
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
