// The history widget's display: the public interface, scrolling, painting, the
// clipboard and what happens when memory runs out. Keys, mouse and input methods
// are in history_view_input.cpp.
#include "history_view_p.h"

#include "history_accessible.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionSlider>
#include <QStyleHints>
#include <QToolTip>
#include <QtMath>

#include <algorithm>
#include <climits>
#include <vector>

using namespace history;

namespace {

// The history's scroll bar, brought up to date in one step that repaints it
// only when it then looks different. While a stream is followed its range grows
// at every catch-up, but its handle stays the smallest at the end; repainting it
// anyway costs about as much as the text (gradient fills, which Qt's raster
// engine spreads over threads) and shows nothing new.
class HistoryScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

    void setState(int maximum, int pageStep, int value) {
        quiet_ = true;
        setRange(0, maximum);
        setPageStep(pageStep);
        setValue(value);
        quiet_ = false;
        if (look() != painted_)
            update();
    }

protected:
    void sliderChange(SliderChange change) override {
        if (!quiet_)
            QScrollBar::sliderChange(change);
    }
    void paintEvent(QPaintEvent* event) override {
        painted_ = look();
        QScrollBar::paintEvent(event);
    }

private:
    struct Look {
        QRect slider;
        bool empty = true, atStart = true, atEnd = true;
        bool operator==(const Look&) const = default;
    };
    Look look() const {
        QStyleOptionSlider option;
        initStyleOption(&option);
        return {style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this),
                minimum() == maximum(), value() == minimum(), value() == maximum()};
    }
    bool quiet_ = false;
    Look painted_{QRect(-1, -1, 0, 0)};
};

}  // namespace

std::string history::toLatin1(const QString& text) {
    std::string out;
    out.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        // A surrogate pair is one character.
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode()))
            ++i;
        out.push_back(c <= 0xff ? char(c) : '?');
    }
    return out;
}

QString history::sizeText(qsizetype bytes) {
    if (bytes < 1024)
        return QStringLiteral("%1 bytes").arg(bytes);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(QString::number(value, 'f', value < 10 ? 1 : 0), QLatin1String(units[unit]));
}

// ---------------------------------------------------------------- layout and scrolling

int HistoryView::Private::rowsPerPage() const {
    return std::max(1, availableHeight() / std::max(1, QFontMetrics(q->font()).lineSpacing()));
}

void HistoryView::Private::markChanged(qsizetype line) {
    layouts.invalidateFrom(line);
    cadence.changed(line);
}

// The smallest top line that still shows the last line whole: a page of lines
// is laid out, never more.
qsizetype HistoryView::Private::computeMaxFirst() {
    const int available = availableHeight();
    qsizetype line = store.lineCount() - 1;
    int height = layoutFor(line).height;
    while (line > 0) {
        const int above = layoutFor(line - 1).height;
        if (height + above > available)
            break;
        height += above;
        --line;
    }
    return line;
}

void HistoryView::Private::scheduleSync() {
    const qint64 wait = cadence.catchUpDelay(clock.elapsed());
    if (wait >= 0)
        syncTimer.start(int(wait), q);
}

// Brings the scroll bar up to the text; while the end is in view it stays there.
void HistoryView::Private::sync(bool urgent) {
    syncTimer.stop();
    // The store dropped its oldest lines (the disk was full): every line number
    // kept here points elsewhere now.
    if (store.frontChanges() != frontChangesSeen) {
        frontChangesSeen = store.frontChanges();
        sel.reset();
        layouts.clear();
        cadence.reset();
        firstLine = std::min(firstLine, store.lineCount() - 1);
    }
    const qsizetype oldFirst = firstLine;
    maxFirst = computeMaxFirst();
    if (followEnd || firstLine >= maxFirst) {
        firstLine = maxFirst;
        followEnd = true;
    }
    const qint64 now = clock.elapsed();
    if (cadence.catchUp(now, followEnd, urgent)) {
        scrollBarTimer.stop();
        settingScroll = true;
        // The view made this bar when it was made.
        static_cast<HistoryScrollBar*>(q->verticalScrollBar())
            ->setState(toBar(maxFirst), std::max(1, toBar(rowsPerPage())), toBar(firstLine));
        settingScroll = false;
    } else if (!scrollBarTimer.isActive()) {
        // While text streams in, a catch-up brings the bar along once it is due;
        // the timer only makes sure it comes when the stream stops, so the bar
        // never costs a repaint of its own.
        scrollBarTimer.start(int(cadence.scrollBarDelay(now) + HistoryCadence::kCatchUpMs), q);
    }
    if (cadence.repaintDue(firstLine != oldFirst))
        q->viewport()->update();
    layouts.prune(firstLine - 16, std::max(cadence.lastPainted(), firstLine) + 16, maxFirst - 16);
}

