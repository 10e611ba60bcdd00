// The history as assistive technology sees it, through Qt's own accessibility
// API: its text, caret and selection, and what it announces.
#include "history_accessible.h"
#include "history_view.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Heard {
    QAccessible::Event type;
    int position;  // where text went in or out; the caret for caret events
    QString text;  // inserted or removed
    int selectionStart = -1;
    int selectionEnd = -1;
};

// What the view announced, as a screen reader's bridge would get it.
std::vector<Heard> heard;
QObject* listenedTo = nullptr;

void hear(QAccessibleEvent* event) {
    if (event->object() != listenedTo)
        return;
    switch (event->type()) {
    case QAccessible::TextInserted: {
        auto* e = static_cast<QAccessibleTextInsertEvent*>(event);
        heard.push_back({e->type(), e->changePosition(), e->textInserted()});
        break;
    }
    case QAccessible::TextRemoved: {
        auto* e = static_cast<QAccessibleTextRemoveEvent*>(event);
        heard.push_back({e->type(), e->changePosition(), e->textRemoved()});
        break;
    }
    case QAccessible::TextCaretMoved: {
        auto* e = static_cast<QAccessibleTextCursorEvent*>(event);
        heard.push_back({e->type(), e->cursorPosition(), {}});
        break;
    }
    case QAccessible::TextSelectionChanged: {
        auto* e = static_cast<QAccessibleTextSelectionEvent*>(event);
        heard.push_back({e->type(), e->cursorPosition(), {}, e->selectionStart(), e->selectionEnd()});
        break;
    }
    default: break;
    }
}

int count(QAccessible::Event type) {
    return int(std::count_if(heard.begin(), heard.end(), [&](const Heard& h) { return h.type == type; }));
}

class HistoryAccessibleTest : public ::testing::Test {
protected:
    void SetUp() override {
        view = std::make_unique<HistoryView>();
        view->resize(341, 160);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        iface = QAccessible::queryAccessibleInterface(view.get());
        ASSERT_NE(iface, nullptr);
        text = iface->textInterface();
        ASSERT_NE(text, nullptr) << "the history offers no text to assistive technology";
    }
    void TearDown() override {
        stopListening();
        view.reset();
    }

    void listen() {
        heard.clear();
        listenedTo = view.get();
        HistoryAccessible::setListenerForTests(hear);
    }
    void stopListening() {
        if (!listenedTo)
            return;
        HistoryAccessible::setListenerForTests(nullptr);
        listenedTo = nullptr;
    }

    std::unique_ptr<HistoryView> view;
    QAccessibleInterface* iface = nullptr;
    QAccessibleTextInterface* text = nullptr;
};

struct Unit {
    QString text;
    int start;
    int end;
};

Unit at(QAccessibleTextInterface* text, int offset, QAccessible::TextBoundaryType boundary) {
    Unit u;
    u.text = text->textAtOffset(offset, boundary, &u.start, &u.end);
    return u;
}
Unit before(QAccessibleTextInterface* text, int offset, QAccessible::TextBoundaryType boundary) {
    Unit u;
    u.text = text->textBeforeOffset(offset, boundary, &u.start, &u.end);
    return u;
}
Unit after(QAccessibleTextInterface* text, int offset, QAccessible::TextBoundaryType boundary) {
    Unit u;
    u.text = text->textAfterOffset(offset, boundary, &u.start, &u.end);
    return u;
}

bool operator==(const Unit& a, const Unit& b) { return a.text == b.text && a.start == b.start && a.end == b.end; }
void PrintTo(const Unit& u, std::ostream* os) {
    *os << '"' << u.text.toStdString() << "\" [" << u.start << ", " << u.end << ')';
}

TEST_F(HistoryAccessibleTest, TextReadsBackByRangeLineWordAndCharacter) {
    view->setPlainText(QStringLiteral("first line\nsecond"));
    view->appendLatin1("\r\nreceived:abc\r\n");
    EXPECT_EQ(iface->role(), QAccessible::EditableText);
    EXPECT_TRUE(iface->state().multiLine);
    EXPECT_EQ(text->characterCount(), 31);
    EXPECT_EQ(text->text(0, -1), QStringLiteral("first line\nsecond\nreceived:abc\n"));
    EXPECT_EQ(text->text(11, 17), QStringLiteral("second"));

    const auto line = QAccessible::LineBoundary;
    // The newest line, from inside it; a line ends with its break.
    EXPECT_EQ(at(text, 20, line), (Unit{QStringLiteral("received:abc\n"), 18, 31}));
    // Across a break: the break belongs to the line it ends, the next character to the next line.
    EXPECT_EQ(at(text, 10, line), (Unit{QStringLiteral("first line\n"), 0, 11}));
    EXPECT_EQ(at(text, 11, line), (Unit{QStringLiteral("second\n"), 11, 18}));
    EXPECT_EQ(before(text, 12, line), (Unit{QStringLiteral("first line\n"), 0, 11}));
    EXPECT_EQ(after(text, 12, line), (Unit{QStringLiteral("received:abc\n"), 18, 31}));
    EXPECT_EQ(before(text, 3, line), (Unit{QString(), -1, -1}));
    // The empty last line, after the final break.
    EXPECT_EQ(at(text, 31, line), (Unit{QString(), 31, 31}));

    EXPECT_EQ(at(text, 20, QAccessible::WordBoundary), (Unit{QStringLiteral("received"), 18, 26}));
    EXPECT_EQ(after(text, 20, QAccessible::WordBoundary), (Unit{QStringLiteral(":"), 26, 27}));
    EXPECT_EQ(at(text, 12, QAccessible::CharBoundary), (Unit{QStringLiteral("e"), 12, 13}));
    EXPECT_EQ(before(text, 12, QAccessible::CharBoundary), (Unit{QStringLiteral("s"), 11, 12}));
    EXPECT_EQ(at(text, 32, line), (Unit{QString(), -1, -1}));

    view->setReadOnly(true);
    EXPECT_TRUE(iface->state().readOnly);
    EXPECT_FALSE(iface->state().editable);
}

