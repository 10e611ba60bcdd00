#pragma once
// The history's text: 8-bit characters with '\n' as the one line break, kept so
// that days of received data fit in bounded memory.
//
// Text lives in chunks of whole lines (a line never crosses chunks). The newest
// chunk, the tail, is plain text with a start offset per line and takes appends.
// A full tail is sealed: packed by HistoryCodec and kept as one blob with only
// its line and character counts, no per-line index. A few sealed chunks that were
// looked at lately are kept unpacked, with an index, in a small cache. When the
// memory held passes the budget, the oldest packed chunks go to HistorySpill's
// encrypted temporary file and come back from it when needed.
//
// Every line keeps the time it began (see HistoryStamps): the time given with the
// append that brought its first character; lines an edit makes take the time of
// the line the edit began in. A sealed chunk keeps its lines' times packed beside
// it, in memory also when its text is spilled.
//
// Positions are character offsets into the whole text, where every break counts
// as one character. An empty store is one empty line. Lookups find their chunk by
// binary search over the chunks' first lines and first characters, then load at
// most that one chunk.
//
// Nothing here throws on exhaustion: append() stops keeping text and says so,
// replace() leaves the text as it was. Not thread-safe, const members included
// (they fill the cache).

#include "history_codec.h"
#include "history_spill.h"

#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class HistoryStore {
public:
    static constexpr std::size_t kDefaultChunkBytes = std::size_t{1} << 20;
    // What the history may hold in memory before its oldest part goes to disk:
    // some 45 minutes of random bytes at 921 600 baud shown in HEX, hours of text.
    static constexpr std::size_t kDefaultMemoryBudget = std::size_t{256} << 20;
    static constexpr std::size_t kCacheSlots = 4;

    explicit HistoryStore(std::size_t chunkBytes = kDefaultChunkBytes,
                          std::size_t memoryBudget = kDefaultMemoryBudget);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Adds bytes at the end. "\r\n" and "\n" are one break each; a "\n" that
    // begins these bytes right after a "\r" that ends the text turns that "\r"
    // into the break, so a pair split across two appends is still one break.
    // Other bytes, a lone "\r" among them, are kept as they are. Lines begun by
    // them take `time`.
    void append(std::string_view bytes, std::int64_t time = 0);
    // Replaces `length` characters at `position` by `bytes` taken as they are:
    // each '\n' is a break, every other byte a character (see normalizeBreaks).
    // Out-of-range arguments are clamped to the text.
    void replace(qsizetype position, qsizetype length, std::string_view bytes);
    // Empties the history and gives back its memory and its file space.
    void clear();

    qsizetype size() const;
    qsizetype lineCount() const;
    qsizetype lineStart(qsizetype line) const;
    qsizetype lineLength(qsizetype line) const;
    // The line's characters without its break. Valid until the next change, or
    // the next lookup (any call below but size() and lineCount()) into a chunk
    // that is not in the cache; lookups into the same line's chunk keep it valid.
    std::string_view lineText(qsizetype line) const;
    std::int64_t lineTime(qsizetype line) const;
    qsizetype lineAt(qsizetype position) const;
    char at(qsizetype position) const;
    std::string text(qsizetype position, qsizetype length) const;
    void copyTo(qsizetype position, qsizetype length, char* out) const;

    // Heap bytes held for the text, packed or not, its indexes and the codec.
    std::size_t memoryBytes() const;
    // Sealed chunks and the tail.
    std::size_t chunkCount() const { return chunks_.size() + 1; }

    // "\r\n" pairs become "\n"; everything else is kept.
    static std::string normalizeBreaks(std::string_view bytes);
    // The same, appended to `out`.
    static void appendBreaksNormalized(std::string& out, std::string_view bytes);

    // ---- what is kept where, for a status line
    std::size_t memoryBudget() const { return budget_; }
    HistorySpill::Status spillStatus() const { return spill_.status(); }
    std::size_t spilledChunks() const;
    // Characters of the oldest lines dropped because the spill file failed. The
    // first line then says so; it is rewritten as more goes.
    std::uint64_t droppedCharacters() const { return dropped_; }
    // Counts every time the store itself removed lines from the front; a view that
    // keeps things by line number must start over when it changes.
    std::uint64_t frontChanges() const { return frontChanges_; }
    // Memory ran out during an append: nothing more is kept until clear().
    bool stoppedGrowing() const { return stopped_; }
    // One sentence about anything above that is not as it should be, or "".
    std::string statusText() const;

    // ---- a snapshot, read on another thread
    // The text as it stands now, readable part by part on any one thread while
    // the store goes on changing: packed parts are shared rather than copied,
    // spilled ones read back from the spill file (which keeps them in place while
    // a snapshot lives), and the tail is copied.
    class Snapshot {
    public:
        qsizetype size() const { return size_; }
        std::size_t parts() const { return pieces_.size() + 1; }
        // Part `index`'s length in characters, known without reading it.
        std::size_t partSize(std::size_t index) const {
            return index < pieces_.size() ? pieces_[index].bytes : tail_.size();
        }
        // Part `index`'s characters, each part but the last ending with its break.
        // A part that does not come back reads as the placeholder the store shows
        // for it, and the answer is false. `codec` belongs to the calling thread.
        bool read(std::size_t index, HistoryCodec& codec, std::string& out) const;
        // The lines that begin in part `index`, and their times (appended to `out`).
        std::size_t partLines(std::size_t index) const {
            return index < pieces_.size() ? pieces_[index].lines : tailTimes_.size();
        }
        void readTimes(std::size_t index, std::vector<std::int64_t>& out) const;
        // The last line is empty: it has not begun yet.
        bool endsEmpty() const { return tail_.empty() || tail_.back() == '\n'; }

    private:
        friend class HistoryStore;
        struct Piece {
            std::shared_ptr<const std::string> packed;  // null: in the spill file
            std::shared_ptr<const std::string> times;
            HistorySpill::Extent extent;
            std::uint32_t lines;
            std::uint32_t bytes;
        };
        std::vector<Piece> pieces_;
        std::string tail_;
        std::vector<std::int64_t> tailTimes_;
        std::shared_ptr<const HistorySpill::Reader> spill_;
        qsizetype size_ = 0;
    };
    // Throws std::bad_alloc.
    Snapshot snapshot() const;
    // Gives back the file space that snapshots no longer alive kept.
    void releaseHeldSpace() { spill_.settle(); }

    // ---- seams for tests
    // Spills to `fd` (owned from now on) instead of a temporary file of its own.
    void setSpillFile(int fd);
    // Called with the size before each large allocation; may throw std::bad_alloc.
    void setAllocationProbe(std::function<void(std::size_t)> probe) { probe_ = std::move(probe); }

