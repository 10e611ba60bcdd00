#include "Unit2.h"
#include "pty_pair.h"
#include "received_line.h"
#include "test_seam.h"

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
            got += reader->TakeBatch().lines;
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
// read of at most 10 bytes would give: a burst gives lines of 10, a byte arriving
// after the last read ended a line of its own.
TEST_F(Reader, LinesAreWhatReadsOfTenGiveForBurstsAndSlowBytes) {
    std::string burst, expected;
    for (int i = 0; i < 2005; ++i) burst += static_cast<char>('a' + i % 26);
    for (size_t at = 0; at < burst.size(); at += 10) expected += "received:" + burst.substr(at, 10) + "\r\n";
    EXPECT_FALSE(reader->isRunning()) << "created suspended";
    pty.write(burst);
    for (const auto deadline = Clock::now() + 5s; pty.pending() < 2005 && Clock::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    reader->StartReading(port);
    EXPECT_EQ(reader->priority(), QThread::IdlePriority);
    EXPECT_EQ(Await(expected), expected);

    format = static_cast<int>(ReceiveFormat::Hex);
    // Each byte is sent once the line of the one before is in: a read has ended.
    for (const auto& [byte, line] : {std::pair{"\0", "received:0x0 \r\n"}, {"y", "received:0x79 \r\n"}}) {
        pty.write(std::string(byte, 1));
        EXPECT_EQ(Await(line), line);
    }
}

// A device that goes away is reported once, never ahead of the lines read before
// it, and the reader stops reading it by itself: once the loss is taken, no read
// of that handle begins any more.
TEST_F(Reader, ALostDeviceComesAfterItsLinesOnceAndIsNoLongerRead) {
    std::atomic<int> readsBegun{0};
    SetLayerObserver([&](LayerEvent event) { readsBegun += event == LayerEvent::ReadBegins; });
    const auto waitForPending = [&](int count) {
        for (const auto deadline = Clock::now() + 5s; pty.pending() != count && Clock::now() < deadline;)
            std::this_thread::sleep_for(1ms);
    };
    pty.write("last");
    waitForPending(4);
    reader->StartReading(port);
    waitForPending(0);
    pty.hangUp();  // the bytes are the reader's now; their line is still untaken
    std::string lines;
    SimpleThread::Batch batch;
    for (const auto deadline = Clock::now() + 5s; batch.loss == 0 && Clock::now() < deadline;) {
        batch = reader->TakeBatch();
        lines += batch.lines;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(batch.loss, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lines, "received:last\r\n") << "every line read before the loss comes with it or before";
    const int begunAtLoss = readsBegun;
    Disconnect();  // from here no read begins; one begun meanwhile is counted
    SetLayerObserver(nullptr);
    EXPECT_EQ(readsBegun, begunAtLoss) << "the failed handle was read again";
    EXPECT_EQ(reader->TakeBatch().loss, 0u) << "told once";
}

// While the window has 4 MiB of lines untaken (the shipped bound), the reader
// takes no more bytes: they wait in the driver, and the pty stops taking them.
// Once the lines are taken it goes on, and every byte comes once and in order.
TEST_F(Reader, StopsReadingWhileFourMebibytesOfLinesWaitUntaken) {
    constexpr std::size_t kBehind = std::size_t{4} << 20;
    constexpr std::size_t kOneRead = 4096 / 10 * 61 + 61;  // the most lines one read gives in HEX
    format = static_cast<int>(ReceiveFormat::Hex);
    reader->StartReading(port);
    std::string sent, piece(4096, '\0');
    // 4 MiB of HEX lines come from about 700 kB; a reader that never stops takes 2 MB.
    while (sent.size() < (std::size_t{2} << 20)) {
        for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((sent.size() + i) % 251);
        const std::size_t took = pty.writeFor(piece, 3000);
        sent += piece.substr(0, took);
        // Nothing taken in 3 s: the reader stopped. A reader starved of the
        // processor (it runs at idle priority) still takes a little.
        if (took == 0) break;
    }
    ASSERT_LT(sent.size(), std::size_t{2} << 20) << "the reader never stopped";
    std::string lines = reader->TakeBatch().lines;
    EXPECT_GT(lines.size(), kBehind);
    EXPECT_LE(lines.size(), kBehind + kOneRead);
    std::string received;
    for (const auto deadline = Clock::now() + 10s; received.size() < sent.size() && Clock::now() < deadline;) {
        for (std::size_t at = 0, end; (end = lines.find("\r\n", at)) != std::string::npos; at = end + 2)
            ASSERT_TRUE(ParseReceivedLine(std::string_view(lines).substr(at, end - at), ReceiveFormat::Hex, received));
        std::this_thread::sleep_for(2ms);
        lines = reader->TakeBatch().lines;
    }
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes, or not in order";
}

// Stop and restart many times at random moments; a read started after the stop
// would take the byte written afterwards, and one not aborted would never end.
TEST_F(Reader, StopLeavesLaterDataToTheOwner) {
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
    EXPECT_EQ(reader->TakeBatch().lines, "");
}

}  // namespace
