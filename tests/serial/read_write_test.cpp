#include "serial_fixture.h"
#include "test_thread.h"

#include <atomic>
#include <string>
#include <thread>
#include <time.h>

namespace {

class ReadWriteTest : public PtyPortTest {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        Open();
    }
    // One ReadFile of up to `count` bytes; the bytes read, and the result in `ok`.
    std::string Read(DWORD count, BOOL* ok = nullptr) {
        std::string buffer(count, '\0');
        DWORD n = 12345;
        const BOOL result = ReadFile(handle_, buffer.data(), count, &n, nullptr);
        if (ok) *ok = result;
        buffer.resize(n);
        return buffer;
    }
};

std::string AllByteValues() {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    return all;
}

TEST_F(ReadWriteTest, EveryByteValuePassesUnchangedBothWays) {
    const std::string all = AllByteValues() + AllByteValues();
    SetReadTimeouts(0, 0, 2000);
    pty_.write(all);
    EXPECT_EQ(Read(static_cast<DWORD>(all.size())), all);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle_, all.data(), static_cast<DWORD>(all.size()), &written, nullptr));
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(pty_.read(all.size()), all);
}

TEST_F(ReadWriteTest, TotalTimeOutEndsAnEmptyReadAfterItsTime) {
    SetReadTimeouts(0, 0, 20);
    BOOL ok = FALSE;
    std::string got;
    const double ms = ElapsedMs([&] { got = Read(10, &ok); });
    EXPECT_TRUE(ok);
    EXPECT_EQ(got, "");
    EXPECT_GE(ms, 19.0);
    EXPECT_LT(ms, 500.0);
}

TEST_F(ReadWriteTest, WaitingBytesComeBackAtOnceUpToTheCount) {
    SetReadTimeouts(0, 0, 5000);
    pty_.write("0123456789");
    std::string got;
    EXPECT_LT(ElapsedMs([&] { got = Read(10); }), 2500.0);
    EXPECT_EQ(got, "0123456789");

    SetReadTimeouts(0, 0, 20);
    pty_.write("abcdefghijklmnopqrstuvwxy");
    EXPECT_EQ(Read(10), "abcdefghij");
    EXPECT_EQ(Read(10), "klmnopqrst");
    EXPECT_EQ(Read(10), "uvwxy");
}

TEST_F(ReadWriteTest, MaxdwordIntervalAloneReturnsAtOnce) {
    SetReadTimeouts(MAXDWORD, 0, 0);
    BOOL ok = FALSE;
    EXPECT_LT(ElapsedMs([&] { EXPECT_EQ(Read(10, &ok), ""); }), 500.0);
    EXPECT_TRUE(ok);
    pty_.write("xyz");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(Read(10), "xyz");
}

TEST_F(ReadWriteTest, IntervalTimeOutEndsAReadOnceBytesStop) {
    SetReadTimeouts(50, 0, 4000);
    pty_.write("abc");
    std::string got;
    const double ms = ElapsedMs([&] { got = Read(10); });
    EXPECT_EQ(got, "abc");
    EXPECT_GE(ms, 45.0);
    EXPECT_LT(ms, 2000.0);  // far below the 4 s total
}

TEST_F(ReadWriteTest, AllZeroTimeOutsWaitForTheFullCount) {
    SetReadTimeouts(0, 0, 0);
    TestThread sender("the sender", [&](const std::atomic<bool>& stop) {
        pty_.write("1234");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pty_.write("567890");
        // The read never ends by itself: one still waiting after 5 s is aborted, so
        // the test fails instead of hanging.
        for (int i = 0; i < 500 && !stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!stop) PurgeComm(handle_, PURGE_RXABORT);
    });
    EXPECT_EQ(Read(10), "1234567890") << "ended only by the abort after 5 s";
    sender.Stop();
}

TEST_F(ReadWriteTest, RxAbortEndsAPendingReadButNoLaterOne) {
    SetReadTimeouts(0, 0, 5000);
    std::atomic<std::int64_t> returnedAt{0};
    BOOL ok = TRUE;
    TestThread reader("the reader", [&](const std::atomic<bool>&) {
        Read(10, &ok);
        returnedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto purgedAt = std::chrono::steady_clock::now().time_since_epoch().count();
    ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));
    reader.Stop();
    EXPECT_FALSE(ok);
    EXPECT_LT((returnedAt - purgedAt) / 1e6, 200.0);

    // The wake-up that ended the read above, or one left by a purge with no read
    // pending, must not end the next read.
    ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));
    SetReadTimeouts(0, 0, 60);
    BOOL later = FALSE;
    EXPECT_GE(ElapsedMs([&] { Read(10, &later); }), 59.0);
    EXPECT_TRUE(later);
}

TEST_F(ReadWriteTest, RxAbortKeepsReceivedData) {
    pty_.write("kept");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));
    SetReadTimeouts(0, 0, 500);
    EXPECT_EQ(Read(4), "kept");

    pty_.write("gone");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(PurgeComm(handle_, PURGE_RXCLEAR));
    SetReadTimeouts(0, 0, 20);
    EXPECT_EQ(Read(4), "");
}

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

TEST_F(ReadWriteTest, ReadsAfterAHangUpWaitOutTheirTimeOut) {
    SetReadTimeouts(0, 0, 20);
    pty_.hangUp();
    int reads = 0;
    const double cpuBefore = ThreadCpuMs();
    const double wall = ElapsedMs([&] {
        for (; reads < 50; ++reads) {
            BOOL ok = TRUE;
            const double ms = ElapsedMs([&] { EXPECT_EQ(Read(10, &ok), ""); });
            EXPECT_FALSE(ok);
            EXPECT_GE(ms, 19.0);
        }
    });
    const double cpu = ThreadCpuMs() - cpuBefore;
    EXPECT_GE(wall, 50 * 19.0);
    EXPECT_LT(cpu, 0.2 * wall) << cpu << " ms of CPU in " << wall << " ms";
}

TEST_F(ReadWriteTest, RxAbortEndsAnEndlessReadOnAHungUpPort) {
    SetReadTimeouts(0, 0, 0);
    pty_.hangUp();
    BOOL ok = TRUE;
    TestThread reader("the endless read", [&](const std::atomic<bool>&) { Read(10, &ok); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));
    reader.Stop();
    EXPECT_FALSE(ok);
}

TEST_F(ReadWriteTest, WriteTimeOutStopsAWriteNobodyTakes) {
    COMMTIMEOUTS t;
    t.WriteTotalTimeoutConstant = 100;
    ASSERT_TRUE(SetCommTimeouts(handle_, &t));
    const std::string lots(4 << 20, 'w');  // far more than a pty holds
    DWORD written = 0;
    BOOL ok = TRUE;
    const double ms = ElapsedMs([&] { ok = WriteFile(handle_, lots.data(), static_cast<DWORD>(lots.size()), &written, nullptr); });
    EXPECT_FALSE(ok);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, lots.size());
    EXPECT_GE(ms, 99.0);
    EXPECT_LT(ms, 2000.0);
}

TEST_F(ReadWriteTest, TransmitCommCharSendsOneByteAndFailsOnAHungUpPort) {
    ASSERT_TRUE(TransmitCommChar(handle_, '\xA5'));
    EXPECT_EQ(pty_.read(1), "\xA5");
    pty_.hangUp();
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(handle_, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(TransmitCommChar(handle_, 'x'));
}

}  // namespace
