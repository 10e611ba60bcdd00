#pragma once
// A port on a pseudo-terminal and a reader over it, released the way the window
// does it at disconnect.

#include "Unit2.h"
#include "pty_pair.h"
#include "test_seam.h"

#include <gtest/gtest.h>

inline void SetReadTimeout(HANDLE port, DWORD totalMs) {
    const COMMTIMEOUTS t{0, 0, totalMs, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
}

class PortReader : public testing::Test {
protected:
    void SetUp() override {
        port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        SetReadTimeout(port, 20);
    }
    void TearDown() override {
        if (port == INVALID_HANDLE_VALUE) return;
        Disconnect();
        CloseHandle(port);
    }
    void Disconnect() {
        reader.StopReading();
        PurgeComm(port, PURGE_RXABORT);
        reader.WaitOutOfRead();
    }

    PtyPair pty;
    MappedPort mapped{5, pty};
    HANDLE port = INVALID_HANDLE_VALUE;
    std::atomic<int> format{static_cast<int>(ReceiveFormat::Ascii)};
    SimpleThread reader{&format};
};
