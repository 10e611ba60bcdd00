#include "history_accessible.h"

#include "history_view_p.h"

#include <QFontMetrics>
#include <QtMath>

#include <algorithm>
#include <climits>
#include <utility>

using namespace history;

namespace {

// Set by tests only, on the window's thread.
QAccessible::UpdateHandler listenerForTests = nullptr;

bool listening() { return listenerForTests || QAccessible::isActive(); }

QAccessibleInterface* makeInterface(const QString& className, QObject* object) {
    if (className == QLatin1String("HistoryView"))
        if (auto* view = qobject_cast<HistoryView*>(object))
            return new HistoryAccessible(view);
    return nullptr;
}

}  // namespace

HistoryAccessible::HistoryAccessible(HistoryView* view)
    : QAccessibleWidget(view, QAccessible::EditableText),
      announcedSize_(view->d->store.size()),
      frontChangesSeen_(view->d->store.frontChanges()),
      caretSeen_(view->d->sel.caret()),
      selectionStartSeen_(view->d->sel.hasSelection() ? view->d->sel.start() : -1),
      selectionEndSeen_(view->d->sel.hasSelection() ? view->d->sel.end() : -1) {
    moveBaseIfFull();
    announceTimer_.setSingleShot(true);
    announceTimer_.setInterval(kAnnounceMs);
    QObject::connect(&announceTimer_, &QTimer::timeout, view, [this] { announceAppended(); });
}

void HistoryAccessible::install() {
    static const bool installed = (QAccessible::installFactory(makeInterface), true);
    Q_UNUSED(installed);
}

void HistoryAccessible::setListenerForTests(QAccessible::UpdateHandler listener) { listenerForTests = listener; }

HistoryView* HistoryAccessible::view() const { return static_cast<HistoryView*>(widget()); }

HistoryAccessible* HistoryAccessible::of(HistoryView* view) {
    return static_cast<HistoryAccessible*>(QAccessible::queryAccessibleInterface(view));
}

int HistoryAccessible::offsetOf(qsizetype position) const {
    return int(std::clamp<qsizetype>(position - base_, 0, view()->d->store.size() - base_));
}

void HistoryAccessible::send(QAccessibleEvent& event) const {
    if (listenerForTests)
        listenerForTests(&event);
    else
        QAccessible::updateAccessibility(&event);
}

