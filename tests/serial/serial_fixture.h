#pragma once
// A port number mapped onto a fresh pseudo-terminal, with the port table, the
// modem-line setter and the lock directories put back after every test.

#include "measure.h"
#include "ports.h"
#include "pty_pair.h"
#include "test_seam.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <string>

constexpr int kTestPort = 7;
inline const char* const kTestPath = "\\\\.\\COM7";

class PtyPortTest : public ::testing::Test {
protected:
    void SetUp() override { UseOnlyOverriddenPorts(true); }
    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
        ClearPortOverrides();
        SetModemLineSetter(nullptr);
        RestoreUucpLockDirectories();
    }

    // Opens the mapped port as the program does; fails the test when it cannot.
    HANDLE Open() {
        handle_ = CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(handle_, INVALID_HANDLE_VALUE);
        return handle_;
    }

    PtyPair pty_;
    MappedPort mapped_{kTestPort, pty_};
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Milliseconds spent by `f`.
template <typename F>
double ElapsedMs(F&& f) {
    const std::int64_t start = NowNs();
    f();
    return (NowNs() - start) / 1e6;
}
