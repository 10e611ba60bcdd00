#pragma once
// The history's text as the view shows it: each line after its time when times
// are shown, read part by part from a snapshot. Saving and searching read this,
// so that they see what the user sees.
//
// A prefix has the same width on every line (but the last while it is empty), so the shown text's size and its
// parts' sizes follow from the line counts, and a shown position maps to the
// store's position (and back) by reading one part.
//
// Read on one thread at a time (it keeps buffers, and the stamps' clock cache).

#include "history_stamps.h"
#include "history_store.h"

#include <vector>

class HistoryShown {
public:
    // Without stamps, the text exactly as stored.
    HistoryShown(HistoryStore::Snapshot snapshot, HistoryStamps stamps = {});  // implicit: a snapshot is shown text too

    qsizetype size() const { return shownStarts_.back(); }
    std::size_t parts() const { return snapshot_.parts(); }
    std::size_t partSize(std::size_t index) const {
        return std::size_t(shownStarts_[index + 1] - shownStarts_[index]);
    }
    // Where part `index` starts in the shown text; partStart(parts()) is its end.
    qsizetype partStart(std::size_t index) const { return shownStarts_[index]; }
    // The part that holds shown position `position` (the last one for the end).
    std::size_t partAt(qsizetype position) const { return partIn(shownStarts_, position); }
    // Part `index` as shown; false when its text did not come back (see Snapshot::read).
    bool read(std::size_t index, HistoryCodec& codec, std::string& out) const;

    // Where the store's `position` stands in the shown text. At a line's start,
    // that is before the line's prefix.
    qsizetype toShown(qsizetype position, HistoryCodec& codec) const;
    struct Place {
        qsizetype position;  // in the store; a place within a prefix is its line's start
        qsizetype nextLine;  // the start of the line after it, or the end
        bool inPrefix;
    };
    Place toStore(qsizetype shown, HistoryCodec& codec) const;

private:
    std::size_t partIn(const std::vector<qsizetype>& starts, qsizetype position) const;

    HistoryStore::Snapshot snapshot_;
    HistoryStamps stamps_;
    int width_;
    std::vector<qsizetype> plainStarts_;  // each part's first position, and the end
    std::vector<qsizetype> shownStarts_;
    mutable std::string plain_;
    mutable std::vector<std::int64_t> times_;
};
