// The history widget under the offscreen platform, driven by real key and mouse
// input; and its caret-and-selection model, without a widget.
#include "history_selection.h"
#include "history_store.h"
#include "history_view.h"

#include <QApplication>
#include <QClipboard>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

// Readable failure messages; QString lives in the global namespace.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toLatin1().toStdString() << '"'; }

namespace {

class HistoryViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        view = std::make_unique<HistoryView>();
        QFont font(QStringLiteral("MS Sans Serif"));
        font.setPixelSize(11);
        view->setFont(font);
        view->resize(341, 160);
        view->show();
        view->activateWindow();
        view->setFocus();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    // HEX lines as the window appends them, each a little different.
    void appendRecords(int from, int count) {
        std::string batch;
        char line[80];
        for (int i = from; i < from + count; ++i)
            batch.append(line, std::snprintf(line, sizeof line, "received:0x%x 0x65 0x6c 0x6c 0x6f 0x20 0x57 0x6f 0x72 0x%x \r\n",
                                             i & 0xff, (i >> 8) & 0xff));
        view->appendLatin1(batch);
    }

    // Where character `position` sits in the viewport, found through the caret
    // (which this moves: take points before making a selection).
    QPoint pointOf(qsizetype position) {
        const qsizetype saved = view->caretPosition();
        view->setCaretPosition(position);
        const QRect r = view->inputMethodQuery(Qt::ImCursorRectangle).toRect();
        view->setCaretPosition(saved);
        EXPECT_FALSE(r.isEmpty()) << "character " << position << " is not in view";
        return r.center() - view->viewport()->pos() + QPoint(1, 0);
    }

    QScrollBar* bar() { return view->verticalScrollBar(); }

    std::unique_ptr<HistoryView> view;
};

// Counts the paint events a widget gets.
class Paints : public QObject {
public:
    explicit Paints(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        count += event->type() == QEvent::Paint;
        return false;
    }
};

// The view follows the end unless scrolled up. The scroll bar repaints only when
// it looks different: a long history followed at its end keeps the smallest
// handle at the bottom, so an append repaints the text and not the bar.
TEST_F(HistoryViewTest, ViewFollowsEndUnlessScrolledUp) {
    Paints barPaints(bar()), textPaints(view->viewport());
    appendRecords(0, 2000);
    view->flushPendingLayout();
    ASSERT_GT(bar()->maximum(), 1950);
    EXPECT_EQ(bar()->value(), bar()->maximum());
    EXPECT_TRUE(view->isShowingEnd());
    EXPECT_TRUE(QTest::qWaitFor([&] { return barPaints.count > 0; }, 1000)) << "the handle moved and shrank";

    // The user scrolls up with the keyboard: appends leave the view where it is.
    view->setCaretPosition(view->characterCount());
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(view.get(), Qt::Key_PageUp);
    const int readingAt = bar()->value();
    const int oldMax = bar()->maximum();
    ASSERT_LT(readingAt, oldMax);
    EXPECT_FALSE(view->isShowingEnd());
    appendRecords(2000, 100);
    // The event loop brings the scroll bar up to date by itself.
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar()->maximum() == oldMax + 100; }, 1000));
    EXPECT_EQ(bar()->value(), readingAt);
    EXPECT_FALSE(view->isShowingEnd());

    // Back at the end, it follows again.
    bar()->setValue(bar()->maximum());
    EXPECT_TRUE(view->isShowingEnd());
    textPaints.count = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return textPaints.count > 0; }, 1000));
    barPaints.count = textPaints.count = 0;
    appendRecords(2100, 10);
    view->flushPendingLayout();
    ASSERT_TRUE(QTest::qWaitFor([&] { return textPaints.count > 0; }, 1000));
    EXPECT_EQ(barPaints.count, 0);
    EXPECT_EQ(bar()->maximum(), oldMax + 110);
    EXPECT_EQ(bar()->value(), bar()->maximum());
    view->clear();
    view->flushPendingLayout();
    EXPECT_EQ(bar()->maximum(), 0);
    EXPECT_TRUE(view->isShowingEnd());
}

