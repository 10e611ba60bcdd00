// The history widget's input: keys and caret motions, edits, the mouse, the
// context menu and input methods. While read-only, everything that would change
// the text is refused; scrolling, selecting and copying still work.
#include "history_view_p.h"

#include "history_accessible.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleHints>

#include <algorithm>

using namespace history;

namespace {

bool isPrintable(const QString& text) {
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() >= 0x20 && c.unicode() != 0x7f; });
}

bool isTyping(const QKeyEvent* key) {
    return !key->text().isEmpty() && isPrintable(key->text()) &&
           !(key->modifiers() & (Qt::ControlModifier | Qt::MetaModifier));
}

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

}  // namespace

// ---------------------------------------------------------------- caret motions

// The position one visual row up or down, at the remembered column.
qsizetype HistoryView::Private::verticalStep(qsizetype position, int direction) {
    qsizetype line = store.lineAt(position);
    const LineLayout* entry = &layoutFor(line);
    const qsizetype local = position - store.lineStart(line);
    if (preferredX < 0)
        preferredX = entry->xOf(local);
    int target = entry->rowOf(local).lineNumber() + direction;
    if (target < 0) {
        if (line == 0)
            return position;
        entry = &layoutFor(--line);
        target = entry->rowCount() - 1;
    } else if (target >= entry->rowCount()) {
        if (line + 1 == store.lineCount())
            return position;
        entry = &layoutFor(++line);
        target = 0;
    }
    return store.lineStart(line) + entry->byteAt(entry->layout.lineAt(target), preferredX);
}

qsizetype HistoryView::Private::rowEdge(qsizetype position, bool end) {
    const qsizetype line = store.lineAt(position);
    const qsizetype start = store.lineStart(line);
    const LineLayout& entry = layoutFor(line);
    const QTextLine row = entry.rowOf(position - start);
    if (!end)
        return start + entry.toByte(row.textStart());
    qsizetype edge = start + entry.toByte(row.textStart() + row.textLength());
    // A wrapped row's end is the next row's start; stop before the space it broke at.
    if (row.lineNumber() + 1 < entry.rowCount() && edge > start && classOf(store.at(edge - 1)) == CharClass::Space)
        --edge;
    return edge;
}

void HistoryView::Private::move(Motion motion, bool select) {
    const qsizetype caret = sel.caret();
    if (!select && sel.hasSelection() && (motion == Motion::Left || motion == Motion::Right)) {
        setCaret(motion == Motion::Left ? sel.start() : sel.end(), false);
        preferredX = -1;
        ensureVisible(sel.caret());
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
    case Motion::WordLeft: to = sel.wordStep(caret, false); break;
    case Motion::WordRight: to = sel.wordStep(caret, true); break;
    case Motion::Up: to = verticalStep(caret, -1); break;
    case Motion::Down: to = verticalStep(caret, 1); break;
    case Motion::RowStart: to = rowEdge(caret, false); break;
    case Motion::RowEnd: to = rowEdge(caret, true); break;
    case Motion::PageUp:
    case Motion::PageDown:
        for (int i = 0, rows = std::max(1, rowsPerPage() - 1); i < rows; ++i)
            to = verticalStep(to, motion == Motion::PageUp ? -1 : 1);
        break;
    case Motion::Start: to = 0; break;
    case Motion::End: to = store.size(); break;
    }
    setCaret(to, select);
    ensureVisible(sel.caret());
}

// ---------------------------------------------------------------- edits

void HistoryView::Private::replaceSelection(std::string_view bytes) {
    if (readOnly)
        return;
    std::string text;
    const qsizetype from = sel.start();
    const qsizetype length = sel.length();
    HistoryAccessible::textChanging(q, from, length);
    const bool done = guarded([&] {
        text = HistoryStore::normalizeBreaks(bytes);
        if (length == 0 && text.empty())
            return;
        markChanged(store.lineAt(from));
        store.replace(from, length, text);
    });
    if (!done || (length == 0 && text.empty()))
        return;
    sel.edited(from, length, qsizetype(text.size()));
    HistoryAccessible::textChanged(q, from, length, qsizetype(text.size()));
    preferredX = -1;
    setCaret(from + qsizetype(text.size()), false);
    sync();
    ensureVisible(sel.caret());
}

