#pragma once
// The history (Memo1): a scrolling, word-wrapped, editable text of 8-bit characters
// that can hold hours of received data compactly. Text lives in a HistoryStore;
// only the visible lines are looked up, laid out and painted, so a history of
// gigabytes scrolls and paints as fast as a short one.
//
// Positions are character offsets into toPlainText(), where every line break is
// one '\n'.
//
// The pieces: history_line_layout (how a line looks on screen), history_selection
// (caret and selection), history_cadence (how often a stream is caught up with),
// and this widget, split into its display (history_view.cpp) and its input
// (history_view_input.cpp).

#include "history_stamps.h"

#include <QAbstractScrollArea>
#include <QString>
#include <memory>
#include <string_view>
#include <utility>

class HistoryStore;

class HistoryView : public QAbstractScrollArea {
    Q_OBJECT
public:
    // A copy takes at most this many characters: the last ones of the selection.
    static constexpr qsizetype kDefaultCopyLimit = qsizetype{64} << 20;

    explicit HistoryView(QWidget* parent = nullptr);
    ~HistoryView() override;

    // Appends at the end, whatever the caret or selection: those stay where they
    // were. "\r\n" (also split across two appends) and "\n" are one line break;
    // other control bytes, a lone "\r" included, stay as characters. The view
    // follows the end while it shows the end. One call, one repaint at most.
    // Lines begun by the bytes take `time` (now, when not given).
    void appendLatin1(std::string_view bytes);
    void appendLatin1(std::string_view bytes, const HistoryTime& time);
    // The same for text from the user interface: Latin-1, "?" for other characters.
    void appendText(const QString& text);
    // True once memory ran out while the history grew or was laid out. It then
    // takes no more text, and says so at its foot, until clear().
    bool isOutOfMemory() const;

    // While read-only the user may still scroll, select and copy, but typing,
    // pasting, cutting and input methods change nothing. Off by default.
    void setReadOnly(bool readOnly);
    bool isReadOnly() const;

    void clear();
    void setPlainText(const QString& text);
    // The whole text, however large: for tests and small histories.
    QString toPlainText() const;
    qsizetype lineCount() const;
    qsizetype characterCount() const;

    qsizetype caretPosition() const;
    void setCaretPosition(qsizetype position);
    // Selects from anchor to position (the caret ends at position).
    void setSelection(qsizetype anchor, qsizetype position);
    bool hasSelection() const;
    // The selection as [start, end); both the caret's position when none.
    std::pair<qsizetype, qsizetype> selectionRange() const;
    // Scrolls [from, to) into view, `from` first when it does not all fit, and
    // stays there while text arrives (a found match, say).
    void showRange(qsizetype from, qsizetype to);
    // The whole selection, however large: for tests and small selections.
    QString selectedText() const;
    void selectAll();
    // Puts the selection on the clipboard; one longer than copyLimit() only with
    // its last copyLimit() characters, and a notice saying so.
    void copy() const;
    void setCopyLimit(qsizetype characters);
    qsizetype copyLimit() const;

    // ---- the ways out
    // Saved files are proposed as this (the port's name), the date and the time.
    void setSaveNamePrefix(const QString& prefix);
    // Saves the whole history as it stands now to `path`, on a thread of its own,
    // while everything else goes on. After half a second a progress dialog offers
    // Cancel, which works until the new file replaces the old one; a failure shows
    // the system's reason in a message box. Ends with saveFinished(), always from
    // the event loop. One save at a time: false while one runs (or when memory ran
    // out for the snapshot, told in a message box), else true. A path it must not
    // replace (not a regular file, a file with hard links, the running log's file)
    // is refused before anything is written, as a failure: the message box, and
    // saveFinished(path, false, reason).
    bool saveHistory(const QString& path);
    bool isSaving() const;
    // The size in bytes of the history the running save writes; 0 when none runs.
    qint64 savingTotal() const;
    // Where the running save writes; "" when none runs.
    QString savingPath() const;
    // Cancels a running save and waits at most `ms` for its thread to end: the
    // partial file is removed and what was at the path before stays. True when no
    // save runs any more (saveFinished() was then emitted, as cancelled unless it
    // had already ended); the save's thread then writes nothing more. For quitting.
    bool stopSave(int ms);
    // From now on every text appended also goes to `path` (created, or appended to
    // after a line marking the start), written and synced on a thread of its own.
    // "" when the log runs, else the system's reason. A failure later stops it
    // with a line in the history.
    QString startLog(const QString& path);
    // The same with the file name as the file system takes it, byte for byte: a
    // name that is not UTF-8 survives no trip through QString.
    QString startLogByName(const QByteArray& fileName);
    // Ends the file with "[log ended …]"; the log's thread writes out what is
    // queued, syncs and closes. Never waits long on a stalled disk.
    void stopLog();
    // Asks for a write and a sync now, without waiting for them (Disconnect).
    void flushLog();
    bool isLogging() const;
    // True when `path` is the file the log is writing now (saving onto it is refused).
    bool isLogFile(const QString& path) const;
    // At the program's end, the window gone: writes out what is queued, syncs and
    // closes the log, waiting at most `ms`. True when the file was closed in time.
    bool finishLog(int ms);

    // Save History As… and Log to File… as the context menu offers them: each asks
    // for a file first (for a menu bar of the window's own).
    void chooseSaveFile();
    void chooseLogFile();

    // ---- times before lines
    // Each line keeps its time from the start; this chooses how they show. A
    // change shows the whole history anew at once; the running log notes it, and
    // writes later lines with their times as Save does.
    void setTimestampMode(TimestampMode mode);
    TimestampMode timestampMode() const;
    // A connect: Since Connect counts from here.
    void noteConnect(const HistoryTime& time);
    // The time shown before `line` (without its padding); "" when none are shown.
    QString timestampText(qsizetype line) const;
    const HistoryStamps& stamps() const;

    // True while the last line is in view: appends keep it in view.
    bool isShowingEnd() const;

    const HistoryStore& store() const;

    // Brings the scroll bar and the view's position up to date with the text now.
    // Otherwise this happens on the next pass of the event loop, and at most about
    // fifteen times a second while data floods in (see HistoryCadence).
    void flushPendingLayout();

    QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

signals:
    // A short message for the user (a copy cut short, memory running out), also
    // shown as a tool tip at the view.
    void notice(const QString& text);
    // A save ended: `saved`, or the system's reason, or neither when cancelled.
    void saveFinished(const QString& path, bool saved, const QString& error);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    friend class HistoryAccessible;  // reads the text, caret and layout for screen readers

    // The line saying the log stopped by itself, posted from the log's thread.
    Q_INVOKABLE void takeLogStop();

    struct Private;
    std::unique_ptr<Private> d;
};
