#pragma once
// The tests' pseudo-terminal pair: a Pty that FAILs the test when it cannot be
// made or does not take what is written.

#include "pseudo_terminal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

class PtyPair : public Pty {
public:
    PtyPair() {
        if (!ok()) ADD_FAILURE() << "openpty failed: " << errno;
    }

    // Writes all bytes to the leader side; FAILs the test when the pty has not
    // taken them all within `timeoutMs` (nobody reads the other side). True when
    // all went. writeFor() writes what goes and fails nothing: for feeders that
    // look at their stop flag between writes.
    bool write(const std::string& bytes, int timeoutMs = 5000) {
        const std::size_t done = writeFor(bytes, timeoutMs);
        if (done != bytes.size())
            ADD_FAILURE() << "the pty took " << done << " of " << bytes.size() << " bytes in " << timeoutMs
                          << " ms (errno " << errno << "): nobody reads the other side";
        return done == bytes.size();
    }
};
