#include "history_view.h"

#include "history_store.h"

#include <QAction>
#include <QBasicTimer>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleHints>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>
#include <climits>
#include <map>

namespace {

constexpr int kMargin = 3;
// Under a flood of appends the view catches up at most this often (a lone append
// shows at once), and the scroll bar, whose every repaint costs as much as the
// text's, less often still.
constexpr int kSyncIntervalMs = 66;
constexpr int kScrollBarIntervalMs = 250;
constexpr int kDragScrollMs = 50;
constexpr std::size_t kLayoutCacheLimit = 256;
constexpr qsizetype kInputMethodTextLimit = 4096;


// One character, one byte: what Latin-1 cannot hold becomes '?', a surrogate pair
// included, since it is one character.
std::string toLatin1(const QString& text) {
    std::string out;
    out.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode()))
            ++i;
        out.push_back(c <= 0xff ? char(c) : '?');
    }
    return out;
}

enum class CharClass { Space, Word, Other };

CharClass classOf(char c) {
    if (c == ' ' || c == '\t')
        return CharClass::Space;
    const QChar ch(char16_t(static_cast<unsigned char>(c)));
    return ch.isLetterOrNumber() || c == '_' ? CharClass::Word : CharClass::Other;
}

int toBar(qsizetype line) { return int(std::min<qsizetype>(line, INT_MAX)); }

bool isPrintable(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() != 0x7f; });
}

enum class Motion { Left, Right, WordLeft, WordRight, Up, Down, RowStart, RowEnd, PageUp, PageDown, Start, End };

struct KeyMotion {
    QKeySequence::StandardKey move;
    QKeySequence::StandardKey select;
    Motion motion;
};

constexpr KeyMotion kKeyMotions[] = {
    {QKeySequence::MoveToNextChar, QKeySequence::SelectNextChar, Motion::Right},
    {QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar, Motion::Left},
    {QKeySequence::MoveToNextWord, QKeySequence::SelectNextWord, Motion::WordRight},
    {QKeySequence::MoveToPreviousWord, QKeySequence::SelectPreviousWord, Motion::WordLeft},
    {QKeySequence::MoveToNextLine, QKeySequence::SelectNextLine, Motion::Down},
    {QKeySequence::MoveToPreviousLine, QKeySequence::SelectPreviousLine, Motion::Up},
    {QKeySequence::MoveToStartOfLine, QKeySequence::SelectStartOfLine, Motion::RowStart},
    {QKeySequence::MoveToEndOfLine, QKeySequence::SelectEndOfLine, Motion::RowEnd},
    {QKeySequence::MoveToNextPage, QKeySequence::SelectNextPage, Motion::PageDown},
    {QKeySequence::MoveToPreviousPage, QKeySequence::SelectPreviousPage, Motion::PageUp},
    {QKeySequence::MoveToStartOfDocument, QKeySequence::SelectStartOfDocument, Motion::Start},
    {QKeySequence::MoveToEndOfDocument, QKeySequence::SelectEndOfDocument, Motion::End},
};

// How many characters a byte takes on screen. Control bytes, which fonts draw as
// nothing or as an empty box, are shown in caret notation (^M, ^@, ^?) and the C1
// controls 0x80-0x9F as <80>..<9F>, set off in their own colours, so that a terminal
// user sees exactly what arrived.
int shownWidth(unsigned char b) {
    if (b < 0x20 || b == 0x7f)
        return 2;
    if (b >= 0x80 && b < 0xa0)
        return 4;
    return 1;
}

// One logical line laid out for the screen. Positions inside it are bytes of the
// line; the layout's own positions differ where a byte is shown in notation.
struct LineLayout {
    struct Shown {
        int byte;
        int at;  // where its notation starts in the layout's text
        int width;
    };

    LineLayout(std::string_view line, const QFont& font, const QPaintDevice* device)
        : layout(QString(), font, device), bytes(int(line.size())) {
        static const char hex[] = "0123456789ABCDEF";
        QString text;
        text.reserve(qsizetype(line.size()));
        for (int i = 0; i < bytes; ++i) {
            const auto b = static_cast<unsigned char>(line[std::size_t(i)]);
            const int width = shownWidth(b);
            if (width == 1) {
                // A soft hyphen would vanish inside a row.
                text += QChar(char16_t(b == 0xad ? '-' : b));
                continue;
            }
            shown.push_back({i, int(text.size()), width});
            if (width == 2) {
                text += QLatin1Char('^');
                text += QLatin1Char(b == 0x7f ? '?' : char(b + 0x40));
            } else {
                text += QLatin1Char('<');
                text += QLatin1Char(hex[b >> 4]);
                text += QLatin1Char(hex[b & 15]);
                text += QLatin1Char('>');
            }
        }
        layout.setText(text);
    }

