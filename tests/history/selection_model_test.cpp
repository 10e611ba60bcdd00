// The caret-and-selection model and the repaint cadence, without a widget.
#include "history_cadence.h"
#include "history_selection.h"
#include "history_store.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

namespace {

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

struct WordCase {
    qsizetype at;
    const char* word;  // what a double click there selects; "" leaves the selection alone
};

class WordSelection : public SelectionTest, public ::testing::WithParamInterface<WordCase> {};

TEST_P(WordSelection, SelectsTheRunUnderThePosition) {
    sel.setCaret(3);
    sel.selectWordAt(GetParam().at);
    EXPECT_EQ(selected(), GetParam().word);
    if (!*GetParam().word) {
        EXPECT_EQ(sel.caret(), 3);
    }
}

INSTANTIATE_TEST_SUITE_P(Model, WordSelection,
                         ::testing::Values(WordCase{0, "received"}, WordCase{8, ":"}, WordCase{11, "0x48"},
                                           WordCase{13, " "}, WordCase{19, " "},  // a line's end takes the last
                                           WordCase{20, ""}, WordCase{21, "ab_1"}, WordCase{25, "+-"},
                                           WordCase{28, "c"}));

TEST_F(SelectionTest, WordStepsStopAtWordsAndLineEnds) {
    struct Step {
        qsizetype from;
        bool forward;
        qsizetype to;
    };
    for (const Step& s : {Step{0, true, 8}, Step{9, true, 14}, Step{14, true, 19}, Step{19, true, 20},
                          Step{20, true, 21}, Step{19, false, 14}, Step{14, false, 9}, Step{21, false, 20},
                          Step{0, false, 0}, Step{28, true, 28}})
        EXPECT_EQ(sel.wordStep(s.from, s.forward), s.to) << s.from << (s.forward ? " forward" : " back");
}

TEST_F(SelectionTest, LineSelectionTakesTheBreakButNotPastTheEnd) {
    sel.selectLineAt(5);
    EXPECT_EQ(selected(), "received:0x48 0x65 \n");
    sel.selectLineAt(20);
    EXPECT_EQ(selected(), "\n");
    sel.selectLineAt(23);
    EXPECT_EQ(selected(), "ab_1+-c");
    sel.selectAll();
    EXPECT_EQ(selected(), kText);
    sel.select(-5, 1000);  // clamped to the text
    EXPECT_EQ(selected(), kText);
}

struct EditCase {
    qsizetype anchor, caret, at, removed, inserted;
    qsizetype wantAnchor, wantCaret;
};

class EditShift : public SelectionTest, public ::testing::WithParamInterface<EditCase> {};

TEST_P(EditShift, PositionsAfterAnEditMoveAlong) {
    const EditCase& c = GetParam();
    sel.select(c.anchor, c.caret);
    store.replace(c.at, c.removed, std::string(std::size_t(c.inserted), 'x'));
    sel.edited(c.at, c.removed, c.inserted);
    EXPECT_EQ(sel.anchor(), c.wantAnchor);
    EXPECT_EQ(sel.caret(), c.wantCaret);
    EXPECT_EQ(sel.caretLine(), store.lineAt(c.wantCaret));
}

INSTANTIATE_TEST_SUITE_P(Model, EditShift,
                         ::testing::Values(EditCase{2, 5, 10, 3, 1, 2, 5},    // before: stays
                                           EditCase{12, 25, 10, 0, 4, 16, 29},  // after: moves by the growth
                                           EditCase{12, 25, 10, 5, 0, 10, 20},  // inside: to the edit
                                           EditCase{10, 10, 10, 0, 3, 10, 10},  // at an insertion: stays before it
                                           EditCase{0, 28, 0, 28, 0, 0, 0}));   // all removed

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

TEST_F(SelectionTest, LinePartsShowWhatIsSelectedOnEachLine) {
    struct Case {
        qsizetype anchor, caret, line;
        qsizetype from, to;
        bool withBreak;
    };
    for (const Case& c : {Case{3, 9, 0, 3, 9, false}, Case{9, 3, 0, 3, 9, false}, Case{15, 25, 0, 15, 19, true},
                          Case{15, 25, 1, 0, 0, true}, Case{15, 25, 2, 0, 4, false}, Case{19, 20, 0, 0, 0, true},
                          Case{0, 28, 2, 0, 7, false}, Case{5, 5, 0, 0, 0, false}}) {
        SCOPED_TRACE(testing::Message() << c.anchor << "-" << c.caret << " on line " << c.line);
        sel.select(c.anchor, c.caret);
        const auto part = sel.partOn(store.lineStart(c.line), store.lineLength(c.line), c.line < 2);
        EXPECT_EQ(part.from, c.from);
        EXPECT_EQ(part.to, c.to);
        EXPECT_EQ(part.withBreak, c.withBreak);
    }
}

TEST_F(SelectionTest, CopyTakesTheLastCharactersPastTheLimit) {
    sel.select(25, 4);
    for (const auto& [limit, from, length] : {std::tuple{100, 4, 21}, {21, 4, 21}, {5, 20, 5}}) {
        EXPECT_EQ(sel.copySpan(limit).from, from) << limit;
        EXPECT_EQ(sel.copySpan(limit).length, length) << limit;
    }
}

// Appends every 5 ms for two seconds, timers fired as an event loop would; returns
// how often the view caught up and how often its scroll bar did.
std::pair<int, int> stream(bool followingEnd) {
    HistoryCadence cadence;
    int catchUps = 0, scrollBars = 0;
    qint64 due = -1, barDue = -1;
    auto catchUp = [&](qint64 now, bool urgent) {
        ++catchUps;
        due = -1;
        if (cadence.catchUp(now, followingEnd, urgent)) {
            ++scrollBars;
            barDue = -1;
        } else if (barDue < 0) {
            barDue = now + cadence.scrollBarDelay(now);
        }
    };
    catchUp(0, true);
    for (qint64 now = 1; now <= 2000; ++now) {
        if (const qint64 wait = now % 5 ? -1 : cadence.catchUpDelay(now); wait >= 0)
            due = now + wait;
        if (due >= 0 && now >= due)
            catchUp(now, false);
        if (barDue >= 0 && now >= barDue)
            catchUp(now, true);
    }
    return {catchUps, scrollBars};
}

TEST(HistoryCadence, AStreamIsCaughtUpTenTimesASecondItsBarFourTimes) {
    const auto [catchUps, scrollBars] = stream(true);
    EXPECT_GE(catchUps, 2 * 9);
    EXPECT_LE(catchUps, 2 * (10 + 4) + 1);  // the bar's own catch-ups included
    EXPECT_GE(scrollBars, 2 * 3);
    EXPECT_LE(scrollBars, 2 * 4 + 2);
    // Scrolled up, the bar is all that moves: it keeps up with every catch-up.
    const auto [readingCatchUps, readingBars] = stream(false);
    EXPECT_EQ(readingBars, readingCatchUps);
    EXPECT_LE(readingCatchUps, 2 * (10 + 4) + 1);
    // A lone append after a quiet spell shows on the next pass.
    HistoryCadence quiet;
    quiet.catchUp(0, true, true);
    EXPECT_EQ(quiet.catchUpDelay(1000), 0);
}

TEST(HistoryCadence, RepaintsOnlyForChangesInView) {
    HistoryCadence cadence;
    EXPECT_TRUE(cadence.repaintDue(false));  // never painted
    cadence.painted(20);
    cadence.changed(21);
    EXPECT_FALSE(cadence.repaintDue(false));
    EXPECT_TRUE(cadence.repaintDue(true));
    cadence.changed(20);
    EXPECT_TRUE(cadence.repaintDue(false));
    EXPECT_FALSE(cadence.repaintDue(false));
}

}  // namespace
