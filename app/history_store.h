#pragma once
// The history's text, kept compactly: 8-bit characters, one byte each, with '\n'
// as the one line break. Text lives in chunks of whole lines (a line never crosses
// chunks) beside one 32-bit start offset per line, so N characters in L lines cost
// about N + 4L bytes. Appending costs O(bytes appended); an edit anywhere else
// costs O(chunk).
//
// Positions are character offsets into the whole text, where every break counts
// as one character. An empty store is one empty line.

#include <QtGlobal>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class HistoryStore {
public:
    static constexpr std::size_t kDefaultChunkBytes = std::size_t{1} << 20;

    explicit HistoryStore(std::size_t chunkBytes = kDefaultChunkBytes);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Adds bytes at the end. "\r\n" and "\n" are one break each; a "\n" that
    // begins these bytes right after a "\r" that ends the text turns that "\r"
    // into the break, so a pair split across two appends is still one break.
    // Other bytes, a lone "\r" among them, are kept as they are.
    void append(std::string_view bytes);
    // Replaces `length` characters at `position` by `bytes` taken as they are:
    // each '\n' is a break, every other byte a character (see normalizeBreaks).
    // Out-of-range arguments are clamped to the text.
    void replace(qsizetype position, qsizetype length, std::string_view bytes);
    void clear();

    qsizetype size() const;
    qsizetype lineCount() const;
    qsizetype lineStart(qsizetype line) const;
    qsizetype lineLength(qsizetype line) const;
    // The line's characters without its break; valid until the next change.
    std::string_view lineText(qsizetype line) const;
    qsizetype lineAt(qsizetype position) const;
    char at(qsizetype position) const;
    std::string text(qsizetype position, qsizetype length) const;
    void copyTo(qsizetype position, qsizetype length, char* out) const;

    // Heap bytes held for the text and its index (allocated, not merely used).
    std::size_t memoryBytes() const;
    std::size_t chunkCount() const { return chunks_.size(); }

    // "\r\n" pairs become "\n"; everything else is kept.
    static std::string normalizeBreaks(std::string_view bytes);

private:
    struct Chunk {
        struct FreeDeleter {
            void operator()(char* p) const;
        };
        std::unique_ptr<char, FreeDeleter> data;
        std::uint32_t capacity = 0;
        std::uint32_t used = 0;
        // Where each line starts, relative to data. A chunk other than the last ends
        // with '\n'; the last chunk's last line is the open line that appends extend.
        std::vector<std::uint32_t> starts;
        qsizetype firstLine = 0;
        qsizetype firstChar = 0;
    };

    std::size_t chunkIndexAt(qsizetype position) const;
    std::size_t chunkIndexOfLine(qsizetype line) const;
    void appendNormalized(const char* p, const char* end);
    void appendRaw(const char* p, std::size_t n);
    char* reserveTail(std::size_t bytes);
    void seal(Chunk& chunk);
    void renumberFrom(std::size_t index);
    std::vector<Chunk> split(const std::string& text, bool isLast) const;

    std::size_t chunkBytes_;
    std::vector<Chunk> chunks_;  // never empty; only the last chunk may hold no bytes
};