    int toLayout(int byte) const {
        auto it = std::lower_bound(shown.begin(), shown.end(), byte, [](const Shown& s, int b) { return s.byte < b; });
        if (it == shown.begin())
            return byte;
        --it;
        return it->at + it->width + (byte - it->byte - 1);
    }
    // A layout position inside a notation goes to the nearer end of its byte.
    int toByte(int pos) const {
        auto it = std::upper_bound(shown.begin(), shown.end(), pos, [](int p, const Shown& s) { return p < s.at; });
        if (it == shown.begin())
            return pos;
        --it;
        if (pos < it->at + it->width)
            return it->byte + (2 * (pos - it->at) >= it->width ? 1 : 0);
        return it->byte + 1 + (pos - it->at - it->width);
    }
    QTextLine rowOf(int byte) const {
        const QTextLine row = layout.lineForTextPosition(toLayout(byte));
        return row.isValid() ? row : layout.lineAt(layout.lineCount() - 1);
    }
    qreal xOf(int byte) const { return rowOf(byte).cursorToX(toLayout(byte)); }
    int byteAt(const QTextLine& row, qreal x) const { return toByte(row.xToCursor(x)); }

    QTextLayout layout;
    int bytes;
    int height = 0;
    std::vector<Shown> shown;
};

}  // namespace

struct HistoryView::Private {
    explicit Private(HistoryView* view) : q(view) {}

    HistoryView* q;
    HistoryStore store;
    qsizetype caret = 0;
    qsizetype anchor = 0;
    qsizetype firstLine = 0;  // the top line in view, mirrored by the scroll bar
    qsizetype maxFirst = 0;   // the top line when the end is in view
    bool followEnd = true;
    bool settingScroll = false;
    qsizetype staleFrom = -1;   // cached layouts from this line on no longer match the text
    qsizetype unpainted = -1;   // the first line changed since the last paint
    qsizetype lastPainted = -1;
    std::map<qsizetype, std::unique_ptr<LineLayout>> layouts;  // only lines near the view or the end
    int layoutWidth = -1;
    qreal preferredX = -1;  // the column Up and Down keep to
    bool caretOn = true;
    bool dragging = false;
    QPoint dragPos;
    QBasicTimer syncTimer;
    QBasicTimer blinkTimer;
    QBasicTimer dragTimer;
    QElapsedTimer sinceSync;
    QElapsedTimer sinceScrollBar;
    QBasicTimer scrollBarTimer;

    qsizetype selStart() const { return std::min(caret, anchor); }
    qsizetype selEnd() const { return std::max(caret, anchor); }
    int wrapWidth() const { return std::max(1, q->viewport()->width() - 2 * kMargin); }
    int availableHeight() const { return std::max(1, q->viewport()->height() - 2 * kMargin); }

    void markChanged(qsizetype line);
    LineLayout& layoutFor(qsizetype line);
    void pruneLayouts();
    qsizetype computeMaxFirst();
    void scheduleSync();
    // Scroll bar included unless it was brought up to date only a moment ago and
    // the view follows the end.
    void sync(bool wholeScrollBar = true);
    void setFirstLine(qsizetype line);
    void ensureVisible(qsizetype position);
    qsizetype positionAt(QPoint point);
    QRect caretRect();

    void setCaret(qsizetype position, bool keepAnchor);
    void restartBlink();
    qsizetype verticalStep(qsizetype position, int direction);
    qsizetype wordStep(qsizetype position, bool forward) const;
    qsizetype rowEdge(qsizetype position, bool end);
    void move(Motion motion, bool select);

    void replaceSelection(std::string_view bytes);
    void deleteChar(bool forward);
    void cut();
    void paste();
    void reset();
};

// ---------------------------------------------------------------- layout and scrolling

void HistoryView::Private::markChanged(qsizetype line) {
    staleFrom = staleFrom < 0 ? line : std::min(staleFrom, line);
    unpainted = unpainted < 0 ? line : std::min(unpainted, line);
}

