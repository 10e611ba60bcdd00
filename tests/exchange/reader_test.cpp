#include "Unit2.h"
#include "pty_pair.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void SetReadTimeout(HANDLE port, DWORD totalMs) {
    const COMMTIMEOUTS t{0, 0, totalMs, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &t));
}

// A port on a pseudo-terminal and a reader over it, released the way the window
// does it at disconnect.
class Reader : public testing::Test {
protected:
    void SetUp() override {
        port = CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        SetReadTimeout(port, 20);
    }
    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            Disconnect();
            CloseHandle(port);
        }
        reader.reset();
    }
    void Disconnect() {
        reader->StopReading();
        PurgeComm(port, PURGE_RXABORT);
        reader->WaitOutOfRead();
    }
    // Takes lines until `expected` has come in full, or five seconds passed (the
    // reader runs at idle priority and may wait long on a busy machine).
    std::string Await(const std::string& expected) {
        std::string got;
        const auto deadline = Clock::now() + 5s;
        while (got.size() < expected.size() && Clock::now() < deadline) {
            got += reader->TakeLines();
            std::this_thread::sleep_for(2ms);
        }
        return got;
    }

    PtyPair pty;
    MappedPort mapped{5, pty};
    HANDLE port = INVALID_HANDLE_VALUE;
    std::atomic<int> format{static_cast<int>(ReceiveFormat::Ascii)};
    std::unique_ptr<SimpleThread> reader = std::make_unique<SimpleThread>(&format);
};

// However much the reader takes from the driver at once, every line is what one
// read of at most 10 bytes would give: a burst gives lines of 10, bytes arriving
// slowly a line each.
TEST_F(Reader, LinesAreWhatReadsOfTenGiveForBurstsAndSlowBytes) {
    std::string burst, expected;
    for (int i = 0; i < 2005; ++i) burst += static_cast<char>('a' + i % 26);
    for (size_t at = 0; at < burst.size(); at += 10) expected += "received:" + burst.substr(at, 10) + "\r\n";
    EXPECT_FALSE(reader->isRunning()) << "created suspended";
    pty.write(burst);
    std::this_thread::sleep_for(50ms);
    reader->StartReading(port);
    EXPECT_EQ(reader->priority(), QThread::IdlePriority);
    EXPECT_EQ(Await(expected), expected);

    format = static_cast<int>(ReceiveFormat::Hex);
    for (const char* slow : {"x", "y", "z"}) {
        pty.write(slow);
        std::this_thread::sleep_for(60ms);
    }
    EXPECT_EQ(Await("received:0x78 \r\nreceived:0x79 \r\nreceived:0x7a \r\n"),
              "received:0x78 \r\nreceived:0x79 \r\nreceived:0x7a \r\n");
}

// A device that goes away is reported once, and the reader stops reading it.
TEST_F(Reader, ALostDeviceIsReportedOnceAndNoLongerRead) {
    reader->StartReading(port);
    pty.write("last");
    EXPECT_EQ(Await("received:last\r\n"), "received:last\r\n");
    pty.hangUp();
    DWORD lost = 0;
    for (const auto deadline = Clock::now() + 5s; lost == 0 && Clock::now() < deadline;) {
        lost = reader->TakeLoss();
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(lost, ERROR_DEVICE_NOT_CONNECTED);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(reader->TakeLoss(), 0u) << "told once";
}

TEST_F(Reader, StopLeavesLaterDataToTheOwner) {
    SetReadTimeout(port, 5000);  // a read that is not aborted would hold on for 5 s
    reader->StartReading(port);
    std::this_thread::sleep_for(50ms);
    const auto before = Clock::now();
    Disconnect();
    EXPECT_LT(Clock::now() - before, 1s);

    // Stop and restart many times at random moments; a read started after the
    // stop would take the byte written afterwards.
    for (int i = 0; i < 20; ++i) {
        SetReadTimeout(port, 20);
        reader->StartReading(port);
        std::this_thread::sleep_for(std::chrono::microseconds(i * 701 % 4000));
        reader->StopReading();
        PurgeComm(port, PURGE_RXABORT);
        SetReadTimeout(port, 0);  // all zero: a read started now would never end
        reader->WaitOutOfRead();
        pty.write("X");
        SetReadTimeout(port, 500);
        char byte = 0;
        DWORD got = 0;
        ReadFile(port, &byte, 1, &got, nullptr);
        ASSERT_EQ(got, 1u) << "round " << i;
        EXPECT_EQ(byte, 'X');
    }
    EXPECT_EQ(reader->TakeLines(), "");
}

}  // namespace
