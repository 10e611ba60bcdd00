#pragma once
// The tests' pseudo-terminal pair: a Pty that FAILs the test when it cannot be
// made or does not take what is written.

#include "pseudo_terminal.h"

#include <string>

class PtyPair : public Pty {
public:
    PtyPair();  // FAILs the test if no pty can be made

    // Writes all bytes to the leader side; FAILs the test when the pty has not
    // taken them all within `timeoutMs` (nobody reads the other side). True when
    // all went. writeFor() writes what goes and fails nothing: for feeders that
    // look at their stop flag between writes.
    bool write(const std::string& bytes, int timeoutMs = 5000);
};

// Maps port n onto this pty's follower for the lifetime of the object.
class MappedPort {
public:
    MappedPort(int port, const Pty& pty);
    ~MappedPort();
private:
    int port_;
};