private:
    // Text with its line index: the tail, or a sealed chunk in the cache.
    struct Plain {
        std::string text;
        std::vector<std::uint32_t> starts;  // where each line starts; starts[0] == 0
        std::vector<std::int64_t> times;    // when each line began, one per start
    };
    struct Sealed {
        qsizetype firstLine = 0;
        qsizetype firstChar = 0;
        std::uint32_t lines = 0;  // every line in it ends with its break
        std::uint32_t bytes = 0;
        std::uint64_t id = 0;     // names it in the cache
        std::shared_ptr<const std::string> packed;  // null once it is in the spill file; shared with snapshots
        std::shared_ptr<const std::string> times;   // history_times, shared with snapshots
        HistorySpill::Extent extent;
        bool spilled() const { return !packed; }
    };
    struct Cached {
        std::uint64_t id = 0;
        Plain plain;
    };
    // One chunk's text and index, wherever it came from.
    struct Part {
        const char* text;
        std::uint32_t bytes;
        const std::vector<std::uint32_t>* starts;
        const std::vector<std::int64_t>* times;
        qsizetype firstLine;
        qsizetype firstChar;
        bool open;  // the tail, whose last line has no break
    };

    // history_store.cpp: lookups and changes.
    std::size_t indexOfLine(qsizetype line) const;
    std::size_t indexAt(qsizetype position) const;
    Part part(std::size_t index) const;
    void appendNormalized(const char* p, const char* end);
    void appendRaw(const char* p, const char* end);
    void writeTail(const char* p, std::size_t n, bool withBreak);
    void replaceRange(qsizetype position, qsizetype length, std::string_view bytes);
    void renumberFrom(std::size_t index);
    static void indexLines(Plain& plain, bool open);

    // history_store_tiers.cpp: sealing, the cache, the budget and running out.
    void makeRoom(std::size_t bytes);
    void sealTail(std::size_t need);
    Sealed packChunk(std::string_view text, const std::int64_t* times);
    static void unpackTimes(const Sealed& chunk, Plain& plain);
    const Plain& loaded(std::size_t index) const;
    Plain unpacked(const Sealed& chunk) const;
    Plain unreadable(const Sealed& chunk) const;
    // The sealed chunk's text from its packed blob; false unless it has the shape recorded.
    static bool decode(HistoryCodec& codec, std::string_view blob, std::uint32_t bytes, std::uint32_t lines,
                       std::string& out);
    // What stands in for a chunk that does not come back: as many lines and characters.
    static void placeholder(std::uint32_t bytes, std::uint32_t lines, std::string& out);
    void admit(std::uint64_t id, Plain plain) const;
    void forget(std::uint64_t id);
    void releaseChunk(const Sealed& chunk);
    void enforceBudget() noexcept;
    void dropOldest(std::size_t failed, int error) noexcept;
    void stop() noexcept;
    void probe(std::size_t bytes) const {
        if (probe_)
            probe_(bytes);
    }

    std::size_t chunkBytes_;
    std::size_t budget_;
    std::vector<Sealed> chunks_;
    Plain tail_;
    qsizetype tailFirstLine_ = 0;
    qsizetype tailFirstChar_ = 0;
    mutable std::vector<Cached> cache_;  // most recently used first
    mutable HistoryCodec codec_;
    mutable HistorySpill spill_;
    mutable std::uint64_t unreadable_ = 0;  // chunks that failed to come back
    std::size_t packedBytes_ = 0;           // packed chunks held in memory
    std::size_t timesBytes_ = 0;            // the sealed chunks' packed times
    std::int64_t now_ = 0;                  // the time of the append under way
    std::size_t spillCursor_ = 0;           // every chunk before it is spilled, or the notice
    std::uint64_t nextId_ = 1;
    std::uint64_t dropped_ = 0;
    std::string dropReason_;
    bool frontNotice_ = false;  // chunk 0 is the line saying what was dropped
    std::uint64_t frontChanges_ = 0;
    bool stopped_ = false;
    bool stopNoticed_ = false;
    std::function<void(std::size_t)> probe_;
};
