#pragma once
// Packing a sealed part of the history: text in, a compact blob out, and back.
//
// Most of a history is lines the reader rendered from received bytes, and in HEX
// or DEC such a line spends about five characters on every byte. A line that is
// exactly what RenderReceived makes for HEX or DEC is stored as its bytes (checked
// by rendering them again); every other line is kept as it is. The result goes
// through zstd. Random bytes in HEX then cost about one byte each instead of 1.65
// for zstd on the text alone.
//
// Not thread-safe: one codec per store.

#include <cstddef>
#include <string>
#include <string_view>

struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

class HistoryCodec {
public:
    static constexpr int kDefaultLevel = 3;

    explicit HistoryCodec(int level = kDefaultLevel);
    ~HistoryCodec();
    HistoryCodec(const HistoryCodec&) = delete;
    HistoryCodec& operator=(const HistoryCodec&) = delete;

    // Any text, '\n' being the line break. Throws std::bad_alloc.
    std::string pack(std::string_view text);
    // Rebuilds exactly `size` characters into `out`; false when the blob is not a
    // pack of that size (`out` is then unspecified). Throws std::bad_alloc.
    bool unpack(std::string_view blob, std::size_t size, std::string& out);

    // The contexts' and working buffers' heap bytes.
    std::size_t memoryBytes() const;
    // Gives the working buffers and the contexts' workspace back; they grow
    // again on the next call.
    void freeBuffers();

private:
    // Kept from one call to the next: a chunk every few seconds would otherwise
    // take and give back several buffers of its size from the allocator.
    std::string ops_, lit_, raw_, plain_, scratch_;
    ZSTD_CCtx_s* compress_ = nullptr;
    ZSTD_DCtx_s* decompress_ = nullptr;
    int level_;
};
