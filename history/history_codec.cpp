#include "history_codec.h"

#include "render.h"

#include <zstd.h>

#include <cstdint>
#include <new>

// The stream zstd compresses: three varints giving the sizes of three sections,
// then the sections. `ops` holds one entry per line (lines are joined by '\n'):
// a kind in the top two bits and the line's length or byte count in the low six
// (63: a varint with the rest follows). Literal lines and the rest of "received:"
// lines take their characters from `lit`, rendered lines their bytes from `raw`.
// Keeping the three apart lets zstd see a chunk of HEX lines as a run of equal
// op bytes, then plain bytes.

namespace {

enum Kind : unsigned char { kLiteral = 0, kHex = 1, kDec = 2, kReceivedLiteral = 3 };

constexpr std::string_view kPrefix = "received:";

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(char(v | 0x80));
        v >>= 7;
    }
    out.push_back(char(v));
}

bool getVarint(std::string_view& in, std::uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 64 && !in.empty(); shift += 7) {
        const auto b = static_cast<unsigned char>(in.front());
        in.remove_prefix(1);
        v |= std::uint64_t(b & 0x7f) << shift;
        if (!(b & 0x80))
            return true;
    }
    return false;
}

void putOp(std::string& ops, Kind kind, std::size_t n) {
    ops.push_back(char((kind << 6) | (n < 63 ? n : 63)));
    if (n >= 63)
        putVarint(ops, n - 63);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;  // RenderReceived writes lower case only
}

// The bytes behind `rest` if it is exactly a HEX or DEC rendering; appended to raw.
bool parseBytes(std::string_view rest, ReceiveFormat format, std::string& raw) {
    std::size_t p = 0;
    while (p < rest.size()) {
        int value = 0;
        if (format == ReceiveFormat::Hex) {
            if (rest.size() - p < 4 || rest[p] != '0' || rest[p + 1] != 'x')
                return false;
            p += 2;
            value = hexDigit(rest[p++]);
            if (value < 0)
                return false;
            if (const int low = hexDigit(rest[p]); low >= 0 && value > 0) {
                value = value * 16 + low;
                ++p;
            }
        } else {
            int digits = 0;
            for (; p < rest.size() && rest[p] >= '0' && rest[p] <= '9' && digits < 3; ++digits)
                value = value * 10 + (rest[p++] - '0');
            if (digits == 0 || value > 255)
                return false;
        }
        if (p >= rest.size() || rest[p] != ' ')
            return false;
        ++p;
        raw.push_back(char(value));
    }
    return true;
}

// A line counts as rendered only if rendering its bytes gives it back exactly.
bool takeRendered(std::string_view line, ReceiveFormat format, std::string& raw, std::string& scratch) {
    const std::size_t from = raw.size();
    if (!parseBytes(line.substr(kPrefix.size()), format, raw)) {
        raw.resize(from);
        return false;
    }
    scratch.clear();
    RenderReceived(reinterpret_cast<const unsigned char*>(raw.data() + from), raw.size() - from, format, scratch);
    if (std::string_view(scratch).substr(0, scratch.size() - 2) != line) {
        raw.resize(from);
        return false;
    }
    return true;
}

}  // namespace

HistoryCodec::HistoryCodec(int level)
    : compress_(ZSTD_createCCtx()), decompress_(ZSTD_createDCtx()), level_(level) {
    if (!compress_ || !decompress_) {
        ZSTD_freeCCtx(compress_);
        ZSTD_freeDCtx(decompress_);
        throw std::bad_alloc();
    }
}

HistoryCodec::~HistoryCodec() {
    ZSTD_freeCCtx(compress_);
    ZSTD_freeDCtx(decompress_);
}

std::size_t HistoryCodec::memoryBytes() const {
    return ZSTD_sizeof_CCtx(compress_) + ZSTD_sizeof_DCtx(decompress_) + ops_.capacity() + lit_.capacity() +
           raw_.capacity() + plain_.capacity() + scratch_.capacity();
}

void HistoryCodec::freeBuffers() {
    for (std::string* buffer : {&ops_, &lit_, &raw_, &plain_, &scratch_})
        std::string().swap(*buffer);
    // Fresh contexts hold no workspace until they are used.
    if (ZSTD_CCtx* fresh = ZSTD_createCCtx()) {
        ZSTD_freeCCtx(compress_);
        compress_ = fresh;
    }
    if (ZSTD_DCtx* fresh = ZSTD_createDCtx()) {
        ZSTD_freeDCtx(decompress_);
        decompress_ = fresh;
    }
}

