// What the store keeps where: the plain tail, packed chunks, the cache of
// unpacked ones, the spill file past the memory budget, and what happens when
// memory or the disk runs out.
#include "history_store.h"
#include "history_times.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <malloc.h>
#include <stdexcept>

namespace {

constexpr std::size_t kMaxChunk = std::numeric_limits<std::uint32_t>::max();

std::string humanSize(std::uint64_t bytes) {
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " bytes";
    double value = double(bytes) / 1024;
    int unit = 0;
    for (; value >= 1024 && unit < 3; ++unit)
        value /= 1024;
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

// Room for `bytes` more at the end of the tail. When the tail is full its whole
// lines are sealed and the open line moves on into a new tail, so lines never
// cross chunks.
void HistoryStore::makeRoom(std::size_t bytes) {
    std::string& text = tail_.text;
    if (text.capacity() - text.size() >= bytes)
        return;
    if (tail_.starts.size() > 1) {
        sealTail(bytes);
        return;
    }
    // The tail holds only the open line: it grows, doubling, so that a long line
    // arriving in small pieces is not copied again and again.
    if (text.size() + bytes > kMaxChunk)
        throw std::length_error("history line longer than 4 GiB");
    const std::size_t want = std::max({chunkBytes_, text.size() + bytes, text.capacity() * 2});
    probe(want);
    text.reserve(want);
}

void HistoryStore::sealTail(std::size_t need) {
    const std::uint32_t cut = tail_.starts.back();  // where the open line starts
    const std::size_t open = tail_.text.size() - cut;
    if (open + need > kMaxChunk)
        throw std::length_error("history line longer than 4 GiB");
    Sealed chunk = packChunk(std::string_view(tail_.text).substr(0, cut), tail_.times.data());
    chunk.firstLine = tailFirstLine_;
    chunk.firstChar = tailFirstChar_;
    Plain next;
    probe(std::max(chunkBytes_, open + need));
    next.text.reserve(std::max(chunkBytes_, open + need));
    next.text.append(tail_.text, cut, open);
    next.starts.reserve(tail_.starts.size() + tail_.starts.size() / 4);  // lines vary; regrowth doubles
    next.starts.push_back(0);
    next.times.reserve(next.starts.capacity());
    next.times.push_back(tail_.times.back());
    if (chunks_.size() == chunks_.capacity())
        chunks_.reserve(std::max<std::size_t>(16, chunks_.capacity() * 2));

    // From here on nothing throws.
    Plain sealed = std::move(tail_);
    sealed.text.resize(cut);
    sealed.starts.pop_back();
    sealed.times.pop_back();
    tail_ = std::move(next);
    tailFirstLine_ += chunk.lines;
    tailFirstChar_ += cut;
    packedBytes_ += chunk.packed->capacity();
    timesBytes_ += chunk.times->capacity();
    const std::uint64_t id = chunk.id;
    chunks_.push_back(std::move(chunk));
    // A view that follows the end reads the lines just sealed at once.
    admit(id, std::move(sealed));
    enforceBudget();
}

// `times` holds one time for each of the text's lines.
HistoryStore::Sealed HistoryStore::packChunk(std::string_view text, const std::int64_t* times) {
    if (text.size() > kMaxChunk)
        throw std::length_error("history chunk larger than 4 GiB");
    Sealed chunk;
    chunk.lines = std::uint32_t(std::count(text.begin(), text.end(), '\n'));
    chunk.bytes = std::uint32_t(text.size());
    chunk.id = nextId_++;
    probe(text.size());
    chunk.packed = std::make_shared<const std::string>(codec_.pack(text));
    chunk.times = std::make_shared<const std::string>(history_times::pack(times, chunk.lines));
    return chunk;
}

void HistoryStore::unpackTimes(const Sealed& chunk, Plain& plain) {
    plain.times.reserve(chunk.lines);
    history_times::unpack(*chunk.times, chunk.lines, plain.times);
}

const HistoryStore::Plain& HistoryStore::loaded(std::size_t index) const {
    const Sealed& chunk = chunks_[index];
    for (std::size_t i = 0; i < cache_.size(); ++i) {
        if (cache_[i].id == chunk.id) {
            std::rotate(cache_.begin(), cache_.begin() + std::ptrdiff_t(i), cache_.begin() + std::ptrdiff_t(i) + 1);
            return cache_.front().plain;
        }
    }
    Plain plain;
    try {
        plain = unpacked(chunk);
    } catch (const std::bad_alloc&) {
        cache_.clear();  // its memory may be what is missing
        plain = unpacked(chunk);
    }
    admit(chunk.id, std::move(plain));
    return cache_.front().plain;
}

HistoryStore::Plain HistoryStore::unpacked(const Sealed& chunk) const {
    probe(chunk.bytes);
    std::string stored;
    if (chunk.spilled() && !spill_.read(chunk.extent, stored))
        return unreadable(chunk);
    Plain plain;
    if (!decode(codec_, chunk.spilled() ? std::string_view(stored) : std::string_view(*chunk.packed), chunk.bytes,
                chunk.lines, plain.text))
        return unreadable(chunk);
    plain.starts.reserve(chunk.lines);
    indexLines(plain, false);
    unpackTimes(chunk, plain);
    return plain;
}

bool HistoryStore::decode(HistoryCodec& codec, std::string_view blob, std::uint32_t bytes, std::uint32_t lines,
                          std::string& out) {
    return codec.unpack(blob, bytes, out) && !out.empty() && out.back() == '\n' &&
           std::size_t(std::count(out.begin(), out.end(), '\n')) == lines;
}

HistoryStore::Plain HistoryStore::unreadable(const Sealed& chunk) const {
    ++unreadable_;
    Plain plain;
    placeholder(chunk.bytes, chunk.lines, plain.text);
    indexLines(plain, false);
    unpackTimes(chunk, plain);
    return plain;
}

// So that no position after it moves.
void HistoryStore::placeholder(std::uint32_t bytes, std::uint32_t lines, std::string& out) {
    static constexpr std::string_view kSays = "[history: this part could not be read back] ";
    out.clear();
    out.reserve(bytes);
    const std::uint32_t characters = bytes - lines;
    for (std::uint32_t line = 0; line < lines; ++line) {
        const std::uint32_t length = characters / lines + (line < characters % lines ? 1 : 0);
        for (std::uint32_t i = 0; i < length; ++i)
            out.push_back(kSays[i % kSays.size()]);
        out.push_back('\n');
    }
}

HistoryStore::Snapshot HistoryStore::snapshot() const {
    Snapshot snap;
    snap.pieces_.reserve(chunks_.size());
    for (const Sealed& chunk : chunks_)
        snap.pieces_.push_back({chunk.packed, chunk.times, chunk.extent, chunk.lines, chunk.bytes});
    if (spilledChunks() > 0)
        snap.spill_ = spill_.reader();
    snap.tail_ = tail_.text;
    snap.tailTimes_ = tail_.times;
    snap.size_ = size();
    return snap;
}

bool HistoryStore::Snapshot::read(std::size_t index, HistoryCodec& codec, std::string& out) const {
    if (index >= pieces_.size()) {
        out = tail_;
        return true;
    }
    const Piece& piece = pieces_[index];
    std::string stored;
    const bool ok = piece.packed ? decode(codec, *piece.packed, piece.bytes, piece.lines, out)
                                 : spill_ && spill_->read(piece.extent, stored) &&
                                       decode(codec, stored, piece.bytes, piece.lines, out);
    if (!ok)
        placeholder(piece.bytes, piece.lines, out);
    return ok;
}

void HistoryStore::Snapshot::readTimes(std::size_t index, std::vector<std::int64_t>& out) const {
    if (index >= pieces_.size())
        out.insert(out.end(), tailTimes_.begin(), tailTimes_.end());
    else
        history_times::unpack(*pieces_[index].times, pieces_[index].lines, out);
}

// The least recently used goes; the one used last never does, so a lineText()
// stays valid across a lookup in one other chunk.
void HistoryStore::admit(std::uint64_t id, Plain plain) const {
    if (cache_.size() == kCacheSlots)
        cache_.pop_back();
    cache_.insert(cache_.begin(), Cached{id, std::move(plain)});
}

void HistoryStore::forget(std::uint64_t id) {
    cache_.erase(std::remove_if(cache_.begin(), cache_.end(), [id](const Cached& c) { return c.id == id; }),
                 cache_.end());
}

void HistoryStore::releaseChunk(const Sealed& chunk) {
    if (chunk.spilled())
        spill_.release(chunk.extent);
    else
        packedBytes_ -= chunk.packed->capacity();
    timesBytes_ -= chunk.times->capacity();
    forget(chunk.id);
}

// Moves the oldest packed chunks to the spill file until the memory held is
// within the budget. Room is left for what memoryBytes() does not see yet: the
// allocator's own overhead (a few per cent) and the tail's line index, which
// grows until the next seal. The notice of dropped lines stays in memory.
void HistoryStore::enforceBudget() noexcept {
    const std::size_t limit = budget_ - std::min(budget_, budget_ / 32 + chunkBytes_ / 4);
    while (memoryBytes() > limit) {
        spillCursor_ = std::max<std::size_t>(spillCursor_, frontNotice_ ? 1 : 0);
        while (spillCursor_ < chunks_.size() && chunks_[spillCursor_].spilled())
            ++spillCursor_;
        if (spillCursor_ == chunks_.size() || !spill_.available())
            break;
        Sealed& chunk = chunks_[spillCursor_];
        int error;
        try {
            error = spill_.write(*chunk.packed, chunk.extent);
        } catch (const std::bad_alloc&) {
            break;  // the next seal tries again
        }
        if (error == 0) {
            packedBytes_ -= chunk.packed->capacity();
            chunk.packed.reset();
        } else {
            dropOldest(spillCursor_, error);
        }
    }
    // Buffers of a chunk's size come and go at every seal and leave holes between
    // the blobs; given back, they no longer keep the process above its budget.
    malloc_trim(0);
}

// The spill file failed on chunk `failed`. The oldest lines go, those on disk
// first (enough to make room for it), so what is kept stays one stretch and the
// disk gets room for newer lines; with none on disk left, `failed` itself goes.
void HistoryStore::dropOldest(std::size_t failed, int error) noexcept {
    const std::size_t from = frontNotice_ ? 1 : 0;
    std::size_t to = from;
    std::uint64_t freed = 0;
    while (to < failed && freed <= chunks_[failed].packed->size())  // all on disk, as enforceBudget goes in order
        freed += chunks_[to++].extent.length;
    if (to == from)
        to = failed + 1;
    std::uint64_t characters = 0;
    for (std::size_t i = from; i < to; ++i)
        characters += chunks_[i].bytes;

    Sealed notice;
    try {
        dropReason_ = error == ENOSPC ? std::string("disk full") : "temporary file: " + std::string(std::strerror(error));
        notice = packChunk("[history: " + humanSize(dropped_ + characters) + " of the oldest lines dropped: " +
                               dropReason_ + "]\n",
                           &now_);
    } catch (...) {
        notice.packed.reset();  // dropped all the same, unsaid
    }

    for (std::size_t i = from; i < to; ++i)
        releaseChunk(chunks_[i]);
    chunks_.erase(chunks_.begin() + std::ptrdiff_t(from), chunks_.begin() + std::ptrdiff_t(to));
    if (notice.packed) {
        packedBytes_ += notice.packed->capacity();
        timesBytes_ += notice.times->capacity();
        if (frontNotice_) {
            releaseChunk(chunks_.front());
            chunks_.front() = std::move(notice);
        } else {
            chunks_.insert(chunks_.begin(), std::move(notice));  // within capacity: at least one went
            frontNotice_ = true;
        }
    }
    dropped_ += characters;
    renumberFrom(0);
    spillCursor_ = 0;
    ++frontChanges_;
}

// Out of memory in an append: keep nothing more, and say so in the history once
// there is room for the line.
void HistoryStore::stop() noexcept {
    stopped_ = true;
    if (stopNoticed_)
        return;
    static constexpr std::string_view kSays = "[history: out of memory: nothing more is kept until it is cleared]";
    try {
        if (tail_.starts.back() != tail_.text.size())
            writeTail("", 0, true);  // end the open line first
        writeTail(kSays.data(), kSays.size(), true);
        stopNoticed_ = true;
    } catch (...) {
    }
}

std::size_t HistoryStore::memoryBytes() const {
    auto plainBytes = [](const Plain& p) {
        return p.text.capacity() + p.starts.capacity() * sizeof(std::uint32_t) +
               p.times.capacity() * sizeof(std::int64_t);
    };
    std::size_t total = chunks_.capacity() * sizeof(Sealed) + packedBytes_ + timesBytes_ + codec_.memoryBytes() +
                        plainBytes(tail_) + cache_.capacity() * sizeof(Cached);
    for (const Cached& c : cache_)
        total += plainBytes(c.plain);
    return total;
}

std::size_t HistoryStore::spilledChunks() const {
    return std::size_t(std::count_if(chunks_.begin(), chunks_.end(), [](const Sealed& c) { return c.spilled(); }));
}

std::string HistoryStore::statusText() const {
    if (stopped_)
        return "History stopped: out of memory";
    if (dropped_ > 0)
        return humanSize(dropped_) + " of the oldest history dropped: " + dropReason_;
    if (spill_.status() == HistorySpill::Status::MemoryOnly && memoryBytes() > budget_)
        return "History kept in memory only: no disk-backed temporary directory";
    if (unreadable_ > 0)
        return "Part of the history could not be read back";
    return {};
}

void HistoryStore::setSpillFile(int fd) { spill_.adopt(fd); }
