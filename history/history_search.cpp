#include "history_search.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace {

constexpr qsizetype kNone = -1;
constexpr qsizetype kStopped = -2;

// ASCII A-Z and Latin-1 À-Þ (but ×) to their small letters, each its
// small letter less 0x20. Written so that the compiler does sixteen at a time at
// -O2 (in blocks of a fixed size, in 8-bit arithmetic): folding then costs a
// tenth of unpacking.
inline std::uint8_t foldByte(std::uint8_t c) {
    const auto ascii = std::uint8_t(c - 'A'), latin = std::uint8_t(c - 0xC0);
    return (ascii < 26 || (latin < 31 && c != 0xD7)) ? std::uint8_t(c | 0x20) : c;
}

void fold(char* p, std::size_t n) {
    constexpr std::size_t kBlock = 32;
    auto* u = reinterpret_cast<std::uint8_t*>(p);
    std::size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (std::size_t j = 0; j < kBlock; ++j)
            u[i + j] = foldByte(u[i + j]);
    for (; i < n; ++i)
        u[i] = foldByte(u[i]);
}

// Where `needle` first occurs in text[from, size), or npos.
std::size_t firstIn(std::string_view text, std::size_t from, std::string_view needle) {
    if (from > text.size() || text.size() - from < needle.size())
        return std::string_view::npos;
    const void* hit = ::memmem(text.data() + from, text.size() - from, needle.data(), needle.size());
    return hit ? std::size_t(static_cast<const char*>(hit) - text.data()) : std::string_view::npos;
}

// Where `needle` last occurs in `text`, or npos. Windows from the end, growing,
// so that a match near the end is found after looking at little more than it.
std::size_t lastIn(std::string_view text, std::string_view needle) {
    const std::size_t n = needle.size();
    std::size_t window = std::max<std::size_t>(4096, 2 * n);
    for (std::size_t hi = text.size(); hi >= n;) {
        const std::size_t lo = hi > window ? hi - window : 0;
        const std::string_view part = text.substr(lo, hi - lo);
        std::size_t last = std::string_view::npos;
        for (std::size_t at = firstIn(part, 0, needle); at != std::string_view::npos; at = firstIn(part, at + 1, needle))
            last = at;
        if (last != std::string_view::npos)
            return lo + last;
        if (lo == 0)
            break;
        hi = lo + n - 1;  // a match across `lo` is in the next window
        window *= 2;
    }
    return std::string_view::npos;
}

// One search over the shown text: the part being looked at,
// and the characters next to it for matches across its edges.
class Scanner {
public:
    Scanner(const HistoryShown& snapshot, std::string needle, bool matchCase,
            const HistorySearch::Progress& carryOn)
        : snapshot_(snapshot), needle_(std::move(needle)), n_(qsizetype(needle_.size())), matchCase_(matchCase),
          carryOn_(carryOn) {
        if (!matchCase_)
            fold(needle_.data(), needle_.size());
    }

    qsizetype size() const { return snapshot_.size(); }
    qsizetype length() const { return n_; }

    // The first match lying wholly in [lo, hi), kNone or kStopped.
    qsizetype forward(qsizetype lo, qsizetype hi) {
        if (hi - lo < n_)
            return kNone;
        carry_.clear();
        for (std::size_t i = snapshot_.partAt(lo); i < snapshot_.parts() && snapshot_.partStart(i) < hi; ++i) {
            std::string_view slice;
            if (!load(i, lo, hi, slice))
                return kStopped;
            const qsizetype at = std::max(lo, snapshot_.partStart(i));
            if (!carry_.empty()) {
                edge_.assign(carry_).append(slice.substr(0, std::size_t(n_ - 1)));
                // Shorter than the needle, the slice's head holds none: a match here starts in the carry.
                if (const std::size_t hit = firstIn(edge_, 0, needle_); hit != std::string_view::npos)
                    return at - qsizetype(carry_.size()) + qsizetype(hit);
            }
            if (const std::size_t hit = firstIn(slice, 0, needle_); hit != std::string_view::npos)
                return at + qsizetype(hit);
            carry_.append(slice.substr(slice.size() - std::min(slice.size(), std::size_t(n_ - 1))));
            carry_.erase(0, carry_.size() - std::min(carry_.size(), std::size_t(n_ - 1)));
        }
        return kNone;
    }