// The scroll bar counts lines; past INT_MAX lines it counts fractions of the text.
int HistoryView::Private::toBar(qsizetype line) const {
    if (maxFirst <= INT_MAX)
        return int(std::min<qsizetype>(line, INT_MAX));
    return int(double(std::min(line, maxFirst)) / double(maxFirst) * INT_MAX);
}

qsizetype HistoryView::Private::fromBar(int value) const {
    if (maxFirst <= INT_MAX)
        return value;
    return value >= INT_MAX ? maxFirst : qsizetype(double(value) / INT_MAX * double(maxFirst));
}

// A scroll the user asked for: following the end depends on where it lands.
void HistoryView::Private::setFirstLine(qsizetype line) {
    line = std::clamp<qsizetype>(line, 0, maxFirst);
    followEnd = line >= maxFirst;
    if (line == firstLine)
        return;
    firstLine = line;
    settingScroll = true;
    q->verticalScrollBar()->setValue(toBar(line));
    settingScroll = false;
    q->viewport()->update();
}

void HistoryView::Private::ensureVisible(qsizetype position) {
    const qsizetype line = store.lineAt(position);
    if (line < firstLine) {
        setFirstLine(line);
        return;
    }
    const int available = availableHeight();
    int height = 0;
    for (qsizetype l = firstLine; l <= line; ++l) {
        height += layoutFor(l).height;
        if (height > available)
            break;
    }
    if (height <= available)
        return;
    qsizetype top = line;
    height = layoutFor(line).height;
    while (top > 0 && height + layoutFor(top - 1).height <= available) {
        height += layoutFor(top - 1).height;
        --top;
    }
    setFirstLine(top);
}

qsizetype HistoryView::Private::positionAt(QPoint point) {
    const qsizetype lines = store.lineCount();
    const int py = std::clamp(point.y(), 0, std::max(0, q->viewport()->height() - 1));
    int y = kMargin;
    for (qsizetype line = std::min(firstLine, lines - 1);; ++line) {
        const LineLayout& entry = layoutFor(line);
        if (py < y + entry.height || line + 1 == lines)
            return store.lineStart(line) + entry.byteAt(entry.rowAtY(py - y), point.x() - textX());
        y += entry.height;
    }
}

// Where the caret is drawn, in the viewport; empty when its line is not in view.
QRect HistoryView::Private::caretRect() {
    const qsizetype line = sel.caretLine();
    if (line < firstLine)
        return {};
    int y = kMargin;
    for (qsizetype l = firstLine; l < line; ++l) {
        y += layoutFor(l).height;
        if (y > q->viewport()->height())
            return {};
    }
    const LineLayout& entry = layoutFor(line);
    const qsizetype local = sel.caret() - store.lineStart(line);
    const QTextLine row = entry.rowOf(local);
    const int x = textX() + qFloor(entry.xOf(local));
    return QRect(x - 1, y + qFloor(row.y()), 3, qCeil(row.height()));
}

// Every change of the caret or the selection ends here.
void HistoryView::Private::restartBlink() {
    HistoryAccessible::caretMoved(q);
    caretOn = true;
    blinkTimer.stop();
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (flash > 0 && q->hasFocus())
        blinkTimer.start(flash / 2, q);
}

void HistoryView::Private::setCaret(qsizetype position, bool keepAnchor) {
    sel.setCaret(position, keepAnchor);
    restartBlink();
    q->viewport()->update();
}

void HistoryView::Private::reset() {
    sel.reset();
    firstLine = 0;
    preferredX = -1;
    layouts.clear();
    cadence.reset();
    outOfMemory = false;
    layouts.resetOutOfMemory();
}

// ---------------------------------------------------------------- times before lines

QString HistoryView::Private::stampText(qsizetype line) const {
    const qsizetype last = store.lineCount() - 1;
    // The last line has not begun while it is empty.
    if (stamps.mode() == TimestampMode::None || line < 0 || line > last || (line == last && store.lineLength(line) == 0))
        return {};
    const std::int64_t time = store.lineTime(line);
    return QString::fromLatin1(stamps.prefix(time, line > 0 ? store.lineTime(line - 1) : time)).trimmed();
}

