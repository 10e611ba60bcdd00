#include "port_reader.h"
#include "received_line.h"
#include "test_thread.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <thread>

// Allocations fail on the thread named here, to run the reader out of memory.
std::atomic<std::thread::id> starved;

void* operator new(std::size_t size) {
    void* p = starved.load(std::memory_order_relaxed) == std::this_thread::get_id() ? nullptr : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Reader : public PortReader {
protected:
    // Takes lines until `expected` has come in full, or five seconds passed (the
    // reader runs at idle priority and may wait long on a busy machine).
    // Each read's lines come with the time it returned: they end at a line's end,
    // and the times never go back.
    std::string Await(const std::string& expected) {
        std::string got;
        WaitUntil([&] {
            const SimpleThread::Batch batch = reader.TakeBatch();
            std::size_t from = 0;
            for (const SimpleThread::ReadTime& read : batch.times) {
                EXPECT_GT(read.end, from);
                EXPECT_EQ(batch.lines[read.end - 1], '\n');
                EXPECT_GE(read.mono, lastRead);
                from = read.end;
                lastRead = read.mono;
                ++reads;
            }
            EXPECT_EQ(from, batch.lines.size());
            return (got += batch.lines).size() >= expected.size();
        });
        return got;
    }
    std::int64_t lastRead = 0;
    int reads = 0;
};

// However much the reader takes from the driver at once, every line is what one
// read of at most 10 bytes would give: a burst gives lines of 10, a byte arriving
// after the last read ended a line of its own.
TEST_F(Reader, LinesAreWhatReadsOfTenGiveForBurstsAndSlowBytes) {
    std::string burst, expected;
    for (int i = 0; i < 2005; ++i) burst += static_cast<char>('a' + i % 26);
    for (size_t at = 0; at < burst.size(); at += 10) expected += "received:" + burst.substr(at, 10) + "\r\n";
    EXPECT_FALSE(reader.isRunning()) << "created suspended";
    pty.write(burst);
    WaitUntil([&] { return pty.pending() == 2005; });
    reader.StartReading(port);
    EXPECT_EQ(reader.priority(), QThread::IdlePriority);
    EXPECT_EQ(Await(expected), expected);
    EXPECT_LT(reads, 201) << "the lines of one read share its time";

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
    pty.write("last");
    WaitUntil([&] { return pty.pending() == 4; });
    reader.StartReading(port);
    WaitUntil([&] { return pty.pending() == 0; });
    pty.hangUp();  // the bytes are the reader's now; their line is still untaken
    std::string lines;
    SimpleThread::Batch batch;
    WaitUntil([&] {
        lines += (batch = reader.TakeBatch()).lines;
        return batch.loss != 0;
    });
    EXPECT_EQ(batch.loss, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(lines, "received:last\r\n") << "every line read before the loss comes with it or before";
    const int begunAtLoss = readsBegun;
    Disconnect();  // from here no read begins; one begun meanwhile is counted
    SetLayerObserver(nullptr);
    EXPECT_EQ(readsBegun, begunAtLoss) << "the failed handle was read again";
    EXPECT_EQ(reader.TakeBatch().loss, 0u) << "told once";
}

// Out of memory, the reader drops what it read and counts every byte of it across
// reads, waking the window once for them; once memory is back, lines come as ever.
TEST_F(Reader, BytesDroppedForWantOfMemoryAreAllCountedAndToldOnce) {
    struct Seen {
        std::atomic<std::thread::id> reader;
        std::atomic<int> readsBegun{0}, wakes{0};
    } seen;
    // Each captures one pointer, so that neither allocates on the reader's thread.
    SetLayerObserver([p = &seen](LayerEvent event) {
        p->reader = std::this_thread::get_id();
        p->readsBegun += event == LayerEvent::ReadBegins;
    });
    QObject::connect(&reader, &SimpleThread::linesReady, [p = &seen] { ++p->wakes; });
    struct Fed {
        ~Fed() { starved = std::thread::id(), SetLayerObserver(nullptr); }
    } fed;
    reader.StartReading(port);
    WaitUntil([&] { return seen.readsBegun > 0; });  // the reader's thread is known
    Disconnect();
    pty.write(std::string(25, 'x'));  // three reads at least: at most 10 bytes come in each
    WaitUntil([&] { return pty.pending() == 25; });
    starved = seen.reader.load();
    reader.StartReading(port);
    WaitUntil([&] { return pty.pending() == 0; });
    // The read that took the last bytes has queued them once the next one begins.
    WaitUntil([&, count = seen.readsBegun + 1] { return seen.readsBegun >= count; });
    starved = std::thread::id();
    const SimpleThread::Batch batch = reader.TakeBatch();
    EXPECT_EQ(batch.droppedBytes, 25u);
    EXPECT_EQ(batch.lines, "");
    EXPECT_EQ(seen.wakes, 1);
    pty.write("back");
    EXPECT_EQ(Await("received:back\r\n"), "received:back\r\n");
}

// While the window has 4 MiB of lines untaken (the shipped bound), the reader
// takes no more bytes: they wait in the driver, and the pty stops taking them.
// Once the lines are taken it goes on, and every byte comes once and in order.
TEST_F(Reader, StopsReadingWhileFourMebibytesOfLinesWaitUntaken) {
    constexpr std::size_t kBehind = std::size_t{4} << 20;
    constexpr std::size_t kOneRead = 4096 / 10 * 61 + 61;  // the most lines one read gives in HEX
    format = static_cast<int>(ReceiveFormat::Hex);
    reader.StartReading(port);
    std::string sent, piece(4096, '\0');
    // 4 MiB of HEX lines come from about 700 kB; a reader that never stops takes 2 MB.
    for (const auto deadline = Clock::now() + 60s; sent.size() < (std::size_t{2} << 20) && Clock::now() < deadline;) {
        for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<char>((sent.size() + i) % 251);
        const std::size_t took = pty.writeFor(piece, 3000);
        sent += piece.substr(0, took);
        // Nothing taken in 3 s and the lines at their bound: the reader stopped.
        // A reader merely starved of the processor (it runs at idle priority, and
        // a loaded machine can keep it waiting for seconds) is given more time.
        if (took == 0 && reader.WindowIsBehind()) break;
    }
    ASSERT_LT(sent.size(), std::size_t{2} << 20) << "the reader never stopped";
    std::string lines = reader.TakeBatch().lines;
    EXPECT_GT(lines.size(), kBehind);
    EXPECT_LE(lines.size(), kBehind + kOneRead);
    std::string received;
    for (const auto deadline = Clock::now() + 10s; received.size() < sent.size() && Clock::now() < deadline;) {
        for (std::size_t at = 0, end; (end = lines.find("\r\n", at)) != std::string::npos; at = end + 2)
            ASSERT_TRUE(ParseReceivedLine(std::string_view(lines).substr(at, end - at), ReceiveFormat::Hex, received));
        std::this_thread::sleep_for(2ms);
        lines = reader.TakeBatch().lines;
    }
    EXPECT_TRUE(received == sent) << received.size() << " of " << sent.size() << " bytes, or not in order";
}

// Stop and restart many times at random moments; a read started after the stop
// would take the byte written afterwards, and one not aborted would never end.
TEST_F(Reader, StopLeavesLaterDataToTheOwner) {
    for (int i = 0; i < 20; ++i) {
        SetReadTimeout(port, 20);
        reader.StartReading(port);
        std::this_thread::sleep_for(std::chrono::microseconds(i * 701 % 4000));
        reader.StopReading();
        PurgeComm(port, PURGE_RXABORT);
        SetReadTimeout(port, 0);  // all zero: a read started now would never end
        reader.WaitOutOfRead();
        pty.write("X");
        SetReadTimeout(port, 500);
        char byte = 0;
        DWORD got = 0;
        ReadFile(port, &byte, 1, &got, nullptr);
        ASSERT_EQ(got, 1u) << "round " << i;
        EXPECT_EQ(byte, 'X');
    }
    EXPECT_EQ(reader.TakeBatch().lines, "");
}

}  // namespace
