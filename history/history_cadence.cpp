#include "history_cadence.h"

#include <algorithm>

qint64 HistoryCadence::catchUpDelay(qint64 now) {
    if (pending_)
        return -1;
    pending_ = true;
    return lastCatchUp_ < 0 ? 0 : std::max<qint64>(0, kCatchUpMs - (now - lastCatchUp_));
}

bool HistoryCadence::catchUp(qint64 now, bool followingEnd, bool urgent) {
    pending_ = false;
    lastCatchUp_ = now;
    // While following a stream the bar only shows that more has come; it catches
    // up a few times a second, and at once when the stream stops or the user scrolls.
    const bool barDue = urgent || !followingEnd || lastScrollBar_ < 0 || now - lastScrollBar_ >= kScrollBarMs;
    if (barDue)
        lastScrollBar_ = now;
    return barDue;
}

qint64 HistoryCadence::scrollBarDelay(qint64 now) const {
    return lastScrollBar_ < 0 ? 0 : std::max<qint64>(0, kScrollBarMs - (now - lastScrollBar_));
}

void HistoryCadence::changed(qsizetype line) { unpainted_ = unpainted_ < 0 ? line : std::min(unpainted_, line); }

bool HistoryCadence::repaintDue(bool viewMoved) {
    const bool due = viewMoved || lastPainted_ < 0 || (unpainted_ >= 0 && unpainted_ <= lastPainted_);
    unpainted_ = -1;
    return due;
}

void HistoryCadence::painted(qsizetype lastLineInView) {
    lastPainted_ = lastLineInView;
    unpainted_ = -1;
}

void HistoryCadence::reset() { unpainted_ = lastPainted_ = -1; }
