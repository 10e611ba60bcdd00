#pragma once
// Saving the whole history to a file as the view shows it (each line after its
// time, when times are shown): Latin-1 bytes, "\n" between lines.
//
// It works on a snapshot taken when the user chose Save, so reception and edits
// go on while it writes. The file is replaced atomically (QSaveFile): a cancelled
// or failed save leaves no partial file and whatever was there as it was. It
// holds one part of the history (about a MiB) at a time beyond the snapshot.
//
// The new file is synced, and the sync's failure reported, before it replaces the
// old one: QSaveFile's commit() does not look at its own sync's result, so on NFS,
// under a quota or after a write-back error it would put an incomplete file in
// place of a good one and call that done. Cancelling works until the rename.
//
// It replaces only a regular file with one name: a FIFO or a device would become
// a regular file, and a file with other names (hard links) would be separated
// from them. Those are refused before anything is written.

#include "history_shown.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class HistorySave {
public:
    // Writing the text, then syncing it to the disk before the file replaces the old one.
    enum class Stage { Writing, Syncing };
    // Told how many bytes are written so far and what is being done; answers false to cancel.
    using Progress = std::function<bool(qint64 written, Stage stage)>;
    enum class Outcome { Saved, Cancelled, Failed };
    struct Result {
        Outcome outcome = Outcome::Saved;
        QString error;  // the system's reason, when it failed
    };

    // The save itself, on the calling thread.
    static Result write(const HistoryShown& snapshot, const QString& path, const Progress& carryOn);
    // Why `path` must not be replaced by a new regular file, or "".
    static QString refusal(const QString& path);

    // The call that syncs the new file before it replaces the old one (::fdatasync).
    // A seam for tests: a failing or slow disk. Null puts ::fdatasync back.
    using SyncFunction = int (*)(int fd);
    static void setSyncFunction(SyncFunction sync);

    // Runs write() on a thread of its own from now on.
    HistorySave(HistoryShown snapshot, const QString& path);
    // Cancels a save still running and waits for its thread.
    ~HistorySave();
    HistorySave(const HistorySave&) = delete;
    HistorySave& operator=(const HistorySave&) = delete;

    void cancel() { cancel_ = true; }
    qint64 total() const { return total_; }
    qint64 written() const { return written_; }
    // Everything is written; the file is being synced to the disk.
    bool isSyncing() const { return syncing_; }
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
    std::atomic<bool> syncing_{false};
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool finished_ = false;
    Result result_;
    std::thread thread_;
};
