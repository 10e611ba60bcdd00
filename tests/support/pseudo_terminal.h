#pragma once
// A pseudo-terminal pair standing in for a serial device: the program opens the
// follower through the port table; the other side talks through the leader. No
// test framework here: what fails comes back as a value, and PtyPair (the tests')
// and the benchmarks report it their own way.

#include <cstddef>
#include <string>
#include <string_view>

class Pty {
public:
    Pty();   // raw mode on both sides; ok() is false when no pty could be made
    ~Pty();  // closes whatever is still open
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return leader_ >= 0; }
    // Non-blocking, so no write or read through it can wait for ever.
    int leader() const { return leader_; }
    const std::string& followerPath() const { return followerPath_; }
    // Bytes waiting in the follower's input buffer, not yet read by the program.
    int pending() const;

    // Writes what the pty takes within `timeoutMs` and returns the count.
    std::size_t writeFor(std::string_view bytes, int timeoutMs);
    // Reads from the leader until `count` bytes arrived or `timeoutMs` passed.
    std::string read(std::size_t count, int timeoutMs = 1000);
    // Closes the leader: the follower sees a hang-up and its name goes away. The
    // follower itself stays held until the pair is destroyed, so the kernel cannot
    // give its number to a pty made meanwhile and the old name never opens someone
    // else's device.
    void hangUp();

private:
    int leader_ = -1;
    int followerKeeper_ = -1;  // keeps the follower alive until the program opens it
    std::string followerPath_;
};

// Fills the way from the port to the device (nobody reads the leader) until the
// next write of the port takes exactly `room` bytes (0 to 1023) and the rest
// waits; through `follower` (non-blocking) when given, else a descriptor of its
// own. Returns how many bytes it wrote itself, or 0 when the kernel did not
// behave as described in pseudo_terminal.cpp (the caller then skips).
std::size_t LeaveOutputRoom(const Pty& pty, std::size_t room, int follower = -1);

// Maps port n onto this pty's follower for the lifetime of the object.
class MappedPort {
public:
    MappedPort(int port, const Pty& pty);
    ~MappedPort();
private:
    int port_;
};