QString HistoryAccessible::read(qsizetype from, qsizetype length) const {
    const std::string bytes = view()->d->store.text(from, length);
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// ---------------------------------------------------------------- announcements

// The view's hooks look their interface up only while someone listens: until
// then Qt makes none.
void HistoryAccessible::textAppended(HistoryView* view, qsizetype oldSize) {
    if (!listening())
        return;
    HistoryAccessible* self = of(view);
    if (!self->announceTimer_.isActive()) {
        // All that came before was told, or came while nobody listened.
        self->announcedSize_ = std::max(self->announcedSize_, oldSize);
        self->announceTimer_.start();
    }
}

void HistoryAccessible::announceAppended() {
    announceTimer_.stop();
    const HistoryStore& store = view()->d->store;
    if (store.frontChanges() != frontChangesSeen_) {
        // The store dropped its oldest lines (the disk failed): every position
        // moved. Start again from the text as it stands.
        frontChangesSeen_ = store.frontChanges();
        base_ = 0;
        announcedSize_ = store.size();
        moveBaseIfFull();
        return;
    }
    moveBaseIfFull();
    const qsizetype size = store.size();
    if (size <= announcedSize_) {
        announcedSize_ = size;
        return;
    }
    const qsizetype from = std::max(announcedSize_, size - kAnnounceLimit);
    announcedSize_ = size;
    if (from < base_)
        return;
    QAccessibleTextInsertEvent event(view(), offsetOf(from), read(from, size - from));
    send(event);
}

void HistoryAccessible::moveBaseIfFull() {
    const HistoryStore& store = view()->d->store;
    const qsizetype size = store.size();
    if (size - base_ <= kWindowCharacters)
        return;
    const qsizetype target = size - kWindowCharacters * 3 / 4;
    qsizetype newBase = store.lineStart(store.lineAt(target));
    if (newBase <= base_ || size - newBase > kWindowCharacters)
        newBase = target;  // one line longer than the window: cut inside it
    const qsizetype removed = newBase - base_;
    const QString excerpt = read(base_, std::min<qsizetype>(removed, kAnnounceLimit));
    base_ = newBase;
    if (listening()) {
        QAccessibleTextRemoveEvent event(view(), 0, excerpt);
        send(event);
    }
}

void HistoryAccessible::textChanging(HistoryView* view, qsizetype from, qsizetype removed) {
    if (!listening())
        return;
    HistoryAccessible* self = of(view);
    // What arrived before the edit is told first, at the offsets it had.
    self->announceAppended();
    const qsizetype start = std::max(from, self->base_);
    const qsizetype length = std::min<qsizetype>(from + removed - start, kAnnounceLimit);
    self->removing_ = length > 0 ? self->read(start, length) : QString();
}

void HistoryAccessible::textChanged(HistoryView* view, qsizetype from, qsizetype removed, qsizetype inserted) {
    if (!listening())
        return;
    HistoryAccessible* self = of(view);
    const QString gone = std::exchange(self->removing_, QString());
    if (removed > 0 && from + removed > self->base_ && !gone.isEmpty()) {
        QAccessibleTextRemoveEvent event(view, self->offsetOf(from), gone);
        self->send(event);
    }
    const HistoryStore& store = view->d->store;
    if (from < self->base_) {
        // The text was replaced from before the window (a clear or a new text):
        // the window starts again from the front.
        self->base_ = 0;
    }
    self->announcedSize_ = store.size();
    self->frontChangesSeen_ = store.frontChanges();
    self->moveBaseIfFull();
    if (inserted > 0) {
        const qsizetype end = from + inserted;
        const qsizetype start = std::max({from, end - kAnnounceLimit, self->base_});
        if (start < end) {
            QAccessibleTextInsertEvent event(view, self->offsetOf(start), self->read(start, end - start));
            self->send(event);
        }
    }
}

void HistoryAccessible::caretMoved(HistoryView* view) {
    if (!listening())
        return;
    HistoryAccessible* self = of(view);
    const HistorySelection& sel = view->d->sel;
    // Without a selection both ends are -1: a caret moving alone is not a selection change.
    const qsizetype start = sel.hasSelection() ? sel.start() : -1;
    const qsizetype end = sel.hasSelection() ? sel.end() : -1;
    const bool selectionMoved = start != self->selectionStartSeen_ || end != self->selectionEndSeen_;
    const bool caretMoved = sel.caret() != self->caretSeen_;
    self->caretSeen_ = sel.caret();
    self->selectionStartSeen_ = start;
    self->selectionEndSeen_ = end;
    if (selectionMoved) {
        QAccessibleTextSelectionEvent event(view, start < 0 ? -1 : self->offsetOf(start),
                                            end < 0 ? -1 : self->offsetOf(end));
        event.setCursorPosition(self->offsetOf(sel.caret()));
        self->send(event);
    } else if (caretMoved) {
        QAccessibleTextCursorEvent event(view, self->offsetOf(sel.caret()));
        self->send(event);
    }
}

// ---------------------------------------------------------------- QAccessibleInterface

// Read-only too it stays a text (with the read-only state), as Qt's own editors
// do: a reader then still offers caret browsing, which it does not in a label.
QAccessible::Role HistoryAccessible::role() const { return QAccessible::EditableText; }

QAccessible::State HistoryAccessible::state() const {
    QAccessible::State s = QAccessibleWidget::state();
    s.multiLine = true;
    s.selectableText = true;
    s.editable = !view()->isReadOnly();
    s.readOnly = view()->isReadOnly();
    return s;
}

void* HistoryAccessible::interface_cast(QAccessible::InterfaceType type) {
    if (type == QAccessible::TextInterface)
        return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
}

// ---------------------------------------------------------------- caret and selection

int HistoryAccessible::selectionCount() const { return view()->hasSelection() ? 1 : 0; }

void HistoryAccessible::selection(int selectionIndex, int* startOffset, int* endOffset) const {
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !view()->hasSelection())
        return;
    *startOffset = offsetOf(view()->d->sel.start());
    *endOffset = offsetOf(view()->d->sel.end());
}