int HistoryView::Private::stampGap() const { return QFontMetrics(q->font()).horizontalAdvance(QLatin1Char(' ')); }

bool HistoryView::Private::fitStampColumn(int width) {
    if (width + stampGap() <= stampColumn)
        return false;
    stampColumn = width + stampGap();
    scheduleSync();  // the lines wrap narrower: heights change
    return true;
}

void HistoryView::Private::resetStampColumn() {
    // The usual width from the start, so that the column seldom has to grow.
    static const char* const kTypical[] = {"", "00:00:00.000", "+0.000", "+0.000"};
    stampColumn = 0;
    if (stamps.mode() != TimestampMode::None)
        fitStampColumn(QFontMetrics(q->font()).horizontalAdvance(QLatin1String(kTypical[int(stamps.mode())])));
}

void HistoryView::setTimestampMode(TimestampMode mode) {
    if (mode == d->stamps.mode())
        return;
    d->stamps.setMode(mode);
    if (d->log.isOpen())
        d->log.note("[timestamps: " + HistoryStamps::name(mode).toStdString() + "]");
    d->resetStampColumn();
    d->sync();
    viewport()->update();
}

TimestampMode HistoryView::timestampMode() const { return d->stamps.mode(); }

void HistoryView::noteConnect(const HistoryTime& time) { d->stamps.noteConnect(time.mono); }

QString HistoryView::timestampText(qsizetype line) const { return d->stampText(line); }

const HistoryStamps& HistoryView::stamps() const { return d->stamps; }

// ---------------------------------------------------------------- clipboard and notices

// Built a piece at a time, so a copy needs little more than the QString it makes.
QString HistoryView::Private::text(qsizetype from, qsizetype length) const {
    QString out(length, Qt::Uninitialized);
    auto* to = reinterpret_cast<char16_t*>(out.data());
    std::vector<char> piece(std::size_t(std::min<qsizetype>(length, qsizetype{1} << 20)));
    for (qsizetype done = 0; done < length;) {
        const qsizetype n = std::min(qsizetype(piece.size()), length - done);
        store.copyTo(from + done, n, piece.data());
        for (qsizetype i = 0; i < n; ++i)
            *to++ = static_cast<unsigned char>(piece[std::size_t(i)]);
        done += n;
    }
    return out;
}

void HistoryView::Private::copyTo(QClipboard::Mode mode) {
    const HistorySelection::Span span = sel.copySpan(copyLimit);
    if (span.length == 0)
        return;
    QString copied;
    try {
        copied = text(span.from, span.length);
    } catch (const std::bad_alloc&) {
        notify(tr("Not enough memory to copy %1").arg(sizeText(span.length)));
        return;
    }
    QGuiApplication::clipboard()->setText(copied, mode);
    if (span.length < sel.length())
        notify(tr("Copied the last %1 of %2 selected; use Save History As\u2026 for all of it")
                   .arg(sizeText(span.length), sizeText(sel.length())));
}

void HistoryView::Private::notify(const QString& message) {
    QToolTip::showText(q->viewport()->mapToGlobal(QPoint(kMargin, kMargin)), message, q->viewport());
    emit q->notice(message);
}

void HistoryView::Private::ranOutOfMemory() {
    outOfMemory = true;
    layouts.clear();
    notify(tr("Out of memory: the history takes no more text until it is cleared"));
    q->viewport()->update();
}

// ---------------------------------------------------------------- HistoryView

HistoryView::HistoryView(QWidget* parent) : QAbstractScrollArea(parent), d(std::make_unique<Private>(this)) {
    HistoryAccessible::install();
    setVerticalScrollBar(new HistoryScrollBar(Qt::Vertical, this));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setBackgroundRole(QPalette::Base);
    viewport()->setAutoFillBackground(true);
    verticalScrollBar()->setSingleStep(1);
    // Painted whole, so its updates need not repaint the group boxes beneath it.
    verticalScrollBar()->setAutoFillBackground(true);
    verticalScrollBar()->setAttribute(Qt::WA_OpaquePaintEvent);
    d->sync();
}

HistoryView::~HistoryView() = default;

void HistoryView::appendLatin1(std::string_view bytes) { appendLatin1(bytes, HistoryTime::now()); }

