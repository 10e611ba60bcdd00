#include "history_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxChunk = std::numeric_limits<std::uint32_t>::max();

char* reallocOrThrow(char* old, std::size_t bytes) {
    void* p = std::realloc(old, bytes);
    if (!p && bytes != 0)
        throw std::bad_alloc();
    return static_cast<char*>(p);
}

}  // namespace

void HistoryStore::Chunk::FreeDeleter::operator()(char* p) const { std::free(p); }

HistoryStore::HistoryStore(std::size_t chunkBytes)
    : chunkBytes_(std::clamp<std::size_t>(chunkBytes, 64, kMaxChunk)) {
    clear();
}

HistoryStore::~HistoryStore() = default;

void HistoryStore::clear() {
    chunks_.clear();
    chunks_.shrink_to_fit();
    chunks_.emplace_back();
    chunks_.back().starts.push_back(0);
}

qsizetype HistoryStore::size() const {
    const Chunk& c = chunks_.back();
    return c.firstChar + c.used;
}

qsizetype HistoryStore::lineCount() const {
    const Chunk& c = chunks_.back();
    return c.firstLine + qsizetype(c.starts.size());
}

std::size_t HistoryStore::chunkIndexAt(qsizetype position) const {
    if (position >= size())
        return chunks_.size() - 1;
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), position,
                               [](qsizetype p, const Chunk& c) { return p < c.firstChar; });
    return std::size_t(it - chunks_.begin()) - 1;
}

std::size_t HistoryStore::chunkIndexOfLine(qsizetype line) const {
    auto it = std::upper_bound(chunks_.begin(), chunks_.end(), line,
                               [](qsizetype l, const Chunk& c) { return l < c.firstLine; });
    return std::size_t(it - chunks_.begin()) - 1;
}

qsizetype HistoryStore::lineStart(qsizetype line) const {
    line = std::clamp<qsizetype>(line, 0, lineCount() - 1);
    const Chunk& c = chunks_[chunkIndexOfLine(line)];
    return c.firstChar + c.starts[std::size_t(line - c.firstLine)];
}

std::string_view HistoryStore::lineText(qsizetype line) const {
    line = std::clamp<qsizetype>(line, 0, lineCount() - 1);
    const std::size_t ci = chunkIndexOfLine(line);
    const Chunk& c = chunks_[ci];
    const std::size_t local = std::size_t(line - c.firstLine);
    const std::uint32_t begin = c.starts[local];
    std::uint32_t end;
    if (local + 1 < c.starts.size())
        end = c.starts[local + 1] - 1;
    else if (ci + 1 < chunks_.size())
        end = c.used - 1;  // a sealed chunk's last line ends at its final break
    else
        end = c.used;
    return {c.data.get() + begin, end - begin};
}

qsizetype HistoryStore::lineLength(qsizetype line) const { return qsizetype(lineText(line).size()); }

qsizetype HistoryStore::lineAt(qsizetype position) const {
    position = std::clamp<qsizetype>(position, 0, size());
    const Chunk& c = chunks_[chunkIndexAt(position)];
    const auto local = std::uint32_t(position - c.firstChar);
    auto it = std::upper_bound(c.starts.begin(), c.starts.end(), local);
    return c.firstLine + qsizetype(it - c.starts.begin()) - 1;
}

char HistoryStore::at(qsizetype position) const {
    if (position < 0 || position >= size())
        return '\0';
    const Chunk& c = chunks_[chunkIndexAt(position)];
    return c.data.get()[position - c.firstChar];
}

