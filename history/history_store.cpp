// The store's lookups and changes; what is kept where is history_store_tiers.cpp.
#include "history_store.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <new>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxChunk = std::numeric_limits<std::uint32_t>::max();

// Room for one more line start or time, doubling, so that a failure comes before any change.
template <class T>
void roomForOneMore(std::vector<T>& v) {
    if (v.size() == v.capacity())
        v.reserve(std::max<std::size_t>(16, v.capacity() * 2));
}

}  // namespace

HistoryStore::HistoryStore(std::size_t chunkBytes, std::size_t memoryBudget)
    : chunkBytes_(std::clamp<std::size_t>(chunkBytes, 64, kMaxChunk / 2)), budget_(memoryBudget) {
    cache_.reserve(kCacheSlots);  // so that admitting a chunk never allocates
    clear();
}

HistoryStore::~HistoryStore() = default;

void HistoryStore::clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
    cache_.clear();
    tail_ = Plain{};
    tail_.starts.push_back(0);
    tail_.times.push_back(now_);
    tailFirstLine_ = 0;
    tailFirstChar_ = 0;
    spill_.clear();
    codec_.freeBuffers();
    malloc_trim(0);  // what the text held goes back to the system, not only to the heap
    packedBytes_ = 0;
    timesBytes_ = 0;
    spillCursor_ = 0;
    dropped_ = 0;
    dropReason_.clear();
    frontNotice_ = false;
    ++frontChanges_;
    stopped_ = false;
    stopNoticed_ = false;
    unreadable_ = 0;
}

qsizetype HistoryStore::size() const { return tailFirstChar_ + qsizetype(tail_.text.size()); }

qsizetype HistoryStore::lineCount() const { return tailFirstLine_ + qsizetype(tail_.starts.size()); }

// The chunk holding `line`; chunks_.size() stands for the tail.
std::size_t HistoryStore::indexOfLine(qsizetype line) const {
    if (line >= tailFirstLine_)
        return chunks_.size();
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), line,
                               [](qsizetype l, const Sealed& c) { return l < c.firstLine; });
    return std::size_t(it - chunks_.begin()) - 1;
}

std::size_t HistoryStore::indexAt(qsizetype position) const {
    if (position >= tailFirstChar_)
        return chunks_.size();
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), position,
                               [](qsizetype p, const Sealed& c) { return p < c.firstChar; });
    return std::size_t(it - chunks_.begin()) - 1;
}

HistoryStore::Part HistoryStore::part(std::size_t index) const {
    if (index == chunks_.size())
        return {tail_.text.data(), std::uint32_t(tail_.text.size()), &tail_.starts, &tail_.times, tailFirstLine_,
                tailFirstChar_, true};
    const Plain& plain = loaded(index);
    const Sealed& chunk = chunks_[index];
    return {plain.text.data(), chunk.bytes, &plain.starts, &plain.times, chunk.firstLine, chunk.firstChar, false};
}

qsizetype HistoryStore::lineStart(qsizetype line) const {
    line = std::clamp<qsizetype>(line, 0, lineCount() - 1);
    const Part p = part(indexOfLine(line));
    return p.firstChar + (*p.starts)[std::size_t(line - p.firstLine)];
}

std::string_view HistoryStore::lineText(qsizetype line) const {
    line = std::clamp<qsizetype>(line, 0, lineCount() - 1);
    const Part p = part(indexOfLine(line));
    const auto local = std::size_t(line - p.firstLine);
    const std::uint32_t begin = (*p.starts)[local];
    std::uint32_t end;
    if (local + 1 < p.starts->size())
        end = (*p.starts)[local + 1] - 1;
    else
        end = p.open ? p.bytes : p.bytes - 1;  // a sealed chunk's last line ends at its final break
    return {p.text + begin, end - begin};
}

std::int64_t HistoryStore::lineTime(qsizetype line) const {
    line = std::clamp<qsizetype>(line, 0, lineCount() - 1);
    const Part p = part(indexOfLine(line));
    return (*p.times)[std::size_t(line - p.firstLine)];
}

qsizetype HistoryStore::lineLength(qsizetype line) const { return qsizetype(lineText(line).size()); }

qsizetype HistoryStore::lineAt(qsizetype position) const {
    position = std::clamp<qsizetype>(position, 0, size());
    const Part p = part(indexAt(position));
    const auto local = std::uint32_t(position - p.firstChar);
    auto it = std::upper_bound(p.starts->begin(), p.starts->end(), local);
    return p.firstLine + qsizetype(it - p.starts->begin()) - 1;
}

char HistoryStore::at(qsizetype position) const {
    if (position < 0 || position >= size())
        return '\0';
    const Part p = part(indexAt(position));
    return p.text[position - p.firstChar];
}

