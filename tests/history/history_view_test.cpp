// The history widget under the offscreen platform, driven by real key and mouse input.
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

TEST_F(HistoryViewTest, AppendKeepsUserSelectionAndCaret) {
    appendRecords(0, 5);
    view->flushPendingLayout();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointOf(20));
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(view.get(), Qt::Key_Right, Qt::ShiftModifier);
    const QString selected = view->toPlainText().mid(20, 6);
    ASSERT_EQ(view->selectedText(), selected);
    view->appendText(QStringLiteral("Sent:hello\r\n"));
    appendRecords(5, 3);
    view->flushPendingLayout();
    EXPECT_EQ(view->selectedText(), selected);
    EXPECT_EQ(view->caretPosition(), 26);
    // Clear History drops the selection with the text.
    view->clear();
    EXPECT_FALSE(view->hasSelection());
    EXPECT_EQ(view->caretPosition(), 0);
    EXPECT_EQ(view->lineCount(), 1);
}

TEST_F(HistoryViewTest, ViewFollowsEndUnlessScrolledUp) {
    appendRecords(0, 200);
    view->flushPendingLayout();
    ASSERT_GT(bar()->maximum(), 150);
    EXPECT_EQ(bar()->value(), bar()->maximum());
    EXPECT_TRUE(view->isShowingEnd());

    // The user scrolls up with the keyboard: appends leave the view where it is.
    view->setCaretPosition(view->characterCount());
    for (int i = 0; i < 5; ++i)
        QTest::keyClick(view.get(), Qt::Key_PageUp);
    const int readingAt = bar()->value();
    const int oldMax = bar()->maximum();
    ASSERT_LT(readingAt, oldMax);
    EXPECT_FALSE(view->isShowingEnd());
    appendRecords(200, 100);
    // The event loop brings the scroll bar up to date by itself.
    EXPECT_TRUE(QTest::qWaitFor([&] { return bar()->maximum() == oldMax + 100; }, 1000));
    EXPECT_EQ(bar()->value(), readingAt);
    EXPECT_FALSE(view->isShowingEnd());

    // Back at the end, it follows again.
    bar()->setValue(bar()->maximum());
    EXPECT_TRUE(view->isShowingEnd());
    appendRecords(300, 10);
    view->flushPendingLayout();
    EXPECT_EQ(bar()->maximum(), oldMax + 110);
    EXPECT_EQ(bar()->value(), bar()->maximum());
    view->clear();
    view->flushPendingLayout();
    EXPECT_EQ(bar()->maximum(), 0);
    EXPECT_TRUE(view->isShowingEnd());
}

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

TEST_F(HistoryViewTest, ScrollBarRepaintsOnlyWhenItLooksDifferent) {
    // A short history: an append moves and shrinks the handle.
    appendRecords(0, 30);
    view->flushPendingLayout();
    Paints barPaints(bar()), textPaints(view->viewport());
    appendRecords(30, 30);
    view->flushPendingLayout();
    EXPECT_TRUE(QTest::qWaitFor([&] { return barPaints.count > 0; }, 1000));

    // A long one followed at its end keeps the smallest handle at the bottom: the
    // text repaints, and the bar, which would be painted in the same pass, not.
    appendRecords(60, 20000);
    view->flushPendingLayout();
    textPaints.count = 0;
    ASSERT_TRUE(QTest::qWaitFor([&] { return textPaints.count > 0; }, 1000));
    barPaints.count = textPaints.count = 0;
    appendRecords(20060, 100);
    view->flushPendingLayout();
    ASSERT_TRUE(QTest::qWaitFor([&] { return textPaints.count > 0; }, 1000));
    EXPECT_EQ(barPaints.count, 0);
    EXPECT_EQ(bar()->value(), bar()->maximum());
}

TEST_F(HistoryViewTest, UserEditsThenAppendsStillGoToTheEnd) {
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
    view->appendLatin1("Sent:end\r\n");
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:onXZ\n\nreceived:two\nSent:end\n"));
    EXPECT_EQ(view->caretPosition(), 13);

    // Cut and paste through the clipboard, with the keyboard.
    view->setSelection(0, 8);
    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(view->toPlainText(), QStringLiteral(":onXZ\n\nreceived:two\nSent:end\nreceived"));
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

TEST_F(HistoryViewTest, LongLinesWrapInsteadOfScrollingSideways) {
    std::string words;
    for (int i = 0; i < 60; ++i) words += "0x6c ";
    view->appendLatin1(words);
    view->flushPendingLayout();
    EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
    EXPECT_EQ(view->lineCount(), 1);
    // Down moves to the next visual row of the same line; End stops at the row's
    // end. A word longer than the width breaks anywhere rather than overflowing.
    for (const std::string& line : {words, std::string(400, 'W')}) {
        view->clear();
        view->appendLatin1(line);
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

// Past the copy limit a copy takes the selection's last characters and says so; a
// cut that large would lose text, so it removes nothing.
TEST_F(HistoryViewTest, CopyPastTheLimitTakesTheEndAndSaysSo) {
    view->setCopyLimit(1000);
    appendRecords(0, 100);
    const QString all = view->toPlainText();
    ASSERT_GT(all.size(), 5 * 1024);
    QSignalSpy notices(view.get(), &HistoryView::notice);
    QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), all.right(1000));
    ASSERT_EQ(notices.count(), 1);
    const QString notice = notices.at(0).at(0).toString();
    EXPECT_TRUE(notice.startsWith(QStringLiteral("Copied the last 1000 bytes of ")) &&
                notice.endsWith(QStringLiteral(" KiB selected; use Save History As\u2026 for all of it")))
        << notice.toStdString();

    QTest::keyClick(view.get(), Qt::Key_X, Qt::ControlModifier);
    EXPECT_EQ(view->toPlainText(), all);
    ASSERT_EQ(notices.count(), 2);
    EXPECT_TRUE(notices.at(1).at(0).toString().startsWith(QStringLiteral("Too much to cut")));

    view->setSelection(10, 1010);
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), all.mid(10, 1000));
    EXPECT_EQ(notices.count(), 2);
}

}  // namespace
