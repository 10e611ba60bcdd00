#pragma once
// What assistive technology (a screen reader, through AT-SPI on Linux) learns of
// the history: its text, caret and selection through Qt's text interface, and
// the text that arrives, announced as inserted.
//
// Offsets. Qt's text interface counts in int, and the history may hold more
// characters than that. Offsets are therefore the history's own positions less
// a base: the base is 0 until the history passes kWindowCharacters, and then
// moves forward by whole lines, in steps of a quarter of the window, so that the
// newest kWindowCharacters or fewer stay readable. A reader follows new lines and
// the caret, which is where it reads; lines further back than the window, even
// when scrolled into view, are not offered (their offsets would not fit). Each
// step of the base is announced as text removed at the front, so offsets a
// reader kept stay consistent.
//
// Cost. Nothing is copied but what is asked: text() reads only its range through
// the store, at most kReadLimit characters per call, and a line, word or
// character asked for is read alone (a line longer than kReadLimit comes as the
// kReadLimit piece that holds the offset). With no assistive technology active
// the view's hooks return at once and no interface is ever made.
//
// Announcements. Appends are gathered and announced as one insertion at most
// once per kAnnounceMs, so that a flood does not drown the reader. An edit by
// the user, a clear or a new text is announced at once, after what was gathered.
// An announcement carries at most kAnnounceLimit characters: a larger change is
// told by its last kAnnounceLimit characters (an insertion) or its first ones (a
// removal), which is more than any reader speaks. The caret moving and the
// selection changing are announced where the view changes them.

#include <QAccessibleWidget>
#include <QString>
#include <QTimer>

class HistoryView;

class HistoryAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    static constexpr qsizetype kWindowCharacters = qsizetype{1} << 30;
    static constexpr int kReadLimit = 1 << 20;
    static constexpr int kAnnounceLimit = 1 << 16;
    static constexpr int kAnnounceMs = 250;

    explicit HistoryAccessible(HistoryView* view);

    // Makes Qt build this interface for every HistoryView; the view calls it.
    static void install();

    // ---- the view's hooks: each returns at once when no assistive technology listens
    // Text was appended to a history of `oldSize` characters.
    static void textAppended(HistoryView* view, qsizetype oldSize);
    // `removed` characters at `from` are about to be replaced (an edit, a clear,
    // a new text); textChanged() follows once they are.
    static void textChanging(HistoryView* view, qsizetype from, qsizetype removed);
    static void textChanged(HistoryView* view, qsizetype from, qsizetype removed, qsizetype inserted);
    static void caretMoved(HistoryView* view);

    // For tests under a platform with no accessibility bridge (offscreen), where
    // Qt passes no event on: while a listener is set, the hooks act as though
    // assistive technology listened and hand their events to it. nullptr ends it.
    static void setListenerForTests(QAccessible::UpdateHandler listener);

    // ---- QAccessibleInterface: EditableText, with the read-only state while the view is read-only
    QAccessible::Role role() const override;
    QAccessible::State state() const override;
    void* interface_cast(QAccessible::InterfaceType type) override;

    // ---- QAccessibleTextInterface
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override;
    int selectionCount() const override;
    void addSelection(int startOffset, int endOffset) override;
    void removeSelection(int selectionIndex) override;
    void setSelection(int selectionIndex, int startOffset, int endOffset) override;
    int cursorPosition() const override;
    void setCursorPosition(int position) override;
    QString text(int startOffset, int endOffset) const override;
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                             int* endOffset) const override;
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                            int* endOffset) const override;
    QString textAtOffset(int offset, QAccessible::TextBoundaryType boundaryType, int* startOffset,
                         int* endOffset) const override;
    int characterCount() const override;
    QRect characterRect(int offset) const override;
    int offsetAtPoint(const QPoint& point) const override;
    void scrollToSubstring(int startIndex, int endIndex) override;
    QString attributes(int offset, int* startOffset, int* endOffset) const override;

private:
    struct Span {
        qsizetype from = -1;  // history positions; from < 0: none
        qsizetype to = -1;
    };

    HistoryView* view() const;
    static HistoryAccessible* of(HistoryView* view);
    // History position <-> offset.
    qsizetype position(int offset) const { return base_ + offset; }
    int offsetOf(qsizetype position) const;
    Span unitAt(qsizetype position, QAccessible::TextBoundaryType boundary) const;
    QString reply(Span span, int* startOffset, int* endOffset) const;
    QString read(qsizetype from, qsizetype length) const;

    void announceAppended();
    void moveBaseIfFull();
    void send(QAccessibleEvent& event) const;

    QTimer announceTimer_;
    qsizetype base_ = 0;
    qsizetype announcedSize_ = 0;  // how much of the text the reader was told of
    quint64 frontChangesSeen_ = 0;
    qsizetype caretSeen_ = 0;
    qsizetype selectionStartSeen_ = -1;  // -1: no selection
    qsizetype selectionEndSeen_ = -1;
    QString removing_;  // what textChanging() saw go
};