void HistoryView::Private::deleteChar(bool forward) {
    if (!sel.hasSelection()) {
        const qsizetype other = sel.caret() + (forward ? 1 : -1);
        if (other < 0 || other > store.size())
            return;
        sel.select(other, sel.caret());
    }
    replaceSelection({});
}

// Cut takes all it removes to the clipboard or nothing: a selection past the
// copy limit is left alone rather than lost.
void HistoryView::Private::cut() {
    if (readOnly || !sel.hasSelection())
        return;
    if (sel.length() > copyLimit) {
        notify(tr("Too much to cut: %1 selected, at most %2. Copy or delete it instead")
                   .arg(sizeText(sel.length()), sizeText(copyLimit)));
        return;
    }
    copyTo(QClipboard::Clipboard);
    replaceSelection({});
}

void HistoryView::Private::paste() {
    if (readOnly)
        return;
    std::string bytes;
    if (guarded([&] { bytes = toLatin1(QGuiApplication::clipboard()->text()); }) && !bytes.empty())
        replaceSelection(bytes);
}

// ---------------------------------------------------------------- HistoryView input

bool HistoryView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride) {
        // Keys the history acts on belong to it while it has focus, not to a window shortcut.
        auto* key = static_cast<QKeyEvent*>(event);
        const bool edit = !d->readOnly && (key->matches(QKeySequence::Cut) || key->matches(QKeySequence::Paste) ||
                                           key->matches(QKeySequence::Delete) || key->key() == Qt::Key_Backspace ||
                                           isTyping(key));
        if (edit || key->matches(QKeySequence::Copy) || key->matches(QKeySequence::SelectAll) ||
            key->key() == Qt::Key_Home || key->key() == Qt::Key_End) {
            event->accept();
            return true;
        }
    }
    return QAbstractScrollArea::event(event);
}

void HistoryView::keyPressEvent(QKeyEvent* event) {
    if (d->cadence.catchUpPending())
        d->sync();
    if (event->matches(QKeySequence::SelectAll)) {
        selectAll();
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        copy();
        return;
    }
    for (const KeyMotion& km : kKeyMotions) {
        const bool select = event->matches(km.select);
        if (select || event->matches(km.move)) {
            d->move(km.motion, select);
            return;
        }
    }
    if (d->readOnly) {
        event->ignore();
        return;
    }
    if (event->matches(QKeySequence::Cut)) {
        d->cut();
    } else if (event->matches(QKeySequence::Paste)) {
        d->paste();
    } else if (event->matches(QKeySequence::Delete)) {
        d->deleteChar(true);
    } else if (event->matches(QKeySequence::DeleteStartOfWord) || event->matches(QKeySequence::DeleteEndOfWord)) {
        if (!d->sel.hasSelection())
            d->sel.select(d->sel.wordStep(d->sel.caret(), event->matches(QKeySequence::DeleteEndOfWord)),
                          d->sel.caret());
        d->replaceSelection({});
    } else if (event->key() == Qt::Key_Backspace && !(event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))) {
        d->deleteChar(false);
    } else if (event->matches(QKeySequence::InsertParagraphSeparator) ||
               event->matches(QKeySequence::InsertLineSeparator)) {
        d->replaceSelection("\n");
    } else if (isTyping(event)) {
        d->replaceSelection(toLatin1(event->text()));
    } else {
        event->ignore();
    }
}

void HistoryView::inputMethodEvent(QInputMethodEvent* event) {
    if (!d->readOnly && !event->commitString().isEmpty())
        d->replaceSelection(toLatin1(event->commitString()));
    event->accept();
}

