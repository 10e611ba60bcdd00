// The Find box over the real history widget, driven by keys under the offscreen
// platform: where it stands, what it selects and shows, what its status line
// says, and that a search outlived by its history is dropped.
#include "history_find_bar.h"
#include "history_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

void PrintTo(const QString& text, std::ostream* os);

namespace {

class HistoryFindTest : public ::testing::Test {
protected:
    void SetUp() override {
        view.resize(341, 160);
        view.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    }

    // Lines of filler with "Marker" at the lines given; where each marker starts.
    std::vector<qsizetype> fill(int lines, std::initializer_list<int> markedLines) {
        std::string text;
        std::vector<qsizetype> marks;
        for (int i = 0; i < lines; ++i) {
            text += "received:0x10 0x20 0x30 ";
            if (std::ranges::find(markedLines, i) != markedLines.end()) {
                marks.push_back(qsizetype(text.size()));
                text += "Marker";
            }
            text += "\n";  // one character in the history, as "\r\n" would be
        }
        view.appendLatin1(text);
        view.flushPendingLayout();
        return marks;
    }

    void openWith(const QString& text) {
        bar.showFind();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&bar));
        QTest::keyClicks(edit(), text);
    }
    QLineEdit* edit() const { return bar.findChild<QLineEdit*>(QStringLiteral("FindText")); }

    // A key to the box, then a bounded wait for its answer.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
        ASSERT_TRUE(QTest::qWaitFor([this] { return !bar.isSearching(); }, 10000));
    }

    HistoryView view;
    HistoryFindBar bar{&view};
};

// Return and F3 go forward from the selection's end, Shift+F3 back from its
// start, each wrapping once with a word in the status line; a text not there in
// that case says so and leaves the selection; Escape closes the box.
TEST_F(HistoryFindTest, KeysStepThroughMatchesAndSayWhatHappened) {
    const std::vector<qsizetype> marks = fill(200, {10, 120, 190});
    view.setCaretPosition(0);
    openWith(QStringLiteral("marker"));
    const struct { int key; Qt::KeyboardModifiers modifiers; std::size_t mark; const char* status; } steps[] = {
        {Qt::Key_Return, {}, 0, ""},
        {Qt::Key_F3, {}, 1, ""},
        {Qt::Key_F3, {}, 2, ""},
        {Qt::Key_F3, {}, 0, "Wrapped around"},
        {Qt::Key_F3, Qt::ShiftModifier, 2, "Wrapped around"},
        {Qt::Key_F3, Qt::ShiftModifier, 1, ""},
    };
    for (const auto& step : steps) {
        press(step.key, step.modifiers);
        EXPECT_EQ(view.selectionRange(), std::pair(marks[step.mark], marks[step.mark] + 6)) << step.mark;
        EXPECT_EQ(bar.statusText(), QString::fromLatin1(step.status));
    }

    bar.findChild<QCheckBox*>(QStringLiteral("FindMatchCase"))->setChecked(true);
    edit()->setFocus();
    press(Qt::Key_Return);
    EXPECT_EQ(bar.statusText(), QStringLiteral("Not found"));
    EXPECT_EQ(view.selectionRange().first, marks[1]) << "a miss moved the selection";
    press(Qt::Key_Escape);
    EXPECT_FALSE(bar.isVisible());
}

// A match is scrolled into view, and the view stays on it while text arrives,
// also when it was on the last page; the status says the search is under way
// until its answer comes; every control has a name for assistive technology.
// Clear History while a search runs drops it: its answer belongs to a text that
// is gone, and new text at the same positions must not be selected in its place.
TEST_F(HistoryFindTest, ShowsTheMatchTellsProgressAndDropsASearchOutlivedByItsHistory) {
    const std::vector<qsizetype> marks = fill(3000, {5, 2995});
    ASSERT_TRUE(view.isShowingEnd());
    auto inView = [this] { return !view.inputMethodQuery(Qt::ImCursorRectangle).toRect().isEmpty(); };
    openWith(QStringLiteral("MARKER"));
    // Beside the window where there is room, so that it hides none of the history.
    EXPECT_EQ(bar.frameGeometry().top(), view.frameGeometry().top());
    EXPECT_GT(bar.frameGeometry().left(), view.frameGeometry().right());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_TRUE(bar.statusText().startsWith(QStringLiteral("Searching\u2026 "))) << bar.statusText().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !bar.isSearching(); }, 10000));
    EXPECT_EQ(view.selectionRange().first, marks[1]);
    fill(500, {});
    EXPECT_TRUE(inView()) << "arrivals moved the view away from the match";
    press(Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(view.selectionRange().first, marks[0]);
    EXPECT_TRUE(inView()) << "the match is not in view";
    for (const QWidget* control : bar.findChildren<QWidget*>(QRegularExpression(QStringLiteral("^Find"))))
        EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F3);  // would find the second
    view.clear();
    fill(3000, {});
    ASSERT_TRUE(QTest::qWaitFor([this] { return !bar.isSearching(); }, 10000));
    QTest::qWait(20);
    EXPECT_FALSE(view.hasSelection()) << view.selectedText().toStdString();
    EXPECT_EQ(bar.statusText(), QStringLiteral("History changed: search stopped"));
}

}  // namespace
