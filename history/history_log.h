#pragma once
// Logging the history to a file as it grows: every text appended goes to the
// file, with "\r\n" made "\n" as the history makes it.
//
// The window's thread only copies the text into a queue; a thread of its own
// writes it out and syncs it to the disk at least once a second, so a slow or
// stalled disk never slows reception, and a crash or a power cut loses at most
// the last second. The log stops by itself, and says why through `Stopped`,
// when a write or sync fails, when the file is removed or made unwritable, or
// when the queue passes kQueueLimit because the disk does not keep up.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

class HistoryLog {
public:
    static constexpr std::size_t kQueueLimit = std::size_t{64} << 20;
    static constexpr int kSyncMs = 500;

    // Called once, on either thread, when the log stopped by itself: the reason
    // and how many bytes reached the file.
    using Stopped = std::function<void(const std::string& reason, std::uint64_t written)>;

    explicit HistoryLog(Stopped stopped, std::size_t queueLimit = kQueueLimit);
    // Closes the log, waiting a few seconds at most for a stalled disk.
    ~HistoryLog();
    HistoryLog(const HistoryLog&) = delete;
    HistoryLog& operator=(const HistoryLog&) = delete;

    // Starts logging to `path`, created or appended to; appending, a line marking
    // the start comes first. "" or the system's reason (the log is then off).
    std::string open(const std::string& path);
    // Writes out what is queued, syncs and closes.
    void close();
    bool isOpen() const;
    const std::string& path() const { return path_; }

    // Queues `bytes` for the file. Cheap: a copy under a lock.
    void add(std::string_view bytes);
    // Asks for a write and a sync now, without waiting for them.
    void flush();

private:
    struct Shared;

    Stopped stoppedCallback_;
    std::size_t queueLimit_;
    std::shared_ptr<Shared> shared_;  // also held by the thread, which may outlive a stalled close
    std::thread thread_;
    std::string path_;
    bool carriageReturn_ = false;  // the text so far ended with '\r'
};