// The user's edits, caret and selection stay where they are while appends go to
// the end; Clear History drops the selection with the text.
TEST_F(HistoryViewTest, UserEditsStayWhileAppendsGoToTheEnd) {
    view->appendLatin1("received:one\r\nreceived:two\r\n");
    view->flushPendingLayout();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointOf(11));  // between "on" and "e"
    ASSERT_EQ(view->caretPosition(), 11);
    QTest::keyClicks(view.get(), QStringLiteral("XY"));
    QTest::keyClick(view.get(), Qt::Key_Backspace);
    QTest::keyClick(view.get(), Qt::Key_Return);
    QTest::keyClick(view.get(), Qt::Key_Delete);
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:onX\n\nreceived:two\n"));
    EXPECT_EQ(view->caretPosition(), 13);

    QTest::keyClick(view.get(), Qt::Key_Up);
    QTest::keyClick(view.get(), Qt::Key_End);
    QTest::keyClicks(view.get(), QStringLiteral("Z"));
    QTest::keyClick(view.get(), Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(view.get(), Qt::Key_Left, Qt::ShiftModifier);
    view->appendText(QStringLiteral("Sent:end\r\n"));
    view->appendLatin1("received:more\r\n");
    view->flushPendingLayout();
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:onXZ\n\nreceived:two\nSent:end\nreceived:more\n"));
    EXPECT_EQ(view->selectedText(), QStringLiteral("XZ"));
    EXPECT_EQ(view->caretPosition(), 11);

    // Cut and paste through the clipboard, with the keyboard.
    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:on\n\nreceived:two\nSent:end\nreceived:more\nXZ"));

    QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
    view->clear();
    EXPECT_FALSE(view->hasSelection());
    EXPECT_EQ(view->caretPosition(), 0);
    EXPECT_EQ(view->lineCount(), 1);
}

// Control bytes are drawn wider than one character; clicks and drags must still
// land on byte positions, and a selection gives the bytes themselves back.
TEST_F(HistoryViewTest, ControlBytesShownInNotationKeepPositions) {
    const std::string line("a\x01b\rc\x85\x7f d\te", 11);
    view->appendLatin1(line);
    view->flushPendingLayout();
    for (qsizetype p = 0; p <= qsizetype(line.size()); ++p) {
        view->setCaretPosition(0);
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointOf(p));
        EXPECT_EQ(view->caretPosition(), p);
    }
    // Inside a notation a click goes to the nearer side of its byte ("\x85" shows as <85>).
    const QPoint left = pointOf(5);
    const QPoint right = pointOf(6);
    const int width = right.x() - left.x();
    ASSERT_GT(width, 8);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, left + QPoint(width / 4, 0));
    EXPECT_EQ(view->caretPosition(), 5);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, left + QPoint(3 * width / 4, 0));
    EXPECT_EQ(view->caretPosition(), 6);

    // A drag selects from byte to byte; a click with Shift moves the far end.
    const QPoint from = pointOf(1), to = pointOf(9), extendTo = pointOf(3);
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view->viewport(), to);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
    EXPECT_EQ(view->selectedText(), QString::fromLatin1(line.data() + 1, 8));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, extendTo);
    EXPECT_EQ(view->selectedText(), QString::fromLatin1(line.data() + 1, 2));
}

// Down moves to the next visual row of the same line; End stops at the row's end.
// A word longer than the width breaks anywhere rather than overflowing.
TEST_F(HistoryViewTest, LongLinesWrapInsteadOfScrollingSideways) {
    std::string words;
    for (int i = 0; i < 60; ++i) words += "0x6c ";
    for (const std::string& line : {words, std::string(400, 'W')}) {
        view->clear();
        view->appendLatin1(line);
        view->flushPendingLayout();
        EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
        for (Qt::Key key : {Qt::Key_Down, Qt::Key_End}) {
            view->setCaretPosition(0);
            QTest::keyClick(view.get(), key);
            EXPECT_GT(view->caretPosition(), 0);
            EXPECT_LT(view->caretPosition(), qsizetype(line.size()));
        }
    }
}

// Read-only, every way of editing is refused; selecting and copying still work.
TEST_F(HistoryViewTest, ReadOnlyRefusesEditsButSelectsAndCopies) {
    view->appendLatin1("received:abc\r\n");
    view->setReadOnly(true);
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    view->setCaretPosition(9);
    QTest::keyClicks(view.get(), QStringLiteral("typed"));
    for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Return})
        QTest::keyClick(view.get(), key);
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("ime"));
    QApplication::sendEvent(view.get(), &composed);
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(view.get(), Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:abc\n"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("pasted"));
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("abc"));
    view->setReadOnly(false);
    QTest::keyClicks(view.get(), QStringLiteral("x"));
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:x\n"));
}