LineLayout& HistoryView::Private::layoutFor(qsizetype line) {
    if (staleFrom >= 0) {
        layouts.erase(layouts.lower_bound(staleFrom), layouts.end());
        staleFrom = -1;
    }
    const int width = wrapWidth();
    if (width != layoutWidth) {
        layouts.clear();
        layoutWidth = width;
    }
    auto found = layouts.find(line);
    if (found != layouts.end())
        return *found->second;

    auto entry = std::make_unique<LineLayout>(store.lineText(line), q->font(), q->viewport());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    option.setTextDirection(Qt::LeftToRight);
    QTextLayout& layout = entry->layout;
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    qreal y = 0;
    for (QTextLine row = layout.createLine(); row.isValid(); row = layout.createLine()) {
        row.setLineWidth(width);
        row.setPosition(QPointF(0, y));
        y += row.height();
    }
    layout.endLayout();
    entry->height = std::max(1, qCeil(y));
    return *layouts.emplace(line, std::move(entry)).first->second;
}

// Keeps the layouts of the lines in view and of the last page; the rest go.
void HistoryView::Private::pruneLayouts() {
    if (layouts.size() <= kLayoutCacheLimit)
        return;
    const qsizetype keepFrom = firstLine - 16;
    const qsizetype keepTo = std::max(lastPainted, firstLine) + 16;
    const qsizetype endFrom = maxFirst - 16;
    for (auto it = layouts.begin(); it != layouts.end();) {
        const qsizetype line = it->first;
        const bool keep = (line >= keepFrom && line <= keepTo) || line >= endFrom;
        it = keep ? std::next(it) : layouts.erase(it);
    }
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
    if (syncTimer.isActive())
        return;
    qint64 wait = 0;
    if (sinceSync.isValid())
        wait = std::max<qint64>(0, kSyncIntervalMs - sinceSync.elapsed());
    syncTimer.start(int(wait), q);
}

// Brings the scroll bar up to the text; while the end is in view it stays there.
void HistoryView::Private::sync(bool wholeScrollBar) {
    syncTimer.stop();
    sinceSync.start();
    const qsizetype oldFirst = firstLine;
    maxFirst = computeMaxFirst();
    if (followEnd || firstLine >= maxFirst) {
        firstLine = maxFirst;
        followEnd = true;
    }
    // While following a stream the bar only shows that more has come; it catches up
    // a few times a second, and at once when the stream stops or the user scrolls.
    const bool barDue = wholeScrollBar || !followEnd || !sinceScrollBar.isValid() ||
                        sinceScrollBar.elapsed() >= kScrollBarIntervalMs;
    if (barDue) {
        scrollBarTimer.stop();
        sinceScrollBar.start();
        QScrollBar* bar = q->verticalScrollBar();
        settingScroll = true;
        bar->setRange(0, toBar(maxFirst));
        bar->setPageStep(std::max(1, availableHeight() / std::max(1, QFontMetrics(q->font()).lineSpacing())));
        bar->setValue(toBar(firstLine));
        settingScroll = false;
    } else if (!scrollBarTimer.isActive()) {
        scrollBarTimer.start(int(kScrollBarIntervalMs - sinceScrollBar.elapsed()), q);
    }
    if (firstLine != oldFirst || lastPainted < 0 || (unpainted >= 0 && unpainted <= lastPainted))
        q->viewport()->update();
    unpainted = -1;
    pruneLayouts();
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
        LineLayout& entry = layoutFor(line);
        if (py < y + entry.height || line + 1 == lines) {
            const QTextLayout& layout = entry.layout;
            QTextLine row = layout.lineAt(layout.lineCount() - 1);
            for (int r = 0; r < layout.lineCount(); ++r) {
                const QTextLine candidate = layout.lineAt(r);
                if (py - y < candidate.y() + candidate.height()) {
                    row = candidate;
                    break;
                }
            }
            return store.lineStart(line) + entry.byteAt(row, point.x() - kMargin);
        }
        y += entry.height;
    }
}

