#include "send_recall.h"

void SendRecall::add(const QString& line) {
    if (!line.isEmpty() && (entries_.isEmpty() || entries_.back() != line)) {
        entries_.append(line);
        if (entries_.size() > kMaxEntries) entries_.removeFirst();
    }
    at_ = entries_.size();
    editing_.clear();
}

std::optional<QString> SendRecall::older(const QString& editing) {
    if (at_ == 0) return std::nullopt;
    if (at_ == entries_.size()) editing_ = editing;
    return entries_[--at_];
}

std::optional<QString> SendRecall::newer() {
    if (at_ >= entries_.size()) return std::nullopt;
    ++at_;
    return at_ == entries_.size() ? editing_ : entries_[at_];
}
