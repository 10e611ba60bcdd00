#pragma once
// Saving the whole history to a file, as Select All and Copy would give it
// without the copy's cap: Latin-1 bytes, "\n" between lines.
//
// It works on a snapshot taken when the user chose Save, so reception and edits
// go on while it writes. The file is replaced atomically (QSaveFile): a cancelled
// or failed save leaves no partial file and whatever was there as it was. It
// holds one part of the history (about a MiB) at a time beyond the snapshot.

#include "history_store.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class HistorySave {
public:
    // Told how many bytes are written so far; answers false to cancel.
    using Progress = std::function<bool(qint64 written)>;
    enum class Outcome { Saved, Cancelled, Failed };
    struct Result {
        Outcome outcome = Outcome::Saved;
        QString error;  // the system's reason, when it failed
    };

    // The save itself, on the calling thread.
    static Result write(const HistoryStore::Snapshot& snapshot, const QString& path, const Progress& carryOn);

    // Runs write() on a thread of its own from now on.
    HistorySave(HistoryStore::Snapshot snapshot, const QString& path);
    // Cancels a save still running and waits for its thread.
    ~HistorySave();
    HistorySave(const HistorySave&) = delete;
    HistorySave& operator=(const HistorySave&) = delete;

    void cancel() { cancel_ = true; }
    qint64 total() const { return total_; }
    qint64 written() const { return written_; }
    const QString& path() const { return path_; }
    bool isFinished() const;
    // Waits at most `ms` for the end; true when it has ended.
    bool waitFinished(int ms);
    // Once finished.
    Result result() const;

private:
    QString path_;
    qint64 total_;
    std::atomic<qint64> written_{0};
    std::atomic<bool> cancel_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;
    Result result_;
    std::thread thread_;
};