// A copy takes at most 64 MiB: from a history just over that, exactly its last
// 64 MiB (starting within a line), and a notice; a cut that large would lose
// text, so it removes nothing. A smaller selection copies whole, without a word.
TEST_F(HistoryViewTest, CopyPastItsLimitTakesTheLast64MiBAndACutThatLargeRemovesNothing) {
    std::string all;  // numbered lines of 49 characters and the break
    char line[51];
    for (long long i = 0; all.size() <= (std::size_t{65} << 20); ++i)
        all.append(line, std::snprintf(line, sizeof line, "%048lld \n", i));
    for (std::size_t at = 0; at < all.size(); at += 1 << 20)
        view->appendLatin1(std::string_view(all).substr(at, 1 << 20));
    ASSERT_EQ(view->characterCount(), qsizetype(all.size()));
    QSignalSpy notices(view.get(), &HistoryView::notice);
    QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    const QString copied = QGuiApplication::clipboard()->text();
    QGuiApplication::clipboard()->clear();
    const std::size_t from = all.size() - (std::size_t{64} << 20);
    ASSERT_NE(all[from - 1], '\n');
    EXPECT_TRUE(copied == QLatin1StringView(all.data() + from, all.size() - from))
        << copied.size() << " characters copied, not the history's last 64 MiB";
    ASSERT_EQ(notices.count(), 1);
    EXPECT_EQ(notices.at(0).at(0).toString(),
              QStringLiteral("Copied the last 64 MiB of 65 MiB selected; use Save History As\u2026 for all of it"));

    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(view->characterCount(), qsizetype(all.size()));
    ASSERT_EQ(notices.count(), 2);
    EXPECT_TRUE(notices.at(1).at(0).toString().startsWith(QStringLiteral("Too much to cut")));
    view->setSelection(10, 1010);
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QLatin1StringView(all.data() + 10, 1000));
    EXPECT_EQ(notices.count(), 2);
}

// Whatever ran out (the store's growth, a lookup within an edit), Clear History
// gives back a history that takes text.
TEST_F(HistoryViewTest, ClearAfterMemoryRanOutTakesTextAgain) {
    appendRecords(0, 200000);  // some 10 MiB: a packed part for every 20000 lines
    const qsizetype middle = view->store().lineStart(40000) + 1;
    for (const qsizetype later : {80000, 110000, 140000, 170000})
        (void)view->store().lineStart(later);  // the part holding `middle` is no longer unpacked
    // The store's allocation seam, reached through the view that owns it.
    auto& store = const_cast<HistoryStore&>(view->store());
    bool failing = true;
    store.setAllocationProbe([&failing](std::size_t) {
        if (failing)
            throw std::bad_alloc();
    });
    appendRecords(0, 20000);
    EXPECT_TRUE(store.stoppedGrowing());
    view->setCaretPosition(middle);
    QTest::keyClicks(view.get(), QStringLiteral("x"));
    EXPECT_TRUE(view->isOutOfMemory());
    failing = false;

    view->clear();
    EXPECT_FALSE(view->isOutOfMemory());
    view->appendLatin1("received:again\r\n");
    view->setCaretPosition(0);
    QTest::keyClicks(view.get(), QStringLiteral("x"));
    view->flushPendingLayout();
    EXPECT_EQ(view->toPlainText(), QStringLiteral("xreceived:again\n"));
    EXPECT_FALSE(view->isOutOfMemory());
    store.setAllocationProbe(nullptr);
}

// ---------------------------------------------------------------- the selection model alone

// Lines: 0 "received:0x48 0x65 " (0-18, its break at 19), 1 "" (at 20), 2 "ab_1+-c"
// (21-27, no break): 28 characters.
constexpr char kText[] = "received:0x48 0x65 \n\nab_1+-c";

class SelectionTest : public ::testing::Test {
protected:
    SelectionTest() { store.append(kText); }
    std::string selected() const { return store.text(sel.start(), sel.length()); }

    HistoryStore store;
    HistorySelection sel{store};
};

// A double click selects the run under the position; at a line's end the run
// before it, and on an empty line nothing: the selection stays as it was. A line
// is taken with its break, but not past the end.
TEST_F(SelectionTest, WordAndLineSelectionTakeTheRunOrLineUnderThePosition) {
    const std::pair<qsizetype, std::string> words[] = {
        {0, "received"}, {8, ":"}, {11, "0x48"}, {13, " "}, {19, " "}, {20, ""}, {21, "ab_1"}, {25, "+-"}, {28, "c"}};
    for (const auto& [at, word] : words) {
        sel.setCaret(3);
        sel.selectWordAt(at);
        EXPECT_EQ(selected(), word) << "at " << at;
        EXPECT_TRUE(!word.empty() || sel.caret() == 3) << "at " << at;
    }
    const std::pair<qsizetype, std::string> lines[] = {{5, "received:0x48 0x65 \n"}, {20, "\n"}, {23, "ab_1+-c"}};
    for (const auto& [at, line] : lines) {
        sel.selectLineAt(at);
        EXPECT_EQ(selected(), line) << "at " << at;
    }
    sel.select(-5, 1000);  // clamped to the text
    EXPECT_EQ(selected(), kText);
}

TEST_F(SelectionTest, AppendsMoveNothingButTheCaretLineFollowsASplitBreak) {
    HistoryStore open;
    open.append("a\r");
    HistorySelection caret(open);
    caret.setCaret(2);
    ASSERT_EQ(caret.caretLine(), 0);
    const qsizetype lines = open.lineCount();
    open.append("\nmore");  // the stored "\r" becomes the break: position 2 starts line 1
    caret.appended(lines);
    EXPECT_EQ(caret.caret(), 2);
    EXPECT_EQ(caret.caretLine(), 1);
}

}  // namespace