// Where the caret is drawn, in the viewport; empty when its line is not in view.
QRect HistoryView::Private::caretRect() {
    const qsizetype line = store.lineAt(caret);
    if (line < firstLine)
        return {};
    int y = kMargin;
    for (qsizetype l = firstLine; l < line; ++l) {
        y += layoutFor(l).height;
        if (y > q->viewport()->height())
            return {};
    }
    const LineLayout& entry = layoutFor(line);
    const int local = int(caret - store.lineStart(line));
    const QTextLine row = entry.rowOf(local);
    const int x = kMargin + qFloor(entry.xOf(local));
    return QRect(x - 1, y + qFloor(row.y()), 3, qCeil(row.height()));
}

// ---------------------------------------------------------------- caret and motions

void HistoryView::Private::restartBlink() {
    caretOn = true;
    blinkTimer.stop();
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (flash > 0 && q->hasFocus())
        blinkTimer.start(flash / 2, q);
}

void HistoryView::Private::setCaret(qsizetype position, bool keepAnchor) {
    caret = std::clamp<qsizetype>(position, 0, store.size());
    if (!keepAnchor)
        anchor = caret;
    restartBlink();
    q->viewport()->update();
}

// The position one visual row up or down, at the remembered column.
qsizetype HistoryView::Private::verticalStep(qsizetype position, int direction) {
    qsizetype line = store.lineAt(position);
    const LineLayout* entry = &layoutFor(line);
    const int local = int(position - store.lineStart(line));
    if (preferredX < 0)
        preferredX = entry->xOf(local);
    int target = entry->rowOf(local).lineNumber() + direction;
    if (target < 0) {
        if (line == 0)
            return position;
        entry = &layoutFor(--line);
        target = entry->layout.lineCount() - 1;
    } else if (target >= entry->layout.lineCount()) {
        if (line + 1 == store.lineCount())
            return position;
        entry = &layoutFor(++line);
        target = 0;
    }
    return store.lineStart(line) + entry->byteAt(entry->layout.lineAt(target), preferredX);
}

// Words are runs of letters and digits, or of other signs; a step stops at the
// ends of a line too, so it never scans past one.
qsizetype HistoryView::Private::wordStep(qsizetype position, bool forward) const {
    const qsizetype line = store.lineAt(position);
    const qsizetype start = store.lineStart(line);
    const std::string_view text = store.lineText(line);
    auto i = std::size_t(position - start);
    if (forward) {
        if (i == text.size())
            return std::min(position + 1, store.size());
        const CharClass cls = classOf(text[i]);
        if (cls != CharClass::Space)
            while (i < text.size() && classOf(text[i]) == cls)
                ++i;
        while (i < text.size() && classOf(text[i]) == CharClass::Space)
            ++i;
    } else {
        if (i == 0)
            return std::max<qsizetype>(position - 1, 0);
        while (i > 0 && classOf(text[i - 1]) == CharClass::Space)
            --i;
        if (i > 0) {
            const CharClass cls = classOf(text[i - 1]);
            while (i > 0 && classOf(text[i - 1]) == cls)
                --i;
        }
    }
    return start + qsizetype(i);
}

qsizetype HistoryView::Private::rowEdge(qsizetype position, bool end) {
    const qsizetype line = store.lineAt(position);
    const qsizetype start = store.lineStart(line);
    const LineLayout& entry = layoutFor(line);
    const QTextLine row = entry.rowOf(int(position - start));
    if (!end)
        return start + entry.toByte(row.textStart());
    qsizetype edge = start + entry.toByte(row.textStart() + row.textLength());
    // A wrapped row's end is the next row's start; stop before the space it broke at.
    if (row.lineNumber() + 1 < entry.layout.lineCount() && edge > start &&
        classOf(store.at(edge - 1)) == CharClass::Space)
        --edge;
    return edge;
}

void HistoryView::Private::move(Motion motion, bool select) {
    if (!select && caret != anchor && (motion == Motion::Left || motion == Motion::Right)) {
        setCaret(motion == Motion::Left ? selStart() : selEnd(), false);
        preferredX = -1;
        ensureVisible(caret);
        return;
    }
    const bool vertical = motion == Motion::Up || motion == Motion::Down || motion == Motion::PageUp ||
                          motion == Motion::PageDown;
    if (!vertical)
        preferredX = -1;
    qsizetype to = caret;
    switch (motion) {
    case Motion::Left: to = caret - 1; break;
    case Motion::Right: to = caret + 1; break;
    case Motion::WordLeft: to = wordStep(caret, false); break;
    case Motion::WordRight: to = wordStep(caret, true); break;
    case Motion::Up: to = verticalStep(caret, -1); break;
    case Motion::Down: to = verticalStep(caret, 1); break;
    case Motion::RowStart: to = rowEdge(caret, false); break;
    case Motion::RowEnd: to = rowEdge(caret, true); break;
    case Motion::PageUp:
    case Motion::PageDown: {
        const int rows = std::max(1, availableHeight() / std::max(1, QFontMetrics(q->font()).lineSpacing()) - 1);
        for (int i = 0; i < rows; ++i)
            to = verticalStep(to, motion == Motion::PageUp ? -1 : 1);
        break;
    }
    case Motion::Start: to = 0; break;
    case Motion::End: to = store.size(); break;
    }
    setCaret(to, select);
    ensureVisible(caret);
}