    // The last match lying wholly in [lo, hi), newest parts first.
    qsizetype backward(qsizetype lo, qsizetype hi) {
        if (hi - lo < n_)
            return kNone;
        carry_.clear();
        for (std::size_t i = snapshot_.partAt(hi - 1);; --i) {
            std::string_view slice;
            if (!load(i, lo, hi, slice))
                return kStopped;
            const qsizetype end = std::min(hi, snapshot_.partStart(i + 1));
            if (!carry_.empty()) {
                const std::size_t head = slice.size() - std::min(slice.size(), std::size_t(n_ - 1));
                edge_.assign(slice.substr(head)).append(carry_);
                if (const std::size_t hit = lastIn(edge_, needle_); hit != std::string_view::npos)
                    return end - qsizetype(slice.size() - head) + qsizetype(hit);
            }
            if (const std::size_t hit = lastIn(slice, needle_); hit != std::string_view::npos)
                return end - qsizetype(slice.size()) + qsizetype(hit);
            carry_.insert(0, slice.substr(0, std::min(slice.size(), std::size_t(n_ - 1))));
            carry_.resize(std::min(carry_.size(), std::size_t(n_ - 1)));
            if (i == 0 || snapshot_.partStart(i) <= lo)
                return kNone;
        }
    }

private:
    // Part i's characters within [lo, hi), folded when case does not matter;
    // false when asked to stop.
    bool load(std::size_t i, qsizetype lo, qsizetype hi, std::string_view& slice) {
        if (!carryOn_(looked_))
            return false;
        snapshot_.read(i, codec_, part_);  // a part that did not come back reads as what the view shows
        const qsizetype from = std::max(lo, snapshot_.partStart(i)) - snapshot_.partStart(i);
        const qsizetype to = std::min(hi, snapshot_.partStart(i + 1)) - snapshot_.partStart(i);
        char* p = part_.data() + from;
        const std::size_t n = std::size_t(std::max<qsizetype>(0, to - from));
        if (!matchCase_)
            fold(p, n);
        looked_ += qint64(n);
        slice = std::string_view(p, n);
        return true;
    }

    const HistoryShown& snapshot_;
    std::string needle_;
    qsizetype n_;
    bool matchCase_;
    const HistorySearch::Progress& carryOn_;
    HistoryCodec codec_;
    std::string part_;
    std::string carry_;  // the n - 1 characters beside the slices looked at
    std::string edge_;   // a slice's edge with the carry
    qint64 looked_ = 0;
};

}  // namespace

std::optional<HistorySearch::Result> HistorySearch::find(const HistoryShown& snapshot, const Query& query,
                                                         const Progress& carryOn) {
    if (query.text.empty())
        return Result{};
    Scanner scan(snapshot, query.text, query.matchCase, carryOn);
    HistoryCodec codec;
    const qsizetype size = scan.size();
    const qsizetype n = scan.length();
    const qsizetype from = snapshot.toShown(query.from, codec);
    const bool forward = query.direction == Direction::Forward;
    Result result;
    qsizetype at = forward ? scan.forward(from, size) : scan.backward(0, from);
    if (at == kStopped)
        return std::nullopt;
    if (at == kNone) {
        // Once more from the other end, as far as the matches not seen yet reach.
        at = forward ? scan.forward(0, std::min(size, from + n - 1)) : scan.backward(std::max<qsizetype>(0, from - n + 1), size);
        result.wrapped = true;
    }
    if (at == kStopped)
        return std::nullopt;
    if (at == kNone)
        return Result{};
    result.outcome = Outcome::Found;
    const HistoryShown::Place start = snapshot.toStore(at, codec);
    result.start = start.position;
    result.end = snapshot.toStore(at + n, codec).position;
    if (result.end <= result.start)
        result.end = start.nextLine;  // all within a time: the line it stamps
    return result;
}

HistorySearch::HistorySearch(QObject* parent) : QObject(parent) {}

HistorySearch::~HistorySearch() { stop(); }

void HistorySearch::join() {
    if (thread_.joinable())
        thread_.join();
}

void HistorySearch::stop() {
    stop_ = true;
    join();
    ++generation_;
    pending_ = false;
}

void HistorySearch::start(HistoryShown snapshot, Query query) {
    stop();
    stop_ = false;
    looked_ = 0;
    total_ = snapshot.size();
    pending_ = true;
    const quint64 generation = generation_;
    if (query.text.empty()) {
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection, Q_ARG(quint64, generation),
                                  Q_ARG(int, int(Outcome::NotFound)), Q_ARG(qint64, -1), Q_ARG(qint64, -1),
                                  Q_ARG(bool, false));
        return;
    }
    thread_ = std::thread([this, generation, snapshot = std::move(snapshot), query = std::move(query)]() mutable {
        std::optional<Result> result;
        try {
            // Gone before the result is posted, so that the store may reuse what it held.
            const HistoryShown mine = std::move(snapshot);
            result = find(mine, query, [this](qint64 looked) {
                looked_ = looked;
                return !stop_;
            });
        } catch (const std::bad_alloc&) {
            result = Result{Outcome::OutOfMemory};
        }
        if (!result)
            return;  // stopped: nothing more to say
        looked_ = total_;
        // Values only: the window's thread copies them out of the queued call.
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection, Q_ARG(quint64, generation),
                                  Q_ARG(int, int(result->outcome)), Q_ARG(qint64, result->start),
                                  Q_ARG(qint64, result->end), Q_ARG(bool, result->wrapped));
    });
}

void HistorySearch::deliver(quint64 generation, int outcome, qint64 start, qint64 end, bool wrapped) {
    if (generation != generation_ || !pending_)
        return;
    join();  // its last act was posting this
    pending_ = false;
    emit finished(Result{Outcome(outcome), start, end, wrapped});
}