void HistoryStore::copyTo(qsizetype position, qsizetype length, char* out) const {
    position = std::clamp<qsizetype>(position, 0, size());
    length = std::clamp<qsizetype>(length, 0, size() - position);
    while (length > 0) {
        const Part p = part(indexAt(position));
        const qsizetype local = position - p.firstChar;
        const qsizetype n = std::min<qsizetype>(length, qsizetype(p.bytes) - local);
        std::memcpy(out, p.text + local, std::size_t(n));
        out += n;
        position += n;
        length -= n;
    }
}

std::string HistoryStore::text(qsizetype position, qsizetype length) const {
    position = std::clamp<qsizetype>(position, 0, size());
    length = std::clamp<qsizetype>(length, 0, size() - position);
    std::string out(std::size_t(length), '\0');
    copyTo(position, length, out.data());
    return out;
}

std::string HistoryStore::normalizeBreaks(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    appendBreaksNormalized(out, bytes);
    return out;
}

void HistoryStore::appendBreaksNormalized(std::string& out, std::string_view bytes) {
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    while (p != end) {
        const auto* cr = static_cast<const char*>(std::memchr(p, '\r', std::size_t(end - p)));
        if (!cr) {
            out.append(p, std::size_t(end - p));
            return;
        }
        out.append(p, std::size_t(cr - p));
        if (cr + 1 == end || cr[1] != '\n')
            out.push_back('\r');
        p = cr + 1;
    }
}

void HistoryStore::append(std::string_view bytes, std::int64_t time) {
    if (bytes.empty())
        return;
    now_ = time;
    if (stopped_) {
        stop();  // says so, once memory allows
        return;
    }
    try {
        const char* p = bytes.data();
        std::string& text = tail_.text;
        if (*p == '\n' && !text.empty() && text.back() == '\r') {
            // The pair was split between two appends: the '\r' already stored becomes
            // the break, so no position before it moves.
            roomForOneMore(tail_.starts);
            roomForOneMore(tail_.times);
            text.back() = '\n';
            tail_.starts.push_back(std::uint32_t(text.size()));
            tail_.times.push_back(now_);
            ++p;
        }
        appendNormalized(p, bytes.data() + bytes.size());
    } catch (const std::bad_alloc&) {
        stop();
    } catch (const std::length_error&) {
        stop();
    }
}

// Line by line; each "\r\n" inside [p, end) is written as '\n'.
void HistoryStore::appendNormalized(const char* p, const char* end) {
    while (p != end) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        if (!nl) {
            writeTail(p, std::size_t(end - p), false);
            return;
        }
        std::size_t n = std::size_t(nl - p);
        if (n > 0 && nl[-1] == '\r')
            --n;
        writeTail(p, n, true);
        p = nl + 1;
    }
}

// Bytes as they are, each '\n' a break.
void HistoryStore::appendRaw(const char* p, const char* end) {
    while (p != end) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        if (!nl) {
            writeTail(p, std::size_t(end - p), false);
            return;
        }
        writeTail(p, std::size_t(nl - p), true);
        p = nl + 1;
    }
}

// Everything that can fail happens before the first byte is written.
void HistoryStore::writeTail(const char* p, std::size_t n, bool withBreak) {
    makeRoom(n + (withBreak ? 1 : 0));
    if (withBreak) {
        roomForOneMore(tail_.starts);
        roomForOneMore(tail_.times);
    }
    if ((n > 0 || withBreak) && tail_.starts.back() == tail_.text.size())
        tail_.times.back() = now_;  // the open line begins now
    tail_.text.append(p, n);
    if (withBreak) {
        tail_.text.push_back('\n');
        tail_.starts.push_back(std::uint32_t(tail_.text.size()));
        tail_.times.push_back(now_);
    }
}

void HistoryStore::replace(qsizetype position, qsizetype length, std::string_view bytes) {
    position = std::clamp<qsizetype>(position, 0, size());
    length = std::clamp<qsizetype>(length, 0, size() - position);
    if (length == 0 && bytes.empty())
        return;
    try {
        if (length == 0 && position == size())
            appendRaw(bytes.data(), bytes.data() + bytes.size());
        else
            replaceRange(position, length, bytes);
    } catch (const std::bad_alloc&) {
        // Out of memory: the edit does not happen.
    } catch (const std::length_error&) {
    }
}