// ---------------------------------------------------------------- edits

void HistoryView::Private::replaceSelection(std::string_view bytes) {
    const std::string text = HistoryStore::normalizeBreaks(bytes);
    const qsizetype from = selStart();
    const qsizetype length = selEnd() - from;
    if (length == 0 && text.empty())
        return;
    markChanged(store.lineAt(from));
    store.replace(from, length, text);
    preferredX = -1;
    setCaret(from + qsizetype(text.size()), false);
    sync();
    ensureVisible(caret);
}

void HistoryView::Private::deleteChar(bool forward) {
    if (caret == anchor) {
        const qsizetype other = forward ? caret + 1 : caret - 1;
        if (other < 0 || other > store.size())
            return;
        anchor = other;
    }
    replaceSelection({});
}

void HistoryView::Private::cut() {
    if (caret == anchor)
        return;
    q->copy();
    replaceSelection({});
}

void HistoryView::Private::paste() {
    const QString text = QGuiApplication::clipboard()->text();
    if (!text.isEmpty())
        replaceSelection(toLatin1(text));
}

void HistoryView::Private::reset() {
    caret = anchor = 0;
    firstLine = 0;
    preferredX = -1;
    layouts.clear();
    staleFrom = unpainted = -1;
    lastPainted = -1;
}

// ---------------------------------------------------------------- HistoryView

HistoryView::HistoryView(QWidget* parent) : QAbstractScrollArea(parent), d(std::make_unique<Private>(this)) {
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

void HistoryView::appendLatin1(std::string_view bytes) {
    if (bytes.empty())
        return;
    d->markChanged(d->store.lineCount() - 1);
    d->store.append(bytes);
    d->scheduleSync();
}

void HistoryView::appendText(const QString& text) { appendLatin1(toLatin1(text)); }

void HistoryView::clear() {
    d->store.clear();
    d->reset();
    d->followEnd = true;
    d->sync();
    viewport()->update();
}

void HistoryView::setPlainText(const QString& text) {
    d->store.clear();
    d->store.append(toLatin1(text));
    d->reset();
    d->followEnd = false;  // like any editor, a new text is shown from its top
    d->sync();
    viewport()->update();
}

QString HistoryView::toPlainText() const {
    const std::string bytes = d->store.text(0, d->store.size());
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

qsizetype HistoryView::lineCount() const { return d->store.lineCount(); }

qsizetype HistoryView::characterCount() const { return d->store.size(); }

qsizetype HistoryView::caretPosition() const { return d->caret; }

void HistoryView::setCaretPosition(qsizetype position) {
    d->preferredX = -1;
    d->setCaret(position, false);
}

void HistoryView::setSelection(qsizetype anchor, qsizetype position) {
    d->preferredX = -1;
    d->anchor = std::clamp<qsizetype>(anchor, 0, d->store.size());
    d->setCaret(position, true);
}

bool HistoryView::hasSelection() const { return d->caret != d->anchor; }

QString HistoryView::selectedText() const {
    const std::string bytes = d->store.text(d->selStart(), d->selEnd() - d->selStart());
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

void HistoryView::selectAll() { setSelection(0, d->store.size()); }

void HistoryView::copy() const {
    if (hasSelection())
        QGuiApplication::clipboard()->setText(selectedText());
}

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
    const qsizetype from = d->selStart();
    const qsizetype to = d->selEnd();
    const bool drawCaret = hasFocus() && d->caretOn && isEnabled();
    const int breakWidth = std::max(2, QFontMetrics(font()).horizontalAdvance(QLatin1Char(' ')));
    const qsizetype lines = d->store.lineCount();
    const int bottom = std::min(viewport()->height(), event->rect().bottom() + 1);
    const int top = event->rect().top();

    int y = kMargin;
    qsizetype line = std::min(d->firstLine, lines - 1);
    QList<QTextLayout::FormatRange> ranges;
    for (; line < lines && y < bottom; ++line) {
        LineLayout& entry = d->layoutFor(line);
        if (y + entry.height > top) {
            const qsizetype start = d->store.lineStart(line);
            const qsizetype end = start + entry.bytes;
            ranges.clear();
            for (const LineLayout::Shown& shown : entry.shown)
                ranges.append({shown.at, shown.width, notation});
            if (from < to && from < end && to > start) {
                const int a = entry.toLayout(int(std::max(from, start) - start));
                const int b = entry.toLayout(int(std::min(to, end) - start));
                ranges.append({a, b - a, selected});
            }
            const QPointF origin(kMargin, y);
            entry.layout.draw(&painter, origin, ranges);
            if (from <= end && to > end && line + 1 < lines) {
                // The selected break shows as a little highlight after the line's end.
                const QTextLine last = entry.layout.lineAt(entry.layout.lineCount() - 1);
                painter.fillRect(QRectF(kMargin + entry.xOf(entry.bytes), y + last.y(), breakWidth, last.height()),
                                 pal.brush(QPalette::Highlight));
            }
            if (drawCaret && d->caret >= start && d->caret <= end)
                entry.layout.drawCursor(&painter, origin, entry.toLayout(int(d->caret - start)), 1);
        }
        y += entry.height;
    }
    d->lastPainted = line - 1;
    d->unpainted = -1;
    d->pruneLayouts();
}

void HistoryView::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    d->sync();
}

void HistoryView::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        d->layouts.clear();
        d->sync();
        viewport()->update();
    }
}