void HistoryView::appendLatin1(std::string_view bytes, const HistoryTime& time) {
    if (bytes.empty())
        return;
    d->stamps.noteTime(time);
    const qsizetype lines = d->store.lineCount();
    if (d->stamps.mode() == TimestampMode::None || !d->log.isOpen()) {
        d->log.add(bytes);  // even when the history can keep no more
    } else {
        // The first line these bytes begin follows the last line, or the one
        // before it when the last has not begun yet; the others follow at once.
        const qsizetype previous = d->store.lineLength(lines - 1) == 0 ? lines - 2 : lines - 1;
        const std::int64_t before = previous >= 0 ? d->store.lineTime(previous) : time.mono;
        d->log.add(bytes, d->stamps.prefix(time.mono, before), d->stamps.prefix(time.mono, time.mono));
    }
    if (isOutOfMemory())
        return;
    const qsizetype size = d->store.size();
    d->markChanged(lines - 1);
    d->guarded([&] { d->store.append(bytes, time.mono); });
    d->sel.appended(lines);
    d->scheduleSync();
    HistoryAccessible::textAppended(this, size);
}

void HistoryView::appendText(const QString& text) {
    std::string bytes;
    if (d->guarded([&] { bytes = toLatin1(text); }))
        appendLatin1(bytes);
}

bool HistoryView::isOutOfMemory() const {
    return d->outOfMemory || d->layouts.ranOutOfMemory() || d->store.stoppedGrowing();
}

void HistoryView::clear() {
    const qsizetype removed = d->store.size();
    HistoryAccessible::textChanging(this, 0, removed);
    d->store.clear();
    d->reset();
    HistoryAccessible::textChanged(this, 0, removed, 0);
    d->followEnd = true;
    d->sync();
    viewport()->update();
}

void HistoryView::setPlainText(const QString& text) {
    const qsizetype removed = d->store.size();
    HistoryAccessible::textChanging(this, 0, removed);
    d->store.clear();
    d->reset();
    d->guarded([&] { d->store.append(toLatin1(text)); });
    HistoryAccessible::textChanged(this, 0, removed, d->store.size());
    d->followEnd = false;  // like any editor, a new text is shown from its top
    d->sync();
    viewport()->update();
}

QString HistoryView::toPlainText() const { return d->text(0, d->store.size()); }

qsizetype HistoryView::lineCount() const { return d->store.lineCount(); }

qsizetype HistoryView::characterCount() const { return d->store.size(); }

qsizetype HistoryView::caretPosition() const { return d->sel.caret(); }

void HistoryView::setCaretPosition(qsizetype position) {
    d->preferredX = -1;
    d->setCaret(position, false);
}

void HistoryView::setSelection(qsizetype anchor, qsizetype position) {
    d->preferredX = -1;
    d->sel.select(anchor, position);
    d->restartBlink();
    viewport()->update();
}

bool HistoryView::hasSelection() const { return d->sel.hasSelection(); }

std::pair<qsizetype, qsizetype> HistoryView::selectionRange() const { return {d->sel.start(), d->sel.end()}; }

void HistoryView::showRange(qsizetype from, qsizetype to) {
    d->sync();
    const qsizetype size = d->store.size();
    d->ensureVisible(std::clamp<qsizetype>(to, 0, size));
    d->ensureVisible(std::clamp<qsizetype>(from, 0, size));
    d->followEnd = false;
}

QString HistoryView::selectedText() const { return d->text(d->sel.start(), d->sel.length()); }

void HistoryView::selectAll() { setSelection(0, d->store.size()); }

void HistoryView::copy() const { d->copyTo(QClipboard::Clipboard); }

void HistoryView::setCopyLimit(qsizetype characters) { d->copyLimit = std::max<qsizetype>(characters, 1); }

qsizetype HistoryView::copyLimit() const { return d->copyLimit; }

void HistoryView::setReadOnly(bool readOnly) {
    d->readOnly = readOnly;
    setAttribute(Qt::WA_InputMethodEnabled, !readOnly);
}

bool HistoryView::isReadOnly() const { return d->readOnly; }

bool HistoryView::isShowingEnd() const { return d->followEnd; }

const HistoryStore& HistoryView::store() const { return d->store; }

void HistoryView::flushPendingLayout() { d->sync(); }