// However large the history, one call reads at most a bounded piece of it.
TEST_F(HistoryAccessibleTest, OneCallReadsABoundedPiece) {
    const std::string line(HistoryAccessible::kReadLimit + 100, 'x');
    view->appendLatin1("head\n" + line + "\ntail");
    const int count = text->characterCount();
    ASSERT_EQ(count, 5 + int(line.size()) + 5);
    EXPECT_EQ(text->text(0, -1).size(), HistoryAccessible::kReadLimit);
    // A line longer than that comes as the piece that holds the offset.
    const Unit far = at(text, count - 10, QAccessible::LineBoundary);
    EXPECT_EQ(far.start, 5 + HistoryAccessible::kReadLimit);
    EXPECT_EQ(far.end, count - 4);
    EXPECT_EQ(far.text, QString(100, QLatin1Char('x')) + QLatin1Char('\n'));
    EXPECT_EQ(at(text, count - 2, QAccessible::LineBoundary).text, QStringLiteral("tail"));
}

TEST_F(HistoryAccessibleTest, CaretAndSelectionReadBackAndSet) {
    view->setPlainText(QStringLiteral("alpha\nbeta\ngamma"));
    view->setCaretPosition(7);
    EXPECT_EQ(text->cursorPosition(), 7);
    EXPECT_EQ(text->selectionCount(), 0);

    text->setCursorPosition(3);
    EXPECT_EQ(view->caretPosition(), 3);
    EXPECT_FALSE(view->hasSelection());

    view->setSelection(8, 2);
    ASSERT_EQ(text->selectionCount(), 1);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    EXPECT_EQ(start, 2);
    EXPECT_EQ(end, 8);

    text->setSelection(0, 6, 10);
    EXPECT_EQ(view->selectedText(), QStringLiteral("beta"));
    text->removeSelection(0);
    EXPECT_FALSE(view->hasSelection());
    EXPECT_EQ(view->caretPosition(), 10);
    text->addSelection(11, 16);
    EXPECT_EQ(view->selectedText(), QStringLiteral("gamma"));
}

// A flood of lines reaches the reader as a few insertions a second, all of it,
// in order, at the offsets it went to.
TEST_F(HistoryAccessibleTest, FloodIsAnnouncedAFewTimesASecond) {
    view->appendLatin1("before\r\n");
    listen();
    QString sent;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "received:" + std::to_string(i) + "\r\n";
        view->appendLatin1(line);
        sent += QString::fromStdString(line).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        QCoreApplication::processEvents();
    }
    const qint64 appending = clock.elapsed();
    QString told;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            told.clear();
            for (const Heard& h : heard)
                if (h.type == QAccessible::TextInserted)
                    told += h.text;
            return told.size() >= sent.size();
        },
        5000))
        << "the last lines were never announced";
    EXPECT_EQ(told, sent);
    // One announcement per period while the flood lasted, and the last one after it.
    const int bound = int(appending / HistoryAccessible::kAnnounceMs) + 2;
    EXPECT_LE(count(QAccessible::TextInserted), bound) << appending << " ms of appends";
    ASSERT_FALSE(heard.empty());
    EXPECT_EQ(heard.front().position, 7);
    int next = 7;
    for (const Heard& h : heard) {
        EXPECT_EQ(h.position, next);
        next += int(h.text.size());
    }
}

// The caret moving, the selection changing and the user's edits are told as they happen.
TEST_F(HistoryAccessibleTest, CaretSelectionAndEditsAreAnnounced) {
    view->setPlainText(QStringLiteral("one\ntwo"));
    view->setFocus();
    listen();

    view->setCaretPosition(2);
    QTest::keyClick(view.get(), Qt::Key_Right);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].type, QAccessible::TextCaretMoved);
    EXPECT_EQ(heard[0].position, 2);
    EXPECT_EQ(heard[1].position, 3);

    heard.clear();
    QTest::keyClick(view.get(), Qt::Key_Right, Qt::ShiftModifier);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].type, QAccessible::TextSelectionChanged);
    EXPECT_EQ(heard[0].selectionStart, 3);
    EXPECT_EQ(heard[0].selectionEnd, 4);

    // Typing over the selected break: it goes, the letter comes.
    heard.clear();
    QTest::keyClick(view.get(), Qt::Key_X);
    ASSERT_EQ(count(QAccessible::TextRemoved), 1);
    ASSERT_EQ(count(QAccessible::TextInserted), 1);
    EXPECT_EQ(heard[0].type, QAccessible::TextRemoved);
    EXPECT_EQ(heard[0].position, 3);
    EXPECT_EQ(heard[0].text, QStringLiteral("\n"));
    EXPECT_EQ(heard[1].type, QAccessible::TextInserted);
    EXPECT_EQ(heard[1].position, 3);
    EXPECT_EQ(heard[1].text, QStringLiteral("x"));
    EXPECT_EQ(text->text(0, -1), QStringLiteral("onextwo"));

    heard.clear();
    view->clear();
    ASSERT_EQ(count(QAccessible::TextRemoved), 1);
    EXPECT_EQ(heard[0].text, QStringLiteral("onextwo"));
    EXPECT_EQ(text->characterCount(), 0);
}

}  // namespace
