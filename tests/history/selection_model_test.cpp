// The caret-and-selection model, without a widget.
#include "history_selection.h"
#include "history_store.h"

#include <gtest/gtest.h>

#include <string>

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

TEST_F(SelectionTest, LineSelectionTakesTheBreakButNotPastTheEnd) {
    const std::pair<qsizetype, std::string> lines[] = {{5, "received:0x48 0x65 \n"}, {20, "\n"}, {23, "ab_1+-c"}};
    for (const auto& [at, line] : lines) {
        sel.selectLineAt(at);
        EXPECT_EQ(selected(), line);
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