// The history has one selection: adding one replaces it.
void HistoryAccessible::addSelection(int startOffset, int endOffset) { setSelection(0, startOffset, endOffset); }

void HistoryAccessible::removeSelection(int selectionIndex) {
    if (selectionIndex == 0 && view()->hasSelection())
        view()->setCaretPosition(view()->caretPosition());
}

void HistoryAccessible::setSelection(int selectionIndex, int startOffset, int endOffset) {
    if (selectionIndex != 0 || startOffset < 0 || endOffset < 0)
        return;
    view()->setSelection(position(startOffset), position(endOffset));
}

int HistoryAccessible::cursorPosition() const { return offsetOf(view()->caretPosition()); }

void HistoryAccessible::setCursorPosition(int offset) {
    if (offset < 0)
        return;
    view()->setCaretPosition(position(offset));
    view()->flushPendingLayout();
    view()->d->ensureVisible(view()->caretPosition());
}

// ---------------------------------------------------------------- text

int HistoryAccessible::characterCount() const {
    return int(std::min<qsizetype>(view()->d->store.size() - base_, INT_MAX));
}

QString HistoryAccessible::text(int startOffset, int endOffset) const {
    const int count = characterCount();
    if (endOffset < 0 || endOffset > count)
        endOffset = count;  // -1 asks for everything up to the end
    startOffset = std::clamp(startOffset, 0, endOffset);
    endOffset = std::min(endOffset, startOffset + kReadLimit);
    return read(position(startOffset), endOffset - startOffset);
}

// The unit of text around `position`: a character, a word (a run of one class
// of characters, or a line break alone), or a line with its break. Sentences and
// paragraphs are lines here: each is a record of its own.
HistoryAccessible::Span HistoryAccessible::unitAt(qsizetype position, QAccessible::TextBoundaryType boundary) const {
    const HistoryStore& store = view()->d->store;
    const qsizetype size = store.size();
    if (position < base_ || position > size)
        return {};
    if (boundary == QAccessible::NoBoundary)
        return {base_, std::min(size, base_ + kReadLimit)};
    if (boundary == QAccessible::CharBoundary)
        return position < size ? Span{position, position + 1} : Span{};
    const qsizetype line = store.lineAt(position);
    const qsizetype start = std::max(store.lineStart(line), base_);
    const qsizetype length = store.lineLength(line) - (start - store.lineStart(line));
    const bool hasBreak = line + 1 < store.lineCount();
    // A line is read only a kReadLimit piece at a time: the piece that holds `position`.
    const qsizetype pieceFrom = start + (std::min(position, start + length) - start) / kReadLimit * kReadLimit;
    const qsizetype pieceTo = std::min(start + length, pieceFrom + kReadLimit);
    if (boundary != QAccessible::WordBoundary) {
        const bool whole = pieceTo == start + length;
        return {pieceFrom, pieceTo + (whole && hasBreak ? 1 : 0)};
    }
    if (position >= start + length)
        return hasBreak ? Span{position, position + 1} : Span{};
    const std::string piece = store.text(pieceFrom, pieceTo - pieceFrom);
    const auto [a, b] = runAt(piece, std::size_t(position - pieceFrom));
    return {pieceFrom + qsizetype(a), pieceFrom + qsizetype(b)};
}

QString HistoryAccessible::reply(Span span, int* startOffset, int* endOffset) const {
    if (span.from < base_ || span.to < span.from) {
        *startOffset = *endOffset = -1;
        return {};
    }
    *startOffset = offsetOf(span.from);
    *endOffset = offsetOf(span.to);
    return read(span.from, std::min<qsizetype>(span.to - span.from, kReadLimit));
}

