#pragma once
// Finding a text in the history as it is shown (with its lines' times, when
// they are shown), however large, without holding the window up.
//
// The search reads a snapshot of the store part by part (about a MiB each) on a
// thread of its own, so reception and the window go on meanwhile and the
// positions it reports are those of the text when it started. Only one part and
// a few small buffers are held at a time. The history is Latin-1; with Match
// Case off, ASCII and Latin-1 letters match either case. A match may span parts
// and line breaks ('\n' in the text searched for).
//
// Forward from p finds the first match starting at or after p; backward from p
// the last match ending at or before p, reading the newest parts first. When
// there is none that way the search goes on once from the other end, and says
// it wrapped.
//
// The thread only ever posts its result to this object's thread, as values; a
// search stopped, or replaced by a new one, reports nothing, even when its
// result was already on its way.

#include "history_shown.h"

#include <QObject>

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

class HistorySearch : public QObject {
    Q_OBJECT
public:
    enum class Direction { Forward, Backward };
    struct Query {
        std::string text;  // Latin-1, '\n' for a line break
        bool matchCase = false;
        Direction direction = Direction::Forward;
        qsizetype from = 0;  // clamped to the text
    };
    enum class Outcome { Found, NotFound, OutOfMemory };
    struct Result {
        Outcome outcome = Outcome::NotFound;
        qsizetype start = -1;  // the match is [start, end)
        qsizetype end = -1;
        bool wrapped = false;  // found only after going on from the other end
    };
    // Told the characters looked at so far; answers false to stop.
    using Progress = std::function<bool(qint64 looked)>;

    // The search itself, on the calling thread; nothing when stopped. An empty
    // text finds nothing. Throws std::bad_alloc.
    // `from` and the match are the store's positions; a match within a line's
    // time selects that line.
    static std::optional<Result> find(const HistoryShown& snapshot, const Query& query,
                                      const Progress& carryOn);

    explicit HistorySearch(QObject* parent = nullptr);
    // Stops a search still running and waits for its thread.
    ~HistorySearch() override;
    HistorySearch(const HistorySearch&) = delete;
    HistorySearch& operator=(const HistorySearch&) = delete;

    // Searches on a thread of its own; finished() comes from the event loop. A
    // search still running is stopped first. An empty text starts no thread: its
    // "not found" comes the same way.
    void start(HistoryShown snapshot, Query query);
    // Nothing more is reported for the running search; waits for its thread,
    // which looks at the request between parts.
    void stop();
    // From start() until finished() or stop().
    bool isRunning() const { return pending_; }
    // Characters looked at so far of total(), for progress.
    qint64 looked() const { return looked_; }
    qint64 total() const { return total_; }

signals:
    void finished(const HistorySearch::Result& result);

private:
    Q_INVOKABLE void deliver(quint64 generation, int outcome, qint64 start, qint64 end, bool wrapped);
    void join();

    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<qint64> looked_{0};
    qint64 total_ = 0;
    quint64 generation_ = 0;  // results of other generations are dropped
    bool pending_ = false;
};
