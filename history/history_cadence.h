#pragma once
// How often the history catches up with text streaming in, and when it repaints.
// Laying out the end, moving the scroll bar and repainting cost far more than an
// append, so under a flood of appends the view catches up at most 10 times a
// second, and while it follows the end its scroll bar, whose every repaint costs as
// much as the text's, only 4 times a second. A lone append shows on the next pass
// of the event loop; a scroll, an edit or a resize at once.
//
// Times are milliseconds on one steady clock, passed in so the rules can be
// checked without waiting.

#include <QtGlobal>

class HistoryCadence {
public:
    static constexpr qint64 kCatchUpMs = 100;
    static constexpr qint64 kScrollBarMs = 250;

    // Text was appended at `now`: in how many milliseconds the view should catch
    // up (0: on the next pass of the event loop), or -1 when it already will.
    qint64 catchUpDelay(qint64 now);
    bool catchUpPending() const { return pending_; }
    // The view catches up at `now`. `urgent` when the user waits for it (a scroll,
    // an edit, a resize). Returns whether the scroll bar is brought up to date
    // too; when it is not, scrollBarDelay() says when it should be.
    bool catchUp(qint64 now, bool followingEnd, bool urgent);
    qint64 scrollBarDelay(qint64 now) const;

    // Lines from `line` on changed since the last paint.
    void changed(qsizetype line);
    // Whether a catch-up must repaint: when the view moved or a changed line is in
    // view. Either way the changes are then accounted for.
    bool repaintDue(bool viewMoved);
    void painted(qsizetype lastLineInView);
    qsizetype lastPainted() const { return lastPainted_; }
    // The text was replaced whole: the next catch-up repaints.
    void reset();

private:
    qint64 lastCatchUp_ = -1;
    qint64 lastScrollBar_ = -1;
    bool pending_ = false;
    qsizetype unpainted_ = -1;  // the first line changed since the last paint
    qsizetype lastPainted_ = -1;
};