// Rebuilds the chunks the range touches from their text around the new bytes.
// All new chunks are packed before the first old one goes, so a failure leaves
// the text as it was.
void HistoryStore::replaceRange(qsizetype position, qsizetype length, std::string_view bytes) {
    const std::size_t first = indexAt(position);
    const std::size_t last = indexAt(position + length);
    const bool toEnd = last == chunks_.size();
    const qsizetype firstLine = lineAt(position);
    const qsizetype lastLine = lineAt(position + length);
    std::string joined;
    std::vector<std::int64_t> times;  // of the joined text's lines
    {
        const Part a = part(first);
        const auto head = std::size_t(position - a.firstChar);
        probe(head + bytes.size() + chunkBytes_);
        joined.reserve(head + bytes.size() + chunkBytes_);
        joined.append(a.text, head);
        const auto upTo = std::size_t(firstLine - a.firstLine);
        times.assign(a.times->begin(), a.times->begin() + std::ptrdiff_t(upTo) + 1);
        // The lines the new bytes make take the time of the line they go into.
        times.insert(times.end(), std::size_t(std::count(bytes.begin(), bytes.end(), '\n')), (*a.times)[upTo]);
    }
    joined += bytes;
    {
        const Part b = part(last);
        const auto from = std::size_t(position + length - b.firstChar);
        joined.append(b.text + from, b.bytes - from);
        times.insert(times.end(), b.times->begin() + std::ptrdiff_t(lastLine - b.firstLine) + 1, b.times->end());
    }

    // Pieces of about chunkBytes_ that end at breaks; when the text runs to the
    // end of the history, its last piece is the new tail.
    std::vector<Sealed> pieces;
    Plain newTail;
    std::size_t pos = 0;
    std::size_t line = 0;  // the piece's first line in `times`
    do {
        std::size_t cut = joined.size();
        if (joined.size() - pos > chunkBytes_) {
            std::size_t nl = joined.rfind('\n', pos + chunkBytes_ - 1);
            if (nl == std::string::npos || nl < pos)
                nl = joined.find('\n', pos + chunkBytes_);
            if (nl != std::string::npos)
                cut = nl + 1;
        }
        const std::string_view piece = std::string_view(joined).substr(pos, cut - pos);
        if (toEnd && cut == joined.size()) {
            if (piece.size() > kMaxChunk)
                throw std::length_error("history line longer than 4 GiB");
            newTail.text.reserve(std::max(chunkBytes_, piece.size()));
            newTail.text.append(piece);
            indexLines(newTail, true);
            newTail.times.assign(times.begin() + std::ptrdiff_t(line), times.end());
        } else {
            pieces.push_back(packChunk(piece, times.data() + line));
            line += pieces.back().lines;
        }
        pos = cut;
    } while (pos < joined.size());

    const std::size_t end = toEnd ? chunks_.size() : last + 1;
    const std::size_t count = chunks_.size() - (end - first) + pieces.size();
    if (count > chunks_.capacity())
        chunks_.reserve(std::max(count, chunks_.capacity() * 2));

    // From here on nothing throws.
    for (std::size_t i = first; i < end; ++i)
        releaseChunk(chunks_[i]);
    if (first == 0)
        frontNotice_ = false;  // an edit there may have changed the notice
    for (const Sealed& piece : pieces) {
        packedBytes_ += piece.packed->capacity();
        timesBytes_ += piece.times->capacity();
    }
    chunks_.erase(chunks_.begin() + std::ptrdiff_t(first), chunks_.begin() + std::ptrdiff_t(end));
    chunks_.insert(chunks_.begin() + std::ptrdiff_t(first), std::make_move_iterator(pieces.begin()),
                   std::make_move_iterator(pieces.end()));
    if (toEnd)
        tail_ = std::move(newTail);
    renumberFrom(first);
    spillCursor_ = std::min(spillCursor_, first);
    enforceBudget();
}

void HistoryStore::renumberFrom(std::size_t index) {
    qsizetype line = 0;
    qsizetype ch = 0;
    if (index > 0) {
        const Sealed& prev = chunks_[index - 1];
        line = prev.firstLine + prev.lines;
        ch = prev.firstChar + prev.bytes;
    }
    for (std::size_t i = index; i < chunks_.size(); ++i) {
        chunks_[i].firstLine = line;
        chunks_[i].firstChar = ch;
        line += chunks_[i].lines;
        ch += chunks_[i].bytes;
    }
    tailFirstLine_ = line;
    tailFirstChar_ = ch;
}

// A line starts at 0 and after every break; in a sealed chunk the final break
// ends its last line instead of starting another.
void HistoryStore::indexLines(Plain& plain, bool open) {
    plain.starts.clear();
    plain.starts.push_back(0);
    const char* base = plain.text.data();
    const std::size_t n = plain.text.size();
    for (const char* p = base; (p = static_cast<const char*>(std::memchr(p, '\n', n - std::size_t(p - base))));) {
        ++p;
        if (open || std::size_t(p - base) < n)
            plain.starts.push_back(std::uint32_t(p - base));
    }
}