QVariant HistoryView::inputMethodQuery(Qt::InputMethodQuery query) const {
    const qsizetype line = d->sel.caretLine();
    const qsizetype start = d->store.lineStart(line);
    switch (query) {
    case Qt::ImEnabled: return !d->readOnly;
    case Qt::ImReadOnly: return d->readOnly;
    case Qt::ImFont: return font();
    case Qt::ImCursorRectangle: return d->caretRect().translated(viewport()->pos());
    case Qt::ImCursorPosition: return int(std::min<qsizetype>(d->sel.caret() - start, kInputMethodTextLimit));
    case Qt::ImAnchorPosition: {
        const qsizetype anchor = std::clamp<qsizetype>(d->sel.anchor(), start, start + d->store.lineLength(line));
        return int(std::min<qsizetype>(anchor - start, kInputMethodTextLimit));
    }
    case Qt::ImSurroundingText: {
        const std::string_view text = d->store.lineText(line);
        return QString::fromLatin1(text.data(), qsizetype(std::min<std::size_t>(text.size(), kInputMethodTextLimit)));
    }
    case Qt::ImCurrentSelection:
        return d->sel.length() <= kInputMethodTextLimit ? selectedText() : QString();
    default: return QAbstractScrollArea::inputMethodQuery(query);
    }
}

void HistoryView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    if (d->cadence.catchUpPending())
        d->sync();
    d->preferredX = -1;
    const QPoint point = event->position().toPoint();
    const bool tripleClick = d->sinceDoubleClick.isValid() &&
                             d->sinceDoubleClick.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
                             (point - d->doubleClickPos).manhattanLength() < QGuiApplication::styleHints()->startDragDistance();
    d->sinceDoubleClick.invalidate();
    if (tripleClick) {
        d->sel.selectLineAt(d->positionAt(point));
        d->restartBlink();
        viewport()->update();
        return;
    }
    d->setCaret(d->positionAt(point), event->modifiers() & Qt::ShiftModifier);
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
    if (hasSelection() && QGuiApplication::clipboard()->supportsSelection())
        d->copyTo(QClipboard::Selection);
}

void HistoryView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton)
        return;
    const QPoint point = event->position().toPoint();
    d->preferredX = -1;
    d->sel.selectWordAt(d->positionAt(point));
    d->restartBlink();
    viewport()->update();
    d->dragging = false;
    d->sinceDoubleClick.start();
    d->doubleClickPos = point;
}

void HistoryView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    const bool selection = hasSelection();
    const bool editable = !d->readOnly;
    auto shortcut = [](QKeySequence::StandardKey key) {
        return QLatin1Char('\t') + QKeySequence(key).toString(QKeySequence::NativeText);
    };
    menu.addAction(tr("Cu&t") + shortcut(QKeySequence::Cut), this, [this] { d->cut(); })
        ->setEnabled(editable && selection);
    menu.addAction(tr("&Copy") + shortcut(QKeySequence::Copy), this, [this] { copy(); })->setEnabled(selection);
    menu.addAction(tr("&Paste") + shortcut(QKeySequence::Paste), this, [this] { d->paste(); })
        ->setEnabled(editable && !QGuiApplication::clipboard()->text().isEmpty());
    menu.addAction(tr("Delete"), this, [this] { d->replaceSelection({}); })->setEnabled(editable && selection);
    menu.addSeparator();
    menu.addAction(tr("Select All") + shortcut(QKeySequence::SelectAll), this, [this] { selectAll(); })
        ->setEnabled(d->store.size() > 0);
    menu.addSeparator();
    menu.addAction(tr("Save History As\u2026"), this, [this] { d->chooseSaveFile(); })
        ->setEnabled(d->store.size() > 0 && !d->save);
    QAction* log = menu.addAction(tr("Log to File\u2026"));
    log->setCheckable(true);
    log->setChecked(d->log.isOpen());
    connect(log, &QAction::triggered, this, [this](bool on) {
        if (on)
            d->chooseLogFile();
        else
            stopLog();
    });
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