QString HistoryAccessible::textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* startOffset,
                                        int* endOffset) const {
    if (offset == -1)
        offset = characterCount();
    if (offset < 0 || offset > characterCount())
        return reply({}, startOffset, endOffset);
    const qsizetype at = position(offset);
    Span span = unitAt(at, boundary);
    // At the very end a line is still the last one; anything else is nothing.
    if (span.from < 0 && at > base_ && boundary != QAccessible::CharBoundary &&
        boundary != QAccessible::WordBoundary)
        span = unitAt(at - 1, boundary);
    return reply(span, startOffset, endOffset);
}

QString HistoryAccessible::textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int* startOffset,
                                            int* endOffset) const {
    if (offset == -1)
        offset = characterCount();
    if (offset <= 0 || offset > characterCount())
        return reply({}, startOffset, endOffset);
    const qsizetype at = position(offset);
    Span here = unitAt(at, boundary);
    if (here.from < 0)
        here = {at, at};
    return reply(here.from > base_ ? unitAt(here.from - 1, boundary) : Span{}, startOffset, endOffset);
}

QString HistoryAccessible::textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* startOffset,
                                           int* endOffset) const {
    if (offset == -1)
        offset = characterCount();
    if (offset < 0 || offset >= characterCount())
        return reply({}, startOffset, endOffset);
    const Span here = unitAt(position(offset), boundary);
    return reply(here.from < 0 ? Span{} : unitAt(here.to, boundary), startOffset, endOffset);
}

QString HistoryAccessible::attributes(int offset, int* startOffset, int* endOffset) const {
    // One plain run: the history has no formatting.
    Q_UNUSED(offset);
    *startOffset = 0;
    *endOffset = characterCount();
    return {};
}

// ---------------------------------------------------------------- geometry

// The character's box on the screen, or an empty rectangle when it is not in view.
QRect HistoryAccessible::characterRect(int offset) const {
    HistoryView::Private& d = *view()->d;
    if (offset < 0 || offset > characterCount())
        return {};
    const qsizetype at = position(offset);
    const qsizetype line = d.store.lineAt(at);
    if (line < d.firstLine)
        return {};
    const int height = view()->viewport()->height();
    int y = kMargin;
    for (qsizetype l = d.firstLine; l < line; ++l) {
        y += d.layoutFor(l).height;
        if (y >= height)
            return {};
    }
    const LineLayout& entry = d.layoutFor(line);
    const qsizetype local = std::min<qsizetype>(at - d.store.lineStart(line), entry.shownBytes);
    const QTextLine row = entry.rowOf(local);
    const qreal x = entry.xOf(local);
    qreal width = QFontMetrics(view()->font()).averageCharWidth();
    if (local < entry.shownBytes && entry.rowOf(local + 1).lineNumber() == row.lineNumber())
        width = std::max<qreal>(1, entry.xOf(local + 1) - x);
    const QRect box(d.textX() + qFloor(x), y + qFloor(row.y()), qCeil(width), qCeil(row.height()));
    if (box.top() >= height)
        return {};
    return QRect(view()->viewport()->mapToGlobal(box.topLeft()), box.size());
}

int HistoryAccessible::offsetAtPoint(const QPoint& point) const {
    const QPoint local = view()->viewport()->mapFromGlobal(point);
    if (!view()->viewport()->rect().contains(local))
        return -1;
    const qsizetype at = view()->d->positionAt(local);
    return at < base_ ? -1 : offsetOf(at);
}

void HistoryAccessible::scrollToSubstring(int startIndex, int endIndex) {
    if (startIndex < 0 || endIndex < startIndex || endIndex > characterCount())
        return;
    view()->flushPendingLayout();
    // The end first, so that the start wins when both do not fit.
    view()->d->ensureVisible(position(endIndex));
    view()->d->ensureVisible(position(startIndex));
}