void HistoryView::scrollContentsBy(int, int) {
    if (d->settingScroll)
        return;
    d->firstLine = verticalScrollBar()->value();
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
    } else if (event->timerId() == d->dragTimer.timerId()) {
        const int height = viewport()->height();
        if (d->dragPos.y() < 0)
            d->setFirstLine(d->firstLine - 1);
        else if (d->dragPos.y() >= height)
            d->setFirstLine(d->firstLine + 1);
        else
            d->dragTimer.stop();
        d->setCaret(d->positionAt(d->dragPos), true);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}

bool HistoryView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Editing keys belong to the history while it has focus, not to a window shortcut.
        auto* key = static_cast<QKeyEvent*>(event);
        const bool edit = key->matches(QKeySequence::Copy) || key->matches(QKeySequence::Cut) ||
                          key->matches(QKeySequence::Paste) || key->matches(QKeySequence::SelectAll) ||
                          key->matches(QKeySequence::Delete) || key->key() == Qt::Key_Backspace ||
                          key->key() == Qt::Key_Home || key->key() == Qt::Key_End ||
                          (!key->text().isEmpty() && isPrintable(key->text()) &&
                           !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier)));
        if (edit) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void HistoryView::keyPressEvent(QKeyEvent* event) {
    if (d->syncTimer.isActive())
        d->sync();
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        d->cut();
        return;
    }
    if (event->matches(QKeySequence::Paste)) {
        d->paste();
        return;
    }
    for (const KeyMotion& km : kKeyMotions) {
        const bool select = event->matches(km.select);
        if (select || event->matches(km.move)) {
            d->move(km.motion, select);
            return;
        }
    }
    if (event->matches(QKeySequence::Delete)) {
        d->deleteChar(true);
        return;
    }
    if (event->matches(QKeySequence::DeleteStartOfWord) || event->matches(QKeySequence::DeleteEndOfWord)) {
        if (d->caret == d->anchor)
            d->anchor = d->wordStep(d->caret, event->matches(QKeySequence::DeleteEndOfWord));
        d->replaceSelection({});
        return;
    }
    if (event->key() == Qt::Key_Backspace && !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        d->deleteChar(false);
        return;
    }
    if (event->matches(QKeySequence::InsertParagraphSeparator) ||
        event->matches(QKeySequence::InsertLineSeparator)) {
        d->replaceSelection("\n");
        return;
    }
    const QString text = event->text();
    if (!text.isEmpty() && isPrintable(text) && !(event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
        d->replaceSelection(toLatin1(text));
        return;
    }
    event->ignore();
}

