#include "history_selection.h"

#include "history_store.h"

#include <QChar>

#include <algorithm>
#include <string_view>

CharClass classOf(char c) {
    if (c == ' ' || c == '\t')
        return CharClass::Space;
    const QChar ch(char16_t(static_cast<unsigned char>(c)));
    return ch.isLetterOrNumber() || c == '_' ? CharClass::Word : CharClass::Other;
}

std::pair<std::size_t, std::size_t> runAt(std::string_view text, std::size_t at) {
    const CharClass kind = classOf(text[at]);
    std::size_t a = at;
    std::size_t b = at + 1;
    while (a > 0 && classOf(text[a - 1]) == kind)
        --a;
    while (b < text.size() && classOf(text[b]) == kind)
        ++b;
    return {a, b};
}

qsizetype HistorySelection::caretLine() const {
    if (caretLine_ < 0)
        caretLine_ = store_.lineAt(caret_);
    return caretLine_;
}

void HistorySelection::setCaret(qsizetype position, bool keepAnchor) {
    position = std::clamp<qsizetype>(position, 0, store_.size());
    if (position != caret_)
        caretLine_ = -1;
    caret_ = position;
    if (!keepAnchor)
        anchor_ = caret_;
}

void HistorySelection::select(qsizetype anchor, qsizetype caret) {
    anchor_ = std::clamp<qsizetype>(anchor, 0, store_.size());
    setCaret(caret, true);
}

void HistorySelection::selectAll() { select(0, store_.size()); }

void HistorySelection::selectWordAt(qsizetype position) {
    const qsizetype line = store_.lineAt(position);
    const qsizetype start = store_.lineStart(line);
    // No other store call while this view of the line is held.
    const std::string_view text = store_.lineText(line);
    if (text.empty())
        return;
    // The character under the pointer decides, not the nearest gap.
    const auto i = std::min(std::size_t(std::max<qsizetype>(position - start, 0)), text.size() - 1);
    const auto [a, b] = runAt(text, i);
    select(start + qsizetype(a), start + qsizetype(b));
}

void HistorySelection::selectLineAt(qsizetype position) {
    const qsizetype line = store_.lineAt(position);
    const qsizetype start = store_.lineStart(line);
    const qsizetype withBreak = line + 1 < store_.lineCount() ? 1 : 0;
    select(start, start + store_.lineLength(line) + withBreak);
}

qsizetype HistorySelection::wordStep(qsizetype position, bool forward) const {
    const qsizetype line = store_.lineAt(position);
    const qsizetype start = store_.lineStart(line);
    const qsizetype size = store_.size();
    // No other store call while this view of the line is held.
    const std::string_view text = store_.lineText(line);
    auto i = std::size_t(std::clamp<qsizetype>(position - start, 0, qsizetype(text.size())));
    if (forward) {
        if (i == text.size())
            return std::min(start + qsizetype(i) + 1, size);
        const CharClass cls = classOf(text[i]);
        if (cls != CharClass::Space)
            while (i < text.size() && classOf(text[i]) == cls)
                ++i;
        while (i < text.size() && classOf(text[i]) == CharClass::Space)
            ++i;
    } else {
        if (i == 0)
            return std::max<qsizetype>(start - 1, 0);
        while (i > 0 && classOf(text[i - 1]) == CharClass::Space)
            --i;
        if (i > 0) {
            const CharClass cls = classOf(text[i - 1]);
            while (i > 0 && classOf(text[i - 1]) == cls)
                --i;
        }
    }
    return start + qsizetype(i);
}

void HistorySelection::appended(qsizetype oldLineCount) {
    // Only the last line can change its number: a "\n" completing a stored "\r".
    if (caretLine_ >= oldLineCount - 1)
        caretLine_ = -1;
}

void HistorySelection::edited(qsizetype at, qsizetype removed, qsizetype inserted) {
    auto shift = [&](qsizetype p) {
        if (p <= at)
            return p;
        return p < at + removed ? at : p - removed + inserted;
    };
    anchor_ = std::clamp<qsizetype>(shift(anchor_), 0, store_.size());
    caret_ = std::clamp<qsizetype>(shift(caret_), 0, store_.size());
    caretLine_ = -1;
}

void HistorySelection::reset() {
    caret_ = anchor_ = 0;
    caretLine_ = -1;
}

HistorySelection::LinePart HistorySelection::partOn(qsizetype lineStart, qsizetype lineLength,
                                                    bool hasBreak) const {
    const qsizetype from = start();
    const qsizetype to = end();
    const qsizetype lineEnd = lineStart + lineLength;
    LinePart part;
    if (from < to && from < lineEnd && to > lineStart) {
        part.from = std::max(from, lineStart) - lineStart;
        part.to = std::min(to, lineEnd) - lineStart;
    }
    part.withBreak = hasBreak && from <= lineEnd && to > lineEnd;
    return part;
}

HistorySelection::Span HistorySelection::copySpan(qsizetype limit) const {
    limit = std::max<qsizetype>(limit, 0);
    const qsizetype all = length();
    if (all <= limit)
        return {start(), all};
    return {end() - limit, limit};
}
