#pragma once
// Sending a file: a thread of its own streams the file's bytes to the port as
// stored, a chunk at a time, however large the file, with optional pacing. The
// window's thread only starts it, looks at its progress and takes its outcome,
// so it never waits for the line. While a send runs, the sender is the only
// writer on the port; the owner stops it (and waits for it, which is short: at
// most one bounded WriteFile) before the handle is closed.
//
// Pacing, each part off when zero or empty:
// - a delay after each byte, and a delay after each line end, both counted
//   from when the bytes have left the wire (the driver's queue divided by the
//   line's rate), not from when the driver took them;
// - after each line end, a wait until the received data contains a reply text,
//   with a time-out that stops the send. Only what arrives after the line end
//   began to go out counts, so an echo of the line itself never answers.
// A line end is LF, CR LF, or a CR not followed by LF.
//
// How it can end: every byte went; or it stopped, with the count that went and
// why: cancelled by the owner, the file cannot be read or ended early, the line
// stopped taking bytes, the device failed, or no reply came.

#include "Unit2.h"
#include "win32.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct FilePacing {
    DWORD byteDelayMs = 0;
    DWORD lineDelayMs = 0;
    std::string reply;            // bytes to wait for after each line; empty: no wait
    DWORD replyTimeoutMs = 5000;  // how long to wait for them
    bool operator==(const FilePacing&) const = default;
};

struct FileSendJob {
    std::string path;
    HANDLE port = nullptr;
    FilePacing pacing;
    // How long one byte takes on the wire at the line's settings (ByteTime); 0
    // where it means nothing, as on a pseudo-terminal.
    std::chrono::nanoseconds byteTime{0};
    // No byte taken by the line for this long is a stalled line.
    std::chrono::milliseconds stallAfter{2000};
};

struct FileSendOutcome {
    std::uint64_t sent = 0;              // bytes the driver took
    std::optional<std::uint64_t> size;   // the file's size; none for a pipe or device
    std::string stopped;                 // why it stopped; empty when every byte went
    std::uint64_t lines = 0;             // line ends sent
};

// How long one character takes at these settings: start bit, data bits, parity
// bit and stop bits at the baud rate.
std::chrono::nanoseconds ByteTime(const DCB& line);

// Where the next piece of data ends: the text up to a line end, or one line end.
// A CR at the very end of what is at hand (more to come) waits to see whether LF
// follows.
struct FilePiece {
    enum Kind { Text, LineEnd, NeedMore } kind;
    std::size_t length;
};
FilePiece NextFilePiece(const unsigned char* data, std::size_t size, bool atEnd);

class FileSender : public ReceiveTap {
public:
    // Watches what `reader` receives while a send waits for replies; may be null
    // when no send waits for a reply.
    explicit FileSender(SimpleThread* reader);
    ~FileSender() override;  // Stop(), then waits

    // Starts a send; false when one is running. `finished` runs on the sender's
    // thread once the outcome is ready (TakeOutcome).
    bool Start(FileSendJob job, std::function<void()> finished = {});
    // Asks a running send to stop with `reason` as why; returns at once.
    void Stop(const std::string& reason);
    // Waits for the send to end, up to `bound`; true when it has (or none ran).
    bool Wait(std::chrono::milliseconds bound);
    bool Running() const { return running_.load(); }

    // Progress, any thread.
    std::uint64_t Sent() const { return sent_.load(std::memory_order_relaxed); }
    std::optional<std::uint64_t> Size() const;

    // The outcome of the send that ended; call after Wait or `finished`.
    FileSendOutcome TakeOutcome();

    // Called by the reader with each read's bytes.
    void Received(const unsigned char* bytes, std::size_t count) override;

private:
    void Run(FileSendJob job);
    void Send(const FileSendJob& job, int fd, FileSendOutcome& outcome);
    bool WriteAll(const FileSendJob& job, const unsigned char* bytes, std::size_t count, FileSendOutcome& outcome);
    bool WritePiece(const FileSendJob& job, const unsigned char* bytes, std::size_t count, bool lineEnd,
                    FileSendOutcome& outcome);
    bool PauseUntil(std::chrono::steady_clock::time_point when, FileSendOutcome& outcome);
    bool AwaitReply(const FileSendJob& job, std::chrono::steady_clock::time_point from, FileSendOutcome& outcome);
    std::chrono::steady_clock::time_point WireEmpty(const FileSendJob& job) const;
    bool StopAsked(FileSendOutcome& outcome);

    SimpleThread* reader_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<std::int64_t> size_{-1};

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string stopReason_;    // under mutex_: set once the owner asks to stop
    bool done_ = true;          // under mutex_
    FileSendOutcome outcome_;   // under mutex_
    std::function<void()> finished_;

    // The reply watch, under mutex_: armed before a line end goes out.
    std::string reply_;
    std::string seen_;          // the last bytes received, at most reply_.size() - 1
    bool armed_ = false;
    bool replied_ = false;
};