void HistoryView::inputMethodEvent(QInputMethodEvent* event) {
    if (!event->commitString().isEmpty())
        d->replaceSelection(toLatin1(event->commitString()));
    event->accept();
}

QVariant HistoryView::inputMethodQuery(Qt::InputMethodQuery query) const {
    const qsizetype line = d->store.lineAt(d->caret);
    const qsizetype start = d->store.lineStart(line);
    switch (query) {
    case Qt::ImEnabled: return true;
    case Qt::ImFont: return font();
    case Qt::ImCursorRectangle: return d->caretRect().translated(viewport()->pos());
    case Qt::ImCursorPosition: return int(d->caret - start);
    case Qt::ImAnchorPosition:
        return int(std::clamp<qsizetype>(d->anchor, start, start + d->store.lineLength(line)) - start);
    case Qt::ImSurroundingText: {
        const std::string_view text = d->store.lineText(line);
        return QString::fromLatin1(text.data(), qsizetype(std::min<std::size_t>(text.size(), kInputMethodTextLimit)));
    }
    case Qt::ImCurrentSelection:
        return d->selEnd() - d->selStart() <= kInputMethodTextLimit ? selectedText() : QString();
    default: return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void HistoryView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    if (d->syncTimer.isActive())
        d->sync();
    d->preferredX = -1;
    d->setCaret(d->positionAt(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
    d->dragging = true;
}

void HistoryView::mouseMoveEvent(QMouseEvent* event) {
    if (!d->dragging)
        return;
    d->dragPos = event->position().toPoint();
    d->setCaret(d->positionAt(d->dragPos), true);
    const bool outside = d->dragPos.y() < 0 || d->dragPos.y() >= viewport()->height();
    if (outside && !d->dragTimer.isActive())
        d->dragTimer.start(kDragScrollMs, this);
    else if (!outside)
        d->dragTimer.stop();
}

void HistoryView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mouseReleaseEvent(event);
        return;
    }
    d->dragging = false;
    d->dragTimer.stop();
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (hasSelection() && clipboard->supportsSelection())
        clipboard->setText(selectedText(), QClipboard::Selection);
}

void HistoryView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    const qsizetype position = d->positionAt(point);
    const qsizetype line = d->store.lineAt(position);
    const qsizetype start = d->store.lineStart(line);
    const std::string_view text = d->store.lineText(line);
    if (text.empty())
        return;
    auto i = std::min(std::size_t(position - start), text.size() - 1);
    // The character under the pointer decides, not the nearest gap.
    if (i > 0 && position - start == qsizetype(text.size()))
        i = text.size() - 1;
    const CharClass cls = classOf(text[i]);
    std::size_t a = i;
    std::size_t b = i + 1;
    while (a > 0 && classOf(text[a - 1]) == cls)
        --a;
    while (b < text.size() && classOf(text[b]) == cls)
        ++b;
    d->preferredX = -1;
    d->anchor = start + qsizetype(a);
    d->setCaret(start + qsizetype(b), true);
    d->dragging = false;
}

void HistoryView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const bool selection = hasSelection();
    auto shortcut = [](QKeySequence::StandardKey key) {
        return QLatin1Char('\t') + QKeySequence(key).toString(QKeySequence::NativeText);
    };
    menu.addAction(tr("Cu&t") + shortcut(QKeySequence::Cut), this, [this] { d->cut(); })->setEnabled(selection);
    menu.addAction(tr("&Copy") + shortcut(QKeySequence::Copy), this, [this] { copy(); })->setEnabled(selection);
    menu.addAction(tr("&Paste") + shortcut(QKeySequence::Paste), this, [this] { d->paste(); })
        ->setEnabled(!QGuiApplication::clipboard()->text().isEmpty());
    menu.addAction(tr("Delete"), this, [this] { d->replaceSelection({}); })->setEnabled(selection);
    menu.addSeparator();
    menu.addAction(tr("Select All") + shortcut(QKeySequence::SelectAll), this, [this] { selectAll(); })
        ->setEnabled(d->store.size() > 0);
    menu.exec(event->globalPos());
}

void HistoryView::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    d->restartBlink();
    viewport()->update();
}

void HistoryView::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    d->blinkTimer.stop();
    d->dragging = false;
    d->dragTimer.stop();
    viewport()->update();
}