void HistoryStore::copyTo(qsizetype position, qsizetype length, char* out) const {
    position = std::clamp<qsizetype>(position, 0, size());
    length = std::clamp<qsizetype>(length, 0, size() - position);
    std::size_t ci = chunkIndexAt(position);
    while (length > 0) {
        const Chunk& c = chunks_[ci++];
        const qsizetype local = position - c.firstChar;
        const qsizetype n = std::min<qsizetype>(length, c.used - local);
        std::memcpy(out, c.data.get() + local, std::size_t(n));
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

std::size_t HistoryStore::memoryBytes() const {
    std::size_t total = chunks_.capacity() * sizeof(Chunk);
    for (const Chunk& c : chunks_)
        total += c.capacity + c.starts.capacity() * sizeof(std::uint32_t);
    return total;
}

std::string HistoryStore::normalizeBreaks(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            continue;
        out.push_back(bytes[i]);
    }
    return out;
}

void HistoryStore::append(std::string_view bytes) {
    const char* p = bytes.data();
    const char* end = p + bytes.size();
    if (p == end)
        return;
    Chunk& last = chunks_.back();
    if (*p == '\n' && last.used > 0 && last.data.get()[last.used - 1] == '\r') {
        // The pair was split between two appends: the '\r' already stored becomes
        // the break, so no position before it moves.
        last.data.get()[last.used - 1] = '\n';
        last.starts.push_back(last.used);
        ++p;
    }
    appendNormalized(p, end);
}

// Copies line by line; each "\r\n" inside [p, end) is written as '\n'.
void HistoryStore::appendNormalized(const char* p, const char* end) {
    while (p != end) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        if (!nl) {
            const auto n = std::size_t(end - p);
            std::memcpy(reserveTail(n), p, n);
            chunks_.back().used += std::uint32_t(n);
            return;
        }
        std::size_t n = std::size_t(nl - p);
        if (n > 0 && nl[-1] == '\r')
            --n;
        char* out = reserveTail(n + 1);
        std::memcpy(out, p, n);
        out[n] = '\n';
        Chunk& c = chunks_.back();
        c.used += std::uint32_t(n + 1);
        c.starts.push_back(c.used);
        p = nl + 1;
    }
}

// Stores bytes as they are, recording a line after every '\n'.
void HistoryStore::appendRaw(const char* p, std::size_t n) {
    const char* end = p + n;
    while (p != end) {
        const auto* nl = static_cast<const char*>(std::memchr(p, '\n', std::size_t(end - p)));
        const std::size_t len = std::size_t((nl ? nl + 1 : end) - p);
        std::memcpy(reserveTail(len), p, len);
        Chunk& c = chunks_.back();
        c.used += std::uint32_t(len);
        if (nl)
            c.starts.push_back(c.used);
        p += len;
    }
}

// Room for `bytes` more at the end of the last chunk. The open line moves along
// into a new chunk when the current one is full, so lines never cross chunks.
char* HistoryStore::reserveTail(std::size_t bytes) {
    Chunk* c = &chunks_.back();
    if (c->capacity - c->used >= bytes)
        return c->data.get() + c->used;
    const std::size_t open = c->used - c->starts.back();
    const std::size_t need = open + bytes;
    if (need > kMaxChunk)
        throw std::length_error("history line longer than 4 GiB");
    if (c->starts.size() == 1) {
        // The chunk holds only the open line: grow it, doubling so that a long
        // line arriving in small pieces is not copied again and again.
        const std::size_t cap = std::min(kMaxChunk, std::max({chunkBytes_, need, std::size_t(c->capacity) * 2}));
        c->data.reset(reallocOrThrow(c->data.release(), cap));
        c->capacity = std::uint32_t(cap);
    } else {
        const std::size_t cap = std::max(chunkBytes_, need);
        Chunk next;
        next.data.reset(reallocOrThrow(nullptr, cap));
        next.capacity = std::uint32_t(cap);
        std::memcpy(next.data.get(), c->data.get() + c->starts.back(), open);
        next.used = std::uint32_t(open);
        next.starts.reserve(std::max<std::size_t>(16, c->starts.size()));
        next.starts.push_back(0);
        c->used = c->starts.back();
        c->starts.pop_back();
        seal(*c);
        next.firstLine = c->firstLine + qsizetype(c->starts.size());
        next.firstChar = c->firstChar + c->used;
        chunks_.push_back(std::move(next));
        c = &chunks_.back();
    }
    return c->data.get() + c->used;
}

