// ReadFile, WriteFile and PurgeComm under the time-out rules, over a pseudo-terminal.
#include "serial_fixture.h"
#include "test_thread.h"

#include <thread>

namespace {

using namespace std::chrono_literals;

class ReadWriteTest : public PtyPortTest {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        Open();
    }
};

TEST_F(ReadWriteTest, TimeOutsEndTheReadWithWhatCame) {
    const struct {
        const char* name;
        COMMTIMEOUTS timeouts;
        const char* waiting;  // written before the read
        DWORD count;
        const char* got;
        double minMs, maxMs;
    } cases[] = {
        {"TotalEndsAnEmptyRead", {0, 0, 20, 0, 0}, "", 10, "", 19, 500},
        {"TotalCountsEachByte", {0, 10, 5, 0, 0}, "", 5, "", 54, 1000},
        {"WaitingBytesComeAtOnce", {0, 0, 5000, 0, 0}, "0123456789", 10, "0123456789", 0, 2500},
        {"NoMoreThanTheCount", {0, 0, 20, 0, 0}, "abcdefghijklm", 10, "abcdefghij", 0, 500},
        {"MaxdwordIntervalAloneReturnsAtOnce", {MAXDWORD, 0, 0, 0, 0}, "", 10, "", 0, 500},
        {"MaxdwordIntervalTakesWhatWaits", {MAXDWORD, 0, 0, 0, 0}, "xyz", 10, "xyz", 0, 500},
        // Ends 50 ms after the last byte, far below the 4 s total.
        {"IntervalEndsItOnceBytesStop", {50, 0, 4000, 0, 0}, "abc", 10, "abc", 45, 2000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PurgeComm(handle_, PURGE_RXCLEAR));  // what the last case left
        ASSERT_TRUE(SetCommTimeouts(handle_, &c.timeouts));
        if (*c.waiting) {
            pty_.write(c.waiting);
            std::this_thread::sleep_for(20ms);
        }
        BOOL ok = FALSE;
        std::string got;
        const double ms = ElapsedMs([&] { got = Read(c.count, &ok); });
        EXPECT_TRUE(ok);
        EXPECT_EQ(got, c.got);
        EXPECT_GE(ms, c.minMs);
        EXPECT_LT(ms, c.maxMs);
    }
}

TEST_F(ReadWriteTest, AllZeroTimeOutsWaitForTheFullCount) {
    SetReadTimeouts(0, 0, 0);
    TestThread sender("the sender", [&](const std::atomic<bool>& stop) {
        pty_.write("1234");
        std::this_thread::sleep_for(60ms);
        pty_.write("567890");
        // The read never ends by itself: one still waiting after 5 s is aborted, so
        // the test fails instead of hanging.
        if (!WaitUntil([&] { return stop.load(); })) PurgeComm(handle_, PURGE_RXABORT);
    });
    EXPECT_EQ(Read(10), "1234567890") << "ended only by the abort after 5 s";
    sender.Stop();
}

// An abort ends a pending read, on a live port or a hung-up one with no time-out;
// neither the wake-up that ended it nor one left by a purge with no read pending
// ends a later read. A hung-up device answers every poll at once: a read still
// waits out its time-out without spinning, so a caller's loop does not spin either.
TEST_F(ReadWriteTest, RxAbortEndsAPendingReadButNoLaterOne) {
    for (const bool hungUp : {false, true}) {
        SCOPED_TRACE(hungUp ? "hung up" : "live");
        SetReadTimeouts(0, 0, hungUp ? 0 : 5000);
        if (hungUp) pty_.hangUp();
        std::atomic<std::int64_t> returnedAt{0};
        BOOL ok = TRUE;
        TestThread reader("the reader", [&](const std::atomic<bool>&) {
            Read(10, &ok);
            returnedAt = NowNs();
        });
        std::this_thread::sleep_for(50ms);
        const std::int64_t purgedAt = NowNs();
        ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));
        reader.Stop();
        EXPECT_FALSE(ok);
        // Woken by the abort, not by its 5 s time-out (half of it: room for a loaded machine).
        EXPECT_LT((returnedAt - purgedAt) / 1e6, 2500.0);
        ASSERT_TRUE(PurgeComm(handle_, PURGE_RXABORT));  // with no read pending
        SetReadTimeouts(0, 0, 60);
        const std::int64_t cpuBefore = ThreadCpuNs();
        const double wall = ElapsedMs([&] { Read(10); });
        const double cpu = (ThreadCpuNs() - cpuBefore) / 1e6;
        EXPECT_GE(wall, 59.0);
        EXPECT_LT(cpu, 0.2 * wall) << cpu << " ms of CPU in " << wall << " ms";
    }
}

// A write nobody takes stops at its time-out, and without one or with a longer one
// at 300 ms, with the count that went, so a stalled line never holds the window.
TEST_F(ReadWriteTest, AStalledWriteEndsWithinItsBound) {
    const std::string lots(4 << 20, 'w');  // far more than a pty holds
    for (const DWORD constant : {100u, 0u, 60000u}) {
        SCOPED_TRACE(constant);
        const COMMTIMEOUTS t{0, 0, 0, 0, constant};
        ASSERT_TRUE(SetCommTimeouts(handle_, &t));
        pty_.read(lots.size(), 200);  // room for what the last round left
        DWORD written = 0;
        BOOL ok = TRUE;
        double ms = 0;
        TestThread writer("the stalled write", [&](const std::atomic<bool>&) {
            ms = ElapsedMs([&] { ok = WriteFile(handle_, lots.data(), DWORD(lots.size()), &written, nullptr); });
        });
        if (!writer.Wait(3s)) {
            ADD_FAILURE() << "the write still waits after 3 s";
            pty_.hangUp();  // which fails it
        }
        writer.Stop();
        EXPECT_FALSE(ok);
        EXPECT_GT(written, 0u);
        EXPECT_LT(written, lots.size());
        EXPECT_GE(ms, constant == 100 ? 99.0 : 299.0);
        EXPECT_LT(ms, 2000.0);
    }
}

}  // namespace