void HistoryView::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    const QPalette& pal = palette();
    painter.setPen(pal.color(QPalette::Text));
    QTextCharFormat selected;
    selected.setBackground(pal.brush(QPalette::Highlight));
    selected.setForeground(pal.brush(QPalette::HighlightedText));
    QTextCharFormat notation;
    notation.setBackground(pal.brush(QPalette::AlternateBase));
    notation.setForeground(pal.brush(QPalette::PlaceholderText));
    const bool drawCaret = hasFocus() && d->caretOn && isEnabled();
    const qsizetype caretLine = drawCaret ? d->sel.caretLine() : -1;
    const int breakWidth = std::max(2, QFontMetrics(font()).horizontalAdvance(QLatin1Char(' ')));
    const qsizetype lines = d->store.lineCount();
    const int bottom = std::min(viewport()->height(), event->rect().bottom() + 1);
    const int top = event->rect().top();

    int y = kMargin;
    qsizetype line = std::min(d->firstLine, lines - 1);
    QList<QTextLayout::FormatRange> ranges;
    for (; line < lines && y < bottom; ++line) {
        const LineLayout& entry = d->layoutFor(line);
        if (y + entry.height > top) {
            ranges.clear();
            for (const LineLayout::Shown& shown : entry.shown)
                ranges.append({shown.at, shown.width, notation});
            const qsizetype start = d->store.lineStart(line);
            const HistorySelection::LinePart part = d->sel.partOn(start, entry.bytes, line + 1 < lines);
            if (part.from < part.to) {
                const int a = entry.toLayout(part.from);
                ranges.append({a, entry.toLayout(part.to) - a, selected});
            }
            const QPointF origin(d->textX(), y);
            if (d->stampColumn > 0) {
                const QString stamp = d->stampText(line);
                const int width = QFontMetrics(font()).horizontalAdvance(stamp);
                if (d->fitStampColumn(width)) {
                    viewport()->update();  // everything moves over: this paint is redone
                    return;
                }
                const QTextLine first = entry.layout.lineAt(0);
                painter.drawText(QPointF(d->textX() - d->stampGap() - width, y + first.y() + first.ascent()), stamp);
            }
            entry.layout.draw(&painter, origin, ranges);
            if (part.withBreak) {
                // The selected break shows as a little highlight after the line's end.
                const QTextLine last = entry.layout.lineAt(entry.rowCount() - 1);
                painter.fillRect(QRectF(d->textX() + entry.xOf(entry.bytes), y + last.y(), breakWidth, last.height()),
                                 pal.brush(QPalette::Highlight));
            }
            if (line == caretLine)
                entry.layout.drawCursor(&painter, origin, entry.toLayout(d->sel.caret() - start), 1);
        }
        y += entry.height;
    }
    d->cadence.painted(line - 1);
    d->layouts.prune(d->firstLine - 16, line + 15, d->maxFirst - 16);
    if (isOutOfMemory()) {
        const QString message = tr("Out of memory: later text is not kept");
        const int h = QFontMetrics(font()).height() + 2;
        const QRect strip(0, viewport()->height() - h, viewport()->width(), h);
        painter.fillRect(strip, pal.brush(QPalette::ToolTipBase));
        painter.setPen(pal.color(QPalette::ToolTipText));
        painter.drawText(strip.adjusted(kMargin, 0, -kMargin, 0), Qt::AlignVCenter | Qt::AlignLeft, message);
    }
}

void HistoryView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    d->sync();
}

void HistoryView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        d->layouts.clear();
        d->resetStampColumn();
        d->sync();
        viewport()->update();
    }
}

void HistoryView::scrollContentsBy(int, int) {
    if (d->settingScroll)
        return;
    d->firstLine = d->fromBar(verticalScrollBar()->value());
    d->followEnd = d->firstLine >= d->maxFirst;
    viewport()->update();
}

void HistoryView::timerEvent(QTimerEvent* event) {
    if (event->timerId() == d->syncTimer.timerId()) {
        d->sync(false);
    } else if (event->timerId() == d->scrollBarTimer.timerId()) {
        d->sync();
    } else if (event->timerId() == d->blinkTimer.timerId()) {
        d->caretOn = !d->caretOn;
        viewport()->update(d->caretRect());
    } else if (event->timerId() == d->saveTimer.timerId()) {
        d->watchSave();
    } else if (event->timerId() == d->dragTimer.timerId()) {
        if (d->dragPos.y() < 0)
            d->setFirstLine(d->firstLine - 1);
        else if (d->dragPos.y() >= viewport()->height())
            d->setFirstLine(d->firstLine + 1);
        else
            d->dragTimer.stop();
        d->setCaret(d->positionAt(d->dragPos), true);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
