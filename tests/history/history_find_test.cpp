// The Find box over the real history widget, driven by keys under the offscreen
// platform: what it selects and shows, what its status line says, and that a
// search outlived by its history is dropped.
#include "history_find_bar.h"
#include "history_view.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
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
        view = std::make_unique<HistoryView>();
        view->resize(341, 160);
        view->show();
        bar = std::make_unique<HistoryFindBar>(view.get());
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    }

    // Lines of filler with "Marker" at the lines given; where each marker starts.
    std::vector<qsizetype> fill(int lines, std::initializer_list<int> markedLines) {
        std::string text;
        std::vector<qsizetype> marks;
        for (int i = 0; i < lines; ++i) {
            text += "received:0x10 0x20 0x30 ";
            if (std::find(markedLines.begin(), markedLines.end(), i) != markedLines.end()) {
                marks.push_back(qsizetype(text.size()));
                text += "Marker";
            }
            text += "\n";  // one character in the history, as "\r\n" would be
        }
        view->appendLatin1(text);
        view->flushPendingLayout();
        return marks;
    }

    void openWith(const QString& text) {
        bar->showFind();
        ASSERT_TRUE(QTest::qWaitForWindowActive(bar.get()));
        QLineEdit* edit = bar->findChild<QLineEdit*>(QStringLiteral("FindText"));
        edit->clear();
        QTest::keyClicks(edit, text);
    }

    // A key to the box, then a bounded wait for its answer.
    void press(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key), modifiers);
        ASSERT_TRUE(QTest::qWaitFor([this] { return !bar->isSearching(); }, 10000));
    }

    std::pair<qsizetype, qsizetype> selection() const { return view->selectionRange(); }

    std::unique_ptr<HistoryView> view;
    std::unique_ptr<HistoryFindBar> bar;
};

// Return and F3 go forward from the selection's end, Shift+F3 back from its
// start, each wrapping once with a word in the status line; a text that is not
// there, or not in that case, says so; Escape closes the box.
TEST_F(HistoryFindTest, KeysStepThroughMatchesAndSayWhatHappened) {
    const std::vector<qsizetype> marks = fill(200, {10, 120, 190});
    view->setCaretPosition(0);
    openWith(QStringLiteral("marker"));
    press(Qt::Key_Return);
    EXPECT_EQ(selection(), std::make_pair(marks[0], marks[0] + 6));
    EXPECT_EQ(view->selectedText(), QStringLiteral("Marker"));
    EXPECT_EQ(bar->statusText(), QString());
    press(Qt::Key_F3);
    EXPECT_EQ(selection().first, marks[1]);
    press(Qt::Key_F3);
    EXPECT_EQ(selection().first, marks[2]);
    press(Qt::Key_F3);
    EXPECT_EQ(selection().first, marks[0]);
    EXPECT_EQ(bar->statusText(), QStringLiteral("Wrapped around"));
    press(Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(selection().first, marks[2]);
    EXPECT_EQ(bar->statusText(), QStringLiteral("Wrapped around"));
    press(Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(selection().first, marks[1]);
    EXPECT_EQ(bar->statusText(), QString());

    bar->findChild<QCheckBox*>(QStringLiteral("FindMatchCase"))->setChecked(true);
    bar->findChild<QLineEdit*>(QStringLiteral("FindText"))->setFocus();
    press(Qt::Key_Return);
    EXPECT_EQ(bar->statusText(), QStringLiteral("Not found"));
    EXPECT_EQ(selection().first, marks[1]) << "a miss moved the selection";

    openWith(QStringLiteral("absent"));
    press(Qt::Key_Return);
    EXPECT_EQ(bar->statusText(), QStringLiteral("Not found"));
    press(Qt::Key_Escape);
    EXPECT_FALSE(bar->isVisible());
}

// A match is scrolled into view, and the view stays on it while text arrives,
// also when it was on the last page; the status says the search is under way
// until its answer comes; every control has a name for assistive technology.
TEST_F(HistoryFindTest, ShowsTheMatchAndTellsProgress) {
    const std::vector<qsizetype> marks = fill(3000, {5, 2995});
    ASSERT_TRUE(view->isShowingEnd());
    auto inView = [this] { return !view->inputMethodQuery(Qt::ImCursorRectangle).toRect().isEmpty(); };
    openWith(QStringLiteral("MARKER"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_TRUE(bar->isSearching());
    EXPECT_TRUE(bar->statusText().startsWith(QStringLiteral("Searching\u2026 "))) << bar->statusText().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !bar->isSearching(); }, 10000));
    EXPECT_EQ(selection().first, marks[1]);
    EXPECT_TRUE(inView());
    fill(500, {});
    EXPECT_TRUE(inView()) << "arrivals moved the view away from the match";
    press(Qt::Key_F3, Qt::ShiftModifier);
    EXPECT_EQ(selection().first, marks[0]);
    EXPECT_TRUE(inView()) << "the match is not in view";

    for (QWidget* control : bar->findChildren<QWidget*>()) {
        if (control->objectName().startsWith(QStringLiteral("Find"))) {
            EXPECT_FALSE(control->accessibleName().isEmpty()) << control->objectName().toStdString();
        }
    }
}

// Clear History while a search runs: its answer belongs to a text that is gone,
// and new text at the same positions must not be selected in its place.
TEST_F(HistoryFindTest, ClearDropsTheSearchUnderWay) {
    fill(400, {300});
    openWith(QStringLiteral("marker"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    view->clear();
    fill(400, {});
    ASSERT_TRUE(QTest::qWaitFor([this] { return !bar->isSearching(); }, 10000));
    QTest::qWait(20);
    EXPECT_FALSE(view->hasSelection()) << view->selectedText().toStdString();
    EXPECT_EQ(bar->statusText(), QStringLiteral("History changed: search stopped"));
}

}  // namespace
