// The history widget under the offscreen platform, driven by real key and mouse input.
#include "history_store.h"
#include "history_view.h"

#include <QApplication>
#include <QClipboard>
#include <QMenu>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Readable failure messages; QString lives in the global namespace.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toLatin1().toStdString() << '"'; }

namespace {

std::string hexRecord(int i) {
    char buf[80];
    std::snprintf(buf, sizeof buf, "received:0x%x 0x65 0x6c 0x6c 0x6f 0x20 0x57 0x6f 0x72 0x%x \r\n", i & 0xff,
                  (i >> 8) & 0xff);
    return buf;
}

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

    void appendRecords(int from, int count) {
        std::string batch;
        for (int i = from; i < from + count; ++i)
            batch += hexRecord(i);
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
    ASSERT_EQ(view->caretPosition(), 20);
    for (int i = 0; i < 6; ++i)
        QTest::keyClick(view.get(), Qt::Key_Right, Qt::ShiftModifier);
    const QString selected = view->selectedText();
    ASSERT_EQ(selected, view->toPlainText().mid(20, 6));

    view->appendText(QStringLiteral("Sent:hello\r\n"));
    appendRecords(5, 3);
    view->flushPendingLayout();
    EXPECT_EQ(view->selectedText(), selected);
    EXPECT_EQ(view->caretPosition(), 26);
    EXPECT_TRUE(view->toPlainText().endsWith(QString::fromLatin1(hexRecord(7).c_str()).replace("\r\n", "\n")));
    EXPECT_TRUE(view->toPlainText().contains(QStringLiteral("\nSent:hello\n")));

    // Without a selection, the caret stays in the middle too, also while scrolled up.
    bar()->setValue(0);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, pointOf(70));
    appendRecords(8, 1);
    view->flushPendingLayout();
    EXPECT_EQ(view->caretPosition(), 70);
    EXPECT_FALSE(view->hasSelection());
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
}

struct BreakCase {
    const char* name;
    std::vector<std::string> pieces;
    QString text;
};

class HistoryBreaks : public HistoryViewTest, public ::testing::WithParamInterface<BreakCase> {};