std::string HistoryCodec::pack(std::string_view text) {
    ops_.clear();
    lit_.clear();
    raw_.clear();
    std::size_t from = 0;
    for (;;) {
        std::size_t nl = text.find('\n', from);
        const std::string_view line = text.substr(from, nl == std::string_view::npos ? nl : nl - from);
        if (line.substr(0, kPrefix.size()) != kPrefix) {
            putOp(ops_, kLiteral, line.size());
            lit_ += line;
        } else {
            const std::size_t before = raw_.size();
            if (takeRendered(line, ReceiveFormat::Hex, raw_, scratch_)) {
                putOp(ops_, kHex, raw_.size() - before);
            } else if (takeRendered(line, ReceiveFormat::Dec, raw_, scratch_)) {
                putOp(ops_, kDec, raw_.size() - before);
            } else {
                putOp(ops_, kReceivedLiteral, line.size() - kPrefix.size());
                lit_ += line.substr(kPrefix.size());
            }
        }
        if (nl == std::string_view::npos)
            break;
        from = nl + 1;
    }
    plain_.clear();
    putVarint(plain_, ops_.size());
    putVarint(plain_, lit_.size());
    putVarint(plain_, raw_.size());
    plain_ += ops_;
    plain_ += lit_;
    plain_ += raw_;

    scratch_.resize(ZSTD_compressBound(plain_.size()));
    ZSTD_CCtx_setParameter(compress_, ZSTD_c_compressionLevel, level_);
    const std::size_t n = ZSTD_compress2(compress_, scratch_.data(), scratch_.size(), plain_.data(), plain_.size());
    if (ZSTD_isError(n))
        throw std::bad_alloc();  // with a bound-sized output, only allocation can fail
    return scratch_.substr(0, n);
}

bool HistoryCodec::unpack(std::string_view blob, std::size_t size, std::string& out) {
    const unsigned long long plainSize = ZSTD_getFrameContentSize(blob.data(), blob.size());
    // The stream is never much larger than the text: a line costs at most 11 op
    // bytes and at least one character or break.
    if (plainSize == ZSTD_CONTENTSIZE_ERROR || plainSize == ZSTD_CONTENTSIZE_UNKNOWN ||
        plainSize > 12 * std::uint64_t(size) + 64)
        return false;
    plain_.resize(std::size_t(plainSize));
    const std::size_t n = ZSTD_decompressDCtx(decompress_, plain_.data(), plain_.size(), blob.data(), blob.size());
    if (ZSTD_isError(n) || n != plain_.size())
        return false;

    std::string_view in = plain_;
    std::uint64_t opsLen, litLen, rawLen;
    if (!getVarint(in, opsLen) || !getVarint(in, litLen) || !getVarint(in, rawLen) ||
        opsLen + litLen + rawLen != in.size())
        return false;
    std::string_view ops = in.substr(0, opsLen);
    std::string_view lit = in.substr(opsLen, litLen);
    std::string_view raw = in.substr(opsLen + litLen);

    out.clear();
    out.reserve(size);
    bool first = true;
    while (!ops.empty()) {
        const auto op = static_cast<unsigned char>(ops.front());
        ops.remove_prefix(1);
        std::uint64_t n = op & 63;
        if (n == 63) {
            std::uint64_t more;
            if (!getVarint(ops, more))
                return false;
            n += more;
        }
        if (!first)
            out.push_back('\n');
        first = false;
        const auto kind = Kind(op >> 6);
        std::string_view& source = kind == kHex || kind == kDec ? raw : lit;
        // The shortest the line can be, so a damaged count cannot grow `out` far.
        const std::uint64_t least = kind == kHex   ? kPrefix.size() + 4 * n
                                    : kind == kDec ? kPrefix.size() + 2 * n
                                                   : (kind == kReceivedLiteral ? kPrefix.size() : 0) + n;
        if (n > source.size() || out.size() + least > size)
            return false;
        if (kind == kHex || kind == kDec) {
            RenderReceived(reinterpret_cast<const unsigned char*>(source.data()), std::size_t(n),
                           kind == kHex ? ReceiveFormat::Hex : ReceiveFormat::Dec, out);
            out.resize(out.size() - 2);  // its "\r\n"; the break between lines is ours
        } else {
            if (kind == kReceivedLiteral)
                out += kPrefix;
            out += source.substr(0, std::size_t(n));
        }
        source.remove_prefix(std::size_t(n));
        if (out.size() > size)
            return false;
    }
    return !first && lit.empty() && raw.empty() && out.size() == size;
}
