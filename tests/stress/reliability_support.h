#pragma once
// Helpers for the stress, fault and hostile-input tests: a feeder that writes a
// known byte sequence into a pty at full speed, a reader of the history that
// recovers every received byte from HEX lines as the window appends them, and
// counts of what the process holds.

#include "history_store.h"
#include "history_view.h"
#include "test_thread.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Descriptors and threads of this process, from /proc/self.
struct Holdings {
    int descriptors;
    int threads;
    bool operator==(const Holdings&) const = default;
};
// Waits up to three seconds for the counts to hold still, or with `expected`, to
// reach it.
Holdings CurrentHoldings(const Holdings* expected = nullptr);
inline std::ostream& operator<<(std::ostream& out, const Holdings& h) {
    return out << h.descriptors << " descriptors, " << h.threads << " threads";
}
double ProcessCpuSeconds();

// The byte at position i of the sequence the feeder writes: 251 is prime, so a
// lost, repeated or reordered stretch never lines up with the old data again
// within 251 bytes.
inline unsigned char SequenceByte(std::size_t i) { return static_cast<unsigned char>(i % 251); }

// Writes the sequence into a pty leader from its own thread. The leader is made
// non-blocking so Stop() is honoured even when nobody reads the other side.
class SequenceFeeder {
public:
    explicit SequenceFeeder(int leaderFd);
    ~SequenceFeeder();  // Stop()

    // Writes the next `count` bytes (or until Stop()) as fast as the pty takes them;
    // returns at once. `pause` between writes of `piece` bytes, if any.
    void Start(std::size_t count, std::size_t piece = 256,
               std::chrono::microseconds pause = std::chrono::microseconds(0));
    // Ends the writing and waits for the thread; returns what was written in all.
    std::size_t Stop();
    // Waits until the bytes asked for by Start() are written (or the writing
    // failed); FAILs the test, and stops the writing, when that takes longer than
    // `bound` (nobody reads the other side).
    std::size_t Finish(std::chrono::milliseconds bound = std::chrono::seconds(20));
    std::size_t written() const { return written_.load(); }

private:
    void Run(std::size_t count, std::size_t piece, std::chrono::microseconds pause,
             const std::atomic<bool>& stop);

    int fd_;
    std::atomic<std::size_t> written_{0};
    std::unique_ptr<TestThread> thread_;
};

// Follows the history as the window appends to it. Every complete line is either
// a HEX "received:" line, whose bytes are kept in order, or another record.
class HistoryFollower {
public:
    explicit HistoryFollower(const HistoryView& view) : view_(view) {}

    // Takes the complete lines appended since the last call.
    void Poll();

    std::string received;              // every received byte, in order
    std::vector<std::string> records;  // every other line, in order
    std::vector<std::string> broken;   // "received:" lines that are not whole HEX lines

private:
    const HistoryView& view_;
    qsizetype nextLine_ = 0;
};

// Runs the window's event loop until `follower` has seen `count` received bytes or
// `timeoutMs` passed; true when it has.
bool WaitForReceived(HistoryFollower& follower, std::size_t count, int timeoutMs = 20000);

// The first position where `received` differs from the sequence starting at
// `from`, or npos when it is all the sequence.
std::size_t FirstSequenceMismatch(const std::string& received, std::size_t from = 0);
