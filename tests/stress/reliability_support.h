#pragma once
// Helpers for the stress and fault tests: a feeder that writes a known byte
// sequence into a pty at full speed, a reader of the history that recovers every
// received byte from HEX lines as the window appends them, and counts of what the
// process holds.

#include "history_store.h"
#include "history_view.h"
#include "measure.h"
#include "pseudo_terminal.h"
#include "received_line.h"
#include "test_thread.h"

#include <QTest>
#include <QThreadPool>
#include <gtest/gtest.h>

// Descriptors and threads of this process, from /proc/self.
struct Holdings {
    int descriptors;
    int threads;
    bool operator==(const Holdings&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Holdings& h) {
    return out << h.descriptors << " descriptors, " << h.threads << " threads";
}

// Qt's pool workers come and go as Qt pleases, each with an event dispatcher's
// descriptor, so they are let go first; opendir's own descriptor is not counted.
// A QThread that wait() has seen finish may still be leaving the kernel (Qt's
// threads are detached), so the counts are read for up to three seconds until
// they reach `expected`, or without one, until they have held still for 200 ms.
inline Holdings CurrentHoldings(const Holdings* expected = nullptr) {
    const auto count = [] {
        QThreadPool::globalInstance()->waitForDone();
        return Holdings{CountEntries("/proc/self/fd") - 1, CountEntries("/proc/self/task")};
    };
    Holdings now = count();
    int still = 0;
    static_cast<void>(QTest::qWaitFor(
        [&] {
            const Holdings previous = now;
            QTest::qWait(20);
            now = count();
            still = now == previous ? still + 1 : 0;
            return expected ? now == *expected : still >= 10;
        },
        3000));
    return now;
}

// The byte at position i of the sequence the feeder writes: 251 is prime, so a
// lost, repeated or reordered stretch never lines up with the old data again
// within 251 bytes.
inline unsigned char SequenceByte(std::size_t i) { return static_cast<unsigned char>(i % 251); }

// The first position where `received` differs from the sequence starting at
// `from`, or npos when it is all the sequence.
inline std::size_t FirstSequenceMismatch(const std::string& received, std::size_t from = 0) {
    for (std::size_t i = 0; i < received.size(); ++i)
        if (static_cast<unsigned char>(received[i]) != SequenceByte(from + i)) return i;
    return std::string::npos;
}

// Writes the sequence into a pty leader from its own thread, in bounded writes, so
// that Stop() is honoured even when nobody reads the other side.
class SequenceFeeder {
public:
    explicit SequenceFeeder(Pty& pty) : pty_(pty) {}
    ~SequenceFeeder() { Stop(); }

    // Writes the next `count` bytes (or until Stop()) as fast as the pty takes them,
    // with `pause` after each write of up to `piece` bytes; returns at once.
    void Start(std::size_t count, std::size_t piece = 256, std::chrono::microseconds pause = {}) {
        Stop();
        thread_ = std::make_unique<TestThread>("the sequence feeder", [=, this](const std::atomic<bool>& stop) {
            std::string buffer;
            for (std::size_t left = count; left > 0 && !stop;) {
                buffer.clear();
                for (std::size_t i = 0; i < std::min(left, piece); ++i) buffer += char(SequenceByte(written_ + i));
                const std::size_t n = pty_.writeFor(buffer, 10);
                written_ += n;
                left -= n;
                if (n > 0 && pause.count() > 0) std::this_thread::sleep_for(pause);
            }
        });
    }
    // Ends the writing and waits for the thread (with a bound); what was written.
    std::size_t Stop() {
        thread_.reset();
        return written_;
    }
    // Waits until what Start() asked for is written; FAILs the test, and stops the
    // writing, after 20 s (nobody reads the other side).
    std::size_t Finish() {
        if (thread_ && !thread_->Wait(std::chrono::seconds(20)))
            ADD_FAILURE() << "the pty took only " << written_ << " bytes of the sequence in 20 s";
        return Stop();
    }
    std::size_t written() const { return written_; }

private:
    Pty& pty_;
    std::atomic<std::size_t> written_{0};
    std::unique_ptr<TestThread> thread_;
};

// Follows the history as the window appends to it. Every complete line is either
// a HEX "received:" line, whose bytes are kept in order, or another record.
struct HistoryFollower {
    explicit HistoryFollower(const HistoryView& view) : store(view.store()) {}

    // Takes the complete lines appended since the last call; the last line is the
    // open one the next append extends.
    void Poll() {
        for (const qsizetype complete = store.lineCount() - 1; nextLine < complete; ++nextLine) {
            const std::string_view line = store.lineText(nextLine);
            if (!line.starts_with("received:"))
                records.emplace_back(line);
            else if (!ParseReceivedLine(line, ReceiveFormat::Hex, received))
                broken.emplace_back(line);
        }
    }
    // Runs the window's event loop until `count` bytes were received, for up to
    // 20 s; true when they were.
    bool WaitForReceived(std::size_t count) {
        return QTest::qWaitFor([&] { return Poll(), received.size() >= count; }, 20000);
    }

    const HistoryStore& store;
    qsizetype nextLine = 0;
    std::string received;              // every received byte, in order
    std::vector<std::string> records;  // every other line, in order
    std::vector<std::string> broken;   // "received:" lines that are not whole HEX lines
};
