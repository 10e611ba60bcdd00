#pragma once
// Logging the history to a file as it grows: every text appended goes to the
// file, with "\r\n" made "\n" as the history makes it.
//
// The window's thread only copies the text into a queue; a thread of its own
// writes it out and syncs it to the disk at least every kSyncMs, so a slow or
// stalled disk never slows reception, and a crash or a power cut loses at most
// the last second. Closing waits for that thread briefly at most: a writer stuck
// on a stalled disk is left to finish on its own, and never reports.
//
// The log follows its path: when the file is renamed or removed (log rotation),
// the path is opened again and the log goes on there after a line
// "[log continued <when>: <why>]"; the file is opened for appending, so a
// rotation that copies and truncates it works too. The log stops by itself, and
// says why through `Stopped`, only when a write or sync fails, the path cannot be
// opened again, or the queue passes kQueueLimit because the disk does not keep up.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

class HistoryLog {
public:
    static constexpr std::size_t kQueueLimit = std::size_t{64} << 20;
    static constexpr int kSyncMs = 500;
    // How long closing waits for the writer before leaving it to end alone.
    static constexpr int kCloseWaitMs = 100;

    // Called once, on either thread, when the log stopped by itself: the reason
    // and how many bytes reached the file. Never called once close() began.
    using Stopped = std::function<void(const std::string& reason, std::uint64_t written)>;

    struct Options {
        std::size_t queueLimit = kQueueLimit;
        int syncMs = kSyncMs;
        // Makes a file's data durable, as fdatasync(2) does; tests stall or count it.
        std::function<int(int fd)> sync;
    };

    explicit HistoryLog(Stopped stopped);
    HistoryLog(Stopped stopped, Options options);
    // Closes the log as close() does.
    ~HistoryLog();
    HistoryLog(const HistoryLog&) = delete;
    HistoryLog& operator=(const HistoryLog&) = delete;

    // Starts logging to `path`, created or appended to; appending, or with a
    // `note` (said in it), a line marking the start comes first, with the date.
    // "" or the system's reason (the log is then off).
    std::string open(const std::string& path, const std::string& note = {});
    // Ends the log with a line "[log ended <when>]" (unless it stopped by
    // itself); the writer writes out what is queued, syncs and closes. Waits
    // kCloseWaitMs at most: a slower writer finishes alone.
    void close();
    // As close(), at the program's end: waits at most `ms` for this log and for
    // any writer a close left behind. True when every file was closed in time.
    bool finish(int ms);
    bool isOpen() const;
    const std::string& path() const { return path_; }
    // True when `path` names the file the log has open now (same device and
    // inode); false when not logging or `path` does not exist.
    bool isSameFile(const std::string& path) const;

    // Queues `bytes` for the file. Cheap: a copy under a lock.
    void add(std::string_view bytes);
    // The same, each line they begin after its time: the first after `first`, the
    // others after `rest`.
    void add(std::string_view bytes, std::string_view first, std::string_view rest);
    // A line of its own, after the line under way: "[timestamps: …]".
    void note(const std::string& line);
    // Asks for a write and a sync now, without waiting for them.
    void flush();

private:
    struct Shared;
    // Ends the running log; true when its writer ended within `wait`.
    bool end(std::chrono::milliseconds wait);
    // Appends `line` to the queue on a line of its own. Under the lock.
    void noteLocked(std::string& queue, const std::string& line);

    Stopped stoppedCallback_;
    Options options_;
    std::shared_ptr<Shared> shared_;  // also held by the thread, which may outlive a stalled close
    std::thread thread_;
    std::vector<std::shared_ptr<Shared>> leftBehind_;  // writers a close did not wait for
    std::string path_;
    bool carriageReturn_ = false;  // the text so far ended with '\r'
    bool lineOpen_ = false;        // the text queued so far does not end with '\n'
};
