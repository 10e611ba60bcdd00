// The history as assistive technology sees it, through Qt's own accessibility
// API: its text, caret and selection, and what it announces.
#include "history_accessible.h"
#include "history_view.h"

#include <QAccessible>
#include <QElapsedTimer>
#include <QTest>

#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

void PrintTo(const QString& text, std::ostream* os);

namespace {

// One announcement, as a screen reader's bridge would get it.
struct Heard {
    QAccessible::Event type;
    int position;       // where text went in or out; the caret; the selection's start
    QString text = {};  // inserted or removed
    int end = -1;       // the selection's end
    bool operator==(const Heard&) const = default;
};
void PrintTo(const Heard& h, std::ostream* os) {
    *os << std::hex << h.type << std::dec << " at " << h.position << ".." << h.end << " \"" << h.text.toStdString() << '"';
}

std::vector<Heard> heard;
QObject* listenedTo = nullptr;

void hear(QAccessibleEvent* event) {
    if (event->object() != listenedTo)
        return;
    if (auto* e = dynamic_cast<QAccessibleTextInsertEvent*>(event))
        heard.push_back({e->type(), e->changePosition(), e->textInserted()});
    else if (auto* e = dynamic_cast<QAccessibleTextRemoveEvent*>(event))
        heard.push_back({e->type(), e->changePosition(), e->textRemoved()});
    else if (auto* e = dynamic_cast<QAccessibleTextSelectionEvent*>(event))
        heard.push_back({e->type(), e->selectionStart(), {}, e->selectionEnd()});
    else if (auto* e = dynamic_cast<QAccessibleTextCursorEvent*>(event))
        heard.push_back({e->type(), e->cursorPosition()});
}

class HistoryAccessibleTest : public ::testing::Test {
protected:
    void SetUp() override {
        view.resize(341, 160);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
        iface = QAccessible::queryAccessibleInterface(&view);
        ASSERT_NE(iface, nullptr);
        text = iface->textInterface();
        ASSERT_NE(text, nullptr) << "the history offers no text to assistive technology";
    }
    void TearDown() override { HistoryAccessible::setListenerForTests(nullptr); }

    void listen() {
        heard.clear();
        listenedTo = &view;
        HistoryAccessible::setListenerForTests(hear);
    }

    using Reader = QString (QAccessibleTextInterface::*)(int, QAccessible::TextBoundaryType, int*, int*) const;
    // The unit's text and where it lies, as "text [start, end)".
    QString unit(Reader reader, int offset, QAccessible::TextBoundaryType boundary) const {
        int start = -2, end = -2;
        const QString got = (text->*reader)(offset, boundary, &start, &end);
        return QStringLiteral("%1 [%2, %3)").arg(got).arg(start).arg(end);
    }