TEST_P(HistoryBreaks, TextComesBackThroughSelectionAndClipboard) {
    for (const std::string& piece : GetParam().pieces)
        view->appendLatin1(piece);
    const QString& expected = GetParam().text;
    EXPECT_EQ(view->toPlainText(), expected);
    EXPECT_EQ(view->lineCount(), expected.count(QLatin1Char('\n')) + 1);
    EXPECT_EQ(view->characterCount(), expected.size());
    QTest::keyClick(view.get(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(view->selectedText(), expected);
    QGuiApplication::clipboard()->clear();
    QTest::keyClick(view.get(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    View, HistoryBreaks,
    ::testing::Values(
        BreakCase{"CrLf", {"received:Hello\r\n", "Sent:x\r\n"}, QStringLiteral("received:Hello\nSent:x\n")},
        BreakCase{"CrLfSplit", {"received:A\r", "\nreceived:B\r", "\n"}, QStringLiteral("received:A\nreceived:B\n")},
        BreakCase{"LoneLf", {"received:a\nb\r\n"}, QStringLiteral("received:a\nb\n")},
        BreakCase{"LoneCrAndNul",
                  {std::string("received:a\rb\0c\r\n", 16)},
                  QString::fromLatin1("received:a\rb\0c\n", 15)},
        BreakCase{"Latin1High", {"received:\x80\xa0\xe9\xff\r\n"}, QString::fromLatin1("received:\x80\xa0\xe9\xff\n")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HistoryViewTest, AppendTextMapsWhatLatin1CannotHoldToQuestionMark) {
    view->appendText(QStringLiteral("Sent:\u00e9\u20ac\U0001F600!\r\n"));
    EXPECT_EQ(view->toPlainText(), QString::fromLatin1("Sent:\xe9?" "?!\n"));
}

TEST_F(HistoryViewTest, ContextMenuCopiesAndSelectsAll) {
    view->appendLatin1("received:abc\r\nSent:def\r\n");
    view->setSelection(9, 12);
    QGuiApplication::clipboard()->clear();
    auto pick = [](const QString& prefix) {
        QTimer::singleShot(0, [prefix] {
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions())
                if (action->text().remove(QLatin1Char('&')).startsWith(prefix))
                    action->trigger();
            menu->close();
        });
    };
    const QPoint at = view->viewport()->rect().center();
    pick(QStringLiteral("Copy"));
    QContextMenuEvent copyEvent(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &copyEvent);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("abc"));
    pick(QStringLiteral("Select All"));
    QContextMenuEvent allEvent(QContextMenuEvent::Mouse, at, view->viewport()->mapToGlobal(at));
    QApplication::sendEvent(view->viewport(), &allEvent);
    EXPECT_EQ(view->selectedText(), view->toPlainText());
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

TEST_F(HistoryViewTest, MouseDragSelects) {
    appendRecords(0, 2);
    view->flushPendingLayout();
    const QPoint from = pointOf(4);
    const QPoint to = pointOf(30);
    const QPoint extendTo = pointOf(2);
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view->viewport(), to);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
    EXPECT_EQ(view->selectedText(), view->toPlainText().mid(4, 26));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ShiftModifier, extendTo);
    EXPECT_EQ(view->selectedText(), view->toPlainText().mid(2, 2));
}

// Control bytes are drawn wider than one character; clicks and arrow keys must
// still land on byte positions.
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

    view->setCaretPosition(0);
    for (qsizetype p = 1; p <= qsizetype(line.size()); ++p) {
        QTest::keyClick(view.get(), Qt::Key_Right, Qt::ShiftModifier);
        EXPECT_EQ(view->selectedText(), QString::fromLatin1(line.data(), p));
    }
}

TEST_F(HistoryViewTest, DoubleClickSelectsWord) {
    view->appendLatin1("received:0x48 0x65 \r\n");
    view->flushPendingLayout();
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, pointOf(11));
    EXPECT_EQ(view->selectedText(), QStringLiteral("0x48"));
}

TEST_F(HistoryViewTest, ClearEmptiesAndResets) {
    appendRecords(0, 100);
    view->flushPendingLayout();
    view->setSelection(10, 40);
    bar()->setValue(3);
    view->clear();
    view->flushPendingLayout();
    EXPECT_EQ(view->toPlainText(), QString());
    EXPECT_EQ(view->lineCount(), 1);
    EXPECT_EQ(view->caretPosition(), 0);
    EXPECT_FALSE(view->hasSelection());
    EXPECT_EQ(bar()->maximum(), 0);
    EXPECT_TRUE(view->isShowingEnd());
    view->appendLatin1("received:x\r\n");
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:x\n"));
}

TEST_F(HistoryViewTest, LongLinesWrapInsteadOfScrollingSideways) {
    std::string words;
    for (int i = 0; i < 60; ++i)
        words += "0x6c ";
    view->appendLatin1(words);
    view->flushPendingLayout();
    EXPECT_FALSE(view->horizontalScrollBar()->isVisible());
    EXPECT_EQ(view->lineCount(), 1);
    // Down moves to the next visual row of the same line; End stops at the row's end.
    view->setCaretPosition(0);
    QTest::keyClick(view.get(), Qt::Key_Down);
    const qsizetype secondRow = view->caretPosition();
    EXPECT_GT(secondRow, 0);
    EXPECT_LT(secondRow, qsizetype(words.size()));
    view->setCaretPosition(0);
    QTest::keyClick(view.get(), Qt::Key_End);
    EXPECT_GT(view->caretPosition(), 0);
    EXPECT_LT(view->caretPosition(), qsizetype(words.size()));
    // A word longer than the width breaks anywhere rather than overflowing.
    view->clear();
    view->appendLatin1(std::string(400, 'W'));
    view->setCaretPosition(0);
    QTest::keyClick(view.get(), Qt::Key_Down);
    EXPECT_GT(view->caretPosition(), 0);
    EXPECT_LT(view->caretPosition(), 400);

    view->clear();
    appendRecords(0, 8);
    view->flushPendingLayout();
    EXPECT_GT(bar()->maximum(), 0);
}

TEST_F(HistoryViewTest, DisabledHistoryTakesNoInput) {
    QWidget box;
    view->setParent(&box);
    box.show();
    view->appendLatin1("received:a\r\n");
    box.setEnabled(false);
    EXPECT_FALSE(view->isEnabled());
    QTest::keyClicks(view.get(), QStringLiteral("typed"));
    EXPECT_EQ(view->toPlainText(), QStringLiteral("received:a\n"));
    view->setParent(nullptr);
}

TEST_F(HistoryViewTest, LargeBatchesEndWithExactText) {
    constexpr int kCalls = 20;
    constexpr int kPerCall = 10000;
    qsizetype expectedChars = 0;
    for (int call = 0; call < kCalls; ++call) {
        std::string batch;
        for (int i = call * kPerCall; i < (call + 1) * kPerCall; ++i)
            batch += hexRecord(i);
        expectedChars += qsizetype(batch.size()) - kPerCall;  // each "\r\n" is one break
        view->appendLatin1(batch);
    }
    view->flushPendingLayout();
    const HistoryStore& store = view->store();
    ASSERT_EQ(view->lineCount(), kCalls * kPerCall + 1);
    EXPECT_EQ(view->characterCount(), expectedChars);
    for (int i : {0, 1, 65535, 65536, 123456, kCalls * kPerCall - 1}) {
        std::string want = hexRecord(i);
        want.resize(want.size() - 2);
        EXPECT_EQ(store.lineText(i), want) << "line " << i;
    }
    EXPECT_EQ(store.lineText(kCalls * kPerCall), "");
    EXPECT_TRUE(view->isShowingEnd());
    EXPECT_GT(bar()->maximum(), kCalls * kPerCall - 20);
}

}  // namespace