// A chunk that no longer takes appends keeps only what it holds.
void HistoryStore::seal(Chunk& chunk) {
    chunk.starts.shrink_to_fit();
    if (chunk.capacity - chunk.used > chunk.capacity / 8) {
        chunk.data.reset(reallocOrThrow(chunk.data.release(), chunk.used));
        chunk.capacity = chunk.used;
    }
}

void HistoryStore::renumberFrom(std::size_t index) {
    chunks_[0].firstLine = 0;
    chunks_[0].firstChar = 0;
    for (std::size_t i = std::max<std::size_t>(index, 1); i < chunks_.size(); ++i) {
        const Chunk& prev = chunks_[i - 1];
        chunks_[i].firstLine = prev.firstLine + qsizetype(prev.starts.size());
        chunks_[i].firstChar = prev.firstChar + prev.used;
    }
}

// Cuts text into chunks of about chunkBytes_ that end at breaks. When the text
// ends the history, its last piece keeps room for appends.
std::vector<HistoryStore::Chunk> HistoryStore::split(const std::string& text, bool isLast) const {
    std::vector<Chunk> pieces;
    std::size_t pos = 0;
    do {
        std::size_t cut = text.size();
        if (text.size() - pos > chunkBytes_) {
            const std::size_t window = pos + chunkBytes_;
            std::size_t nl = text.rfind('\n', window - 1);
            if (nl == std::string::npos || nl < pos)
                nl = text.find('\n', window);
            if (nl != std::string::npos)
                cut = nl + 1;
        }
        if (cut - pos > kMaxChunk)
            throw std::length_error("history line longer than 4 GiB");
        const bool final = cut == text.size();
        Chunk c;
        const std::size_t n = cut - pos;
        const std::size_t cap = final && isLast ? std::max(n, chunkBytes_) : n;
        c.data.reset(reallocOrThrow(nullptr, cap));
        c.capacity = std::uint32_t(cap);
        c.used = std::uint32_t(n);
        std::memcpy(c.data.get(), text.data() + pos, n);
        c.starts.push_back(0);
        for (std::size_t i = 0; i < n; ++i) {
            if (text[pos + i] == '\n' && (i + 1 < n || (final && isLast)))
                c.starts.push_back(std::uint32_t(i + 1));
        }
        c.starts.shrink_to_fit();
        pieces.push_back(std::move(c));
        pos = cut;
    } while (pos < text.size());
    return pieces;
}

void HistoryStore::replace(qsizetype position, qsizetype length, std::string_view bytes) {
    position = std::clamp<qsizetype>(position, 0, size());
    length = std::clamp<qsizetype>(length, 0, size() - position);
    if (length == 0 && bytes.empty())
        return;
    if (length == 0 && position == size()) {
        appendRaw(bytes.data(), bytes.size());
        return;
    }
    const std::size_t first = chunkIndexAt(position);
    const std::size_t last = chunkIndexAt(position + length);
    const Chunk& a = chunks_[first];
    const Chunk& b = chunks_[last];
    const auto headLen = std::size_t(position - a.firstChar);
    const auto tailFrom = std::size_t(position + length - b.firstChar);
    std::string joined;
    joined.reserve(headLen + bytes.size() + (b.used - tailFrom));
    joined.append(a.data.get(), headLen);
    joined += bytes;
    joined.append(b.data.get() + tailFrom, b.used - tailFrom);

    const bool isLast = last + 1 == chunks_.size();
    std::vector<Chunk> pieces = split(joined, isLast);
    chunks_.erase(chunks_.begin() + std::ptrdiff_t(first), chunks_.begin() + std::ptrdiff_t(last) + 1);
    chunks_.insert(chunks_.begin() + std::ptrdiff_t(first), std::make_move_iterator(pieces.begin()),
                   std::make_move_iterator(pieces.end()));
    renumberFrom(first);
}