    HistoryView view;
    QAccessibleInterface* iface = nullptr;
    QAccessibleTextInterface* text = nullptr;
};

constexpr auto kAt = &QAccessibleTextInterface::textAtOffset;
constexpr auto kBefore = &QAccessibleTextInterface::textBeforeOffset;
constexpr auto kAfter = &QAccessibleTextInterface::textAfterOffset;
constexpr auto kLine = QAccessible::LineBoundary, kWord = QAccessible::WordBoundary, kChar = QAccessible::CharBoundary;

// Its role and state, and its text by range, line, word and character, a bounded piece at a time.
TEST_F(HistoryAccessibleTest, TextReadsBackByRangeLineWordAndCharacter) {
    view.setPlainText(QStringLiteral("first line\nsecond"));
    view.appendLatin1("\r\nreceived:abc\r\n");
    EXPECT_EQ(iface->role(), QAccessible::EditableText);
    EXPECT_TRUE(iface->state().multiLine);
    EXPECT_EQ(text->characterCount(), 31);
    EXPECT_EQ(text->text(0, -1), QStringLiteral("first line\nsecond\nreceived:abc\n"));
    EXPECT_EQ(text->text(11, 17), QStringLiteral("second"));

    const struct { Reader reader; int offset; QAccessible::TextBoundaryType boundary; const char* want; } rows[] = {
        {kAt, 20, kLine, "received:abc\n [18, 31)"},  // the newest line, from inside it; a line ends with its break
        {kAt, 10, kLine, "first line\n [0, 11)"},     // the break belongs to the line it ends,
        {kAt, 11, kLine, "second\n [11, 18)"},        // the next character to the next line
        {kBefore, 12, kLine, "first line\n [0, 11)"},
        {kAfter, 12, kLine, "received:abc\n [18, 31)"},
        {kBefore, 3, kLine, " [-1, -1)"},
        {kAt, 31, kLine, " [31, 31)"},  // the empty last line, after the final break
        {kAt, 32, kLine, " [-1, -1)"},
        {kAt, 20, kWord, "received [18, 26)"},
        {kAfter, 20, kWord, ": [26, 27)"},
        {kAt, 12, kChar, "e [12, 13)"},
        {kBefore, 12, kChar, "s [11, 12)"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(unit(row.reader, row.offset, row.boundary), QString::fromLatin1(row.want)) << row.offset;
    view.setReadOnly(true);
    EXPECT_TRUE(iface->state().readOnly);
    EXPECT_FALSE(iface->state().editable);

    // However large the history, one call reads at most a bounded piece of it; a
    // line longer than that comes as the piece that holds the offset.
    constexpr int kLimit = HistoryAccessible::kReadLimit;
    view.appendLatin1(std::string(kLimit + 100, 'x') + "\ntail");
    const int count = text->characterCount();
    ASSERT_EQ(count, 31 + kLimit + 100 + 5);
    EXPECT_EQ(text->text(0, -1).size(), kLimit);
    EXPECT_EQ(unit(kAt, count - 10, kLine),
              QString(100, QLatin1Char('x')) + QStringLiteral("\n [%1, %2)").arg(31 + kLimit).arg(count - 4));
    EXPECT_EQ(unit(kAt, count - 2, kLine), QStringLiteral("tail [%1, %2)").arg(count - 4).arg(count));
}

// A flood of lines reaches the reader as a few insertions a second, all of it,
// in order, at the offsets it went to.
TEST_F(HistoryAccessibleTest, FloodIsAnnouncedAFewTimesASecond) {
    view.appendLatin1("before\r\n");
    listen();
    QString sent;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 3000; ++i) {
        const std::string line = "received:" + std::to_string(i);
        view.appendLatin1(line + "\r\n");
        sent += QString::fromStdString(line) + QLatin1Char('\n');
        QCoreApplication::processEvents();
    }
    const qint64 appending = clock.elapsed();
    auto told = [] {
        return std::accumulate(heard.begin(), heard.end(), QString(), [](QString all, const Heard& h) { return all + h.text; });
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return told().size() >= sent.size(); }, 5000)) << "the last lines were never announced";
    EXPECT_EQ(told(), sent);
    // One announcement per period while the flood lasted, and the last one after it.
    EXPECT_LE(int(heard.size()), int(appending / HistoryAccessible::kAnnounceMs) + 2) << appending << " ms of appends";
    int next = 7;
    for (const Heard& h : heard) {
        EXPECT_EQ(std::pair(h.type, h.position), std::pair(QAccessible::TextInserted, next));
        next += int(h.text.size());
    }
}

// The caret and the selection read back and set through the interface; the caret
// moving, the selection changing and the user's edits are told as they happen.
TEST_F(HistoryAccessibleTest, CaretSelectionAndEditsReadBackSetAndAreAnnounced) {
    view.setPlainText(QStringLiteral("one\ntwo"));
    view.setFocus();
    listen();
    view.setCaretPosition(2);
    EXPECT_EQ(text->cursorPosition(), 2);
    EXPECT_EQ(text->selectionCount(), 0);
    QTest::keyClick(&view, Qt::Key_Right);
    QTest::keyClick(&view, Qt::Key_Left, Qt::ShiftModifier);
    ASSERT_EQ(text->selectionCount(), 1);
    int start = -1, end = -1;
    text->selection(0, &start, &end);
    EXPECT_EQ(std::pair(start, end), std::pair(2, 3));
    QTest::keyClick(&view, Qt::Key_X);  // over the selection: it goes, the letter comes
    EXPECT_EQ(text->text(0, -1), QStringLiteral("onx\ntwo"));

    text->setCursorPosition(1);
    EXPECT_EQ(view.caretPosition(), 1);
    text->setSelection(0, 4, 7);
    EXPECT_EQ(view.selectedText(), QStringLiteral("two"));
    text->removeSelection(0);  // told below as the selection ending
    EXPECT_EQ(view.caretPosition(), 7);
    text->addSelection(0, 3);
    EXPECT_EQ(view.selectedText(), QStringLiteral("onx"));
    view.clear();
    EXPECT_EQ(text->characterCount(), 0);
    using A = QAccessible;
    EXPECT_EQ(heard, (std::vector<Heard>{{A::TextCaretMoved, 2}, {A::TextCaretMoved, 3}, {A::TextSelectionChanged, 2, {}, 3},
                                         {A::TextRemoved, 2, "e"}, {A::TextInserted, 2, "x"}, {A::TextSelectionChanged, -1},
                                         {A::TextCaretMoved, 1}, {A::TextSelectionChanged, 4, {}, 7},
                                         {A::TextSelectionChanged, -1}, {A::TextSelectionChanged, 0, {}, 3},
                                         {A::TextRemoved, 0, "onx\ntwo"}}));
}

}  // namespace
