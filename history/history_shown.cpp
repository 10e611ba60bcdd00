#include "history_shown.h"

#include <algorithm>
#include <cstring>

HistoryShown::HistoryShown(HistoryStore::Snapshot snapshot, HistoryStamps stamps)
    : snapshot_(std::move(snapshot)), stamps_(std::move(stamps)), width_(stamps_.width()) {
    const std::size_t n = snapshot_.parts();
    plainStarts_.reserve(n + 1);
    shownStarts_.reserve(n + 1);
    qsizetype plain = 0, line = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        plainStarts_.push_back(plain);
        shownStarts_.push_back(plain + line * width_);
        if (i < n) {
            plain += qsizetype(snapshot_.partSize(i));
            line += qsizetype(snapshot_.partLines(i)) - (i + 1 == n && snapshot_.endsEmpty() ? 1 : 0);
        }
    }
}

std::size_t HistoryShown::partIn(const std::vector<qsizetype>& starts, qsizetype position) const {
    const auto it = std::upper_bound(starts.begin(), starts.end() - 1, position);
    return std::min(parts() - 1, std::size_t(std::max<std::ptrdiff_t>(0, it - starts.begin() - 1)));
}

bool HistoryShown::read(std::size_t index, HistoryCodec& codec, std::string& out) const {
    if (width_ == 0)
        return snapshot_.read(index, codec, out);
    const bool ok = snapshot_.read(index, codec, plain_);
    times_.clear();
    std::int64_t previous = 0;
    if (index > 0) {
        snapshot_.readTimes(index - 1, times_);
        previous = times_.empty() ? 0 : times_.back();
        times_.clear();
    }
    snapshot_.readTimes(index, times_);
    if (index == 0 && !times_.empty())
        previous = times_.front();
    out.clear();
    out.reserve(partSize(index));
    const char* p = plain_.data();
    const char* const end = p + plain_.size();
    for (std::size_t line = 0; line < times_.size(); ++line) {
        if (p == end && index + 1 == parts())
            break;  // the last line, empty: it has not begun, and shows no time
        stamps_.format(times_[line], previous, out);
        previous = times_[line];
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        const char* stop = nl ? nl + 1 : end;
        out.append(p, std::size_t(stop - p));
        p = stop;
    }
    return ok;
}

qsizetype HistoryShown::toShown(qsizetype position, HistoryCodec& codec) const {
    position = std::clamp<qsizetype>(position, 0, plainStarts_.back());
    if (width_ == 0)
        return position;
    const std::size_t i = partIn(plainStarts_, position);
    snapshot_.read(i, codec, plain_);
    const auto offset = std::size_t(position - plainStarts_[i]);
    const qsizetype before = std::count(plain_.begin(), plain_.begin() + std::ptrdiff_t(offset), '\n');
    const bool atLineStart = offset == 0 || plain_[offset - 1] == '\n';
    return shownStarts_[i] + qsizetype(offset) + (before + (atLineStart ? 0 : 1)) * width_;
}

HistoryShown::Place HistoryShown::toStore(qsizetype shown, HistoryCodec& codec) const {
    shown = std::clamp<qsizetype>(shown, 0, size());
    if (width_ == 0)
        return {shown, shown, false};
    const std::size_t i = partAt(shown);
    snapshot_.read(i, codec, plain_);
    qsizetype at = shownStarts_[i];  // the line's prefix in the shown text
    std::size_t local = 0;           // the line's start in the part
    for (;;) {
        const std::size_t nl = plain_.find('\n', local);
        const std::size_t lineEnd = nl == std::string::npos ? plain_.size() : nl + 1;
        const qsizetype next = at + width_ + qsizetype(lineEnd - local);
        if (shown < next || lineEnd == plain_.size()) {
            const qsizetype nextLine = plainStarts_[i] + qsizetype(lineEnd);
            if (shown - at < width_)
                return {plainStarts_[i] + qsizetype(local), nextLine, true};
            return {std::min(nextLine, plainStarts_[i] + qsizetype(local) + (shown - at - width_)), nextLine, false};
        }
        at = next;
        local = lineEnd;
    }
}
