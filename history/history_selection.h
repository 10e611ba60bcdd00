#pragma once
// The caret and the selection of the history: two positions into its text, the
// anchor where a selection began and the caret where it ends. Appends leave them
// where they are; edits move the positions after them along.

#include <QtGlobal>

#include <cstddef>
#include <string_view>
#include <utility>

class HistoryStore;

enum class CharClass { Space, Word, Other };
// Words are runs of letters, digits and '_'; other signs make runs of their own.
CharClass classOf(char c);
// The run of characters of one class around text[at] (at < text.size()): a word,
// a gap or a run of punctuation, as [first, last).
std::pair<std::size_t, std::size_t> runAt(std::string_view text, std::size_t at);

class HistorySelection {
public:
    explicit HistorySelection(const HistoryStore& store) : store_(store) {}

    qsizetype caret() const { return caret_; }
    qsizetype anchor() const { return anchor_; }
    qsizetype start() const { return caret_ < anchor_ ? caret_ : anchor_; }
    qsizetype end() const { return caret_ < anchor_ ? anchor_ : caret_; }
    qsizetype length() const { return end() - start(); }
    bool hasSelection() const { return caret_ != anchor_; }
    // The line the caret is on, looked up once per move rather than on every blink.
    qsizetype caretLine() const;

    // Positions are clamped to the text.
    void setCaret(qsizetype position, bool keepAnchor = false);
    void select(qsizetype anchor, qsizetype caret);
    void selectAll();
    // The run of one class of characters under `position` (the character after it,
    // or before it at a line's end), within its line.
    void selectWordAt(qsizetype position);
    // The line at `position` with its break.
    void selectLineAt(qsizetype position);
    // Where a word step from `position` stops; a step stops at the ends of a line
    // too, so it never scans past one.
    qsizetype wordStep(qsizetype position, bool forward) const;

    // Text was appended to a store that held `oldLineCount` lines.
    void appended(qsizetype oldLineCount);
    // `removed` characters at `at` became `inserted` ones: positions after them
    // move along, those inside go to `at`.
    void edited(qsizetype at, qsizetype removed, qsizetype inserted);
    // The store was emptied or filled anew.
    void reset();

    // The selected part of a line starting at `lineStart`, in the line's own
    // positions, and whether its break is selected too.
    struct LinePart {
        qsizetype from = 0;
        qsizetype to = 0;
        bool withBreak = false;
    };
    LinePart partOn(qsizetype lineStart, qsizetype lineLength, bool hasBreak) const;

    // What a copy takes: all of the selection, or its last `limit` characters.
    struct Span {
        qsizetype from;
        qsizetype length;
    };
    Span copySpan(qsizetype limit) const;

private:
    const HistoryStore& store_;
    qsizetype caret_ = 0;
    qsizetype anchor_ = 0;
    mutable qsizetype caretLine_ = -1;  // -1 until looked up
};
