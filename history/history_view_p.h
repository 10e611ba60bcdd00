#pragma once
// The history widget's state, shared by its display half (history_view.cpp) and
// its input half (history_view_input.cpp).

#include "history_cadence.h"
#include "history_line_layout.h"
#include "history_log.h"
#include "history_save.h"
#include "history_selection.h"
#include "history_size.h"
#include "history_stamps.h"
#include "history_store.h"
#include "history_view.h"

#include <QBasicTimer>
#include <QClipboard>
#include <QElapsedTimer>
#include <QPoint>
#include <QPointer>

#include <algorithm>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

class QProgressDialog;

namespace history {

constexpr int kMargin = 3;
constexpr int kDragScrollMs = 50;
constexpr qsizetype kInputMethodTextLimit = 4096;

// One character, one byte: what Latin-1 cannot hold becomes '?'.
std::string toLatin1(const QString& text);

enum class Motion { Left, Right, WordLeft, WordRight, Up, Down, RowStart, RowEnd, PageUp, PageDown, Start, End };

}  // namespace history

struct HistoryView::Private {
    explicit Private(HistoryView* view) : q(view) { clock.start(); }

    HistoryView* q;
    HistoryStore store;
    HistorySelection sel{store};
    LineLayoutCache layouts;
    HistoryCadence cadence;
    QElapsedTimer clock;
    QBasicTimer syncTimer;
    QBasicTimer scrollBarTimer;
    QBasicTimer blinkTimer;
    QBasicTimer dragTimer;

    qsizetype firstLine = 0;  // the top line in view, mirrored by the scroll bar
    qsizetype maxFirst = 0;   // the top line when the end is in view
    bool followEnd = true;
    bool settingScroll = false;
    qreal preferredX = -1;  // the column Up and Down keep to
    bool caretOn = true;
    bool dragging = false;
    QPoint dragPos;
    QElapsedTimer sinceDoubleClick;  // a third click soon after selects the line
    QPoint doubleClickPos;
    bool readOnly = false;
    bool outOfMemory = false;
    std::uint64_t frontChangesSeen = 0;
    qsizetype copyLimit = HistoryView::kDefaultCopyLimit;

    // How lines' times show, and the column they take before the text: as wide as
    // the widest time drawn since the mode changed, so that it does not jitter.
    HistoryStamps stamps;
    int stampColumn = 0;
    int textX() const { return history::kMargin + stampColumn; }
    int wrapWidth() const { return std::max(1, q->viewport()->width() - 2 * history::kMargin - stampColumn); }
    // The time shown before `line`, without its padding; "" when none are shown.
    QString stampText(qsizetype line) const;
    // Widens the column for a time `width` pixels wide; true when it grew.
    bool fitStampColumn(int width);
    int stampGap() const;
    void resetStampColumn();
    int availableHeight() const { return std::max(1, q->viewport()->height() - 2 * history::kMargin); }
    int rowsPerPage() const;
    LineLayout& layoutFor(qsizetype line) {
        return layouts.get(store, line, wrapWidth(), q->font(), q->viewport());
    }

    // Runs `grow`; memory running out on the way stops the history growing
    // instead of ending the program.
    template <class Grow>
    bool guarded(Grow&& grow) {
        try {
            grow();
            return true;
        } catch (const std::bad_alloc&) {
        } catch (const std::length_error&) {
        }
        ranOutOfMemory();
        return false;
    }
    void ranOutOfMemory();
    void notify(const QString& text);

    // Layout and scrolling (history_view.cpp).
    void markChanged(qsizetype line);
    qsizetype computeMaxFirst();
    void scheduleSync();
    void sync(bool urgent = true);
    int toBar(qsizetype line) const;
    qsizetype fromBar(int value) const;
    void setFirstLine(qsizetype line);
    void ensureVisible(qsizetype position);
    qsizetype positionAt(QPoint point);
    QRect caretRect();
    void setCaret(qsizetype position, bool keepAnchor);
    void restartBlink();
    QString text(qsizetype from, qsizetype length) const;
    void copyTo(QClipboard::Mode mode);
    void reset();

    // Keys and edits (history_view_input.cpp).
    qsizetype verticalStep(qsizetype position, int direction);
    qsizetype rowEdge(qsizetype position, bool end);
    void move(history::Motion motion, bool select);
    void replaceSelection(std::string_view bytes);
    void deleteChar(bool forward);
    void cut();
    void paste();

    // The ways out: saving and logging (history_view_out.cpp). Declared last, so
    // that they end before the store does.
    // The log's stop line comes from its thread: declared before the log, so that
    // they outlive it (closing the log ends its reports).
    std::mutex logStopMutex;
    QString logStopLine;  // for takeLogStop()
    HistoryLog log{[this](const std::string& reason, std::uint64_t written) { logStopped(reason, written); }};
    std::unique_ptr<HistorySave> save;
    QPointer<QProgressDialog> progress;
    QBasicTimer saveTimer;
    QString saveFolder;  // where the last save or log went
    QString saveNamePrefix = QStringLiteral("history");

    QString proposedPath(const QString& extension) const;
    std::optional<HistoryStore::Snapshot> snapshotToSave();
    void chooseSaveFile();
    void startSave(HistoryStore::Snapshot snapshot, const QString& path);
    void watchSave();
    void chooseLogFile();
    void logStopped(const std::string& reason, std::uint64_t written);
    void showFailure(const QString& title, const QString& text);
    static QString failureText(const QString& path, const QString& reason);
};
