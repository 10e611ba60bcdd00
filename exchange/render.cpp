#include "render.h"

#include <array>
#include <cstring>

namespace {

// One byte's rendering, at most five characters ("0xff ", "255 "). Copying all
// five and then advancing by `length` keeps the inner loop free of branches.
struct Piece {
    char text[5];
    unsigned char length;
};

constexpr std::size_t kWidestPiece = sizeof(Piece::text);

constexpr std::array<Piece, 256> MakeHexTable() {
    constexpr char digits[] = "0123456789abcdef";
    std::array<Piece, 256> table{};
    for (int value = 0; value < 256; ++value) {
        Piece& piece = table[value];
        int n = 0;
        piece.text[n++] = '0';
        piece.text[n++] = 'x';
        if (value >= 16) piece.text[n++] = digits[value >> 4];
        piece.text[n++] = digits[value & 15];
        piece.text[n++] = ' ';
        piece.length = static_cast<unsigned char>(n);
    }
    return table;
}

constexpr std::array<Piece, 256> MakeDecTable() {
    std::array<Piece, 256> table{};
    for (int value = 0; value < 256; ++value) {
        Piece& piece = table[value];
        int n = 0;
        if (value >= 100) piece.text[n++] = static_cast<char>('0' + value / 100);
        if (value >= 10) piece.text[n++] = static_cast<char>('0' + value / 10 % 10);
        piece.text[n++] = static_cast<char>('0' + value % 10);
        piece.text[n++] = ' ';
        piece.length = static_cast<unsigned char>(n);
    }
    return table;
}

constexpr std::array<Piece, 256> kHex = MakeHexTable();
constexpr std::array<Piece, 256> kDec = MakeDecTable();

constexpr char kPrefix[] = "received:";
constexpr std::size_t kPrefixLength = sizeof(kPrefix) - 1;

// Writes the pieces into `out`, which has room for kWidestPiece per byte.
char* WritePieces(const unsigned char* data, std::size_t count, const std::array<Piece, 256>& table,
                  char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        const Piece& piece = table[data[i]];
        std::memcpy(out, piece.text, kWidestPiece);
        out += piece.length;
    }
    return out;
}

}  // namespace

void RenderReceived(const unsigned char* data, std::size_t count, ReceiveFormat format,
                    std::string& out) {
    const std::size_t start = out.size();
    const std::size_t widest = format == ReceiveFormat::Ascii ? count : count * kWidestPiece;
    out.resize(start + kPrefixLength + widest + 2);

    char* p = out.data() + start;
    std::memcpy(p, kPrefix, kPrefixLength);
    p += kPrefixLength;
    switch (format) {
    case ReceiveFormat::Hex:
        p = WritePieces(data, count, kHex, p);
        break;
    case ReceiveFormat::Dec:
        p = WritePieces(data, count, kDec, p);
        break;
    case ReceiveFormat::Ascii:
    default:
        if (count != 0) std::memcpy(p, data, count);
        p += count;
        break;
    }
    *p++ = '\r';
    *p++ = '\n';
    out.resize(static_cast<std::size_t>(p - out.data()));
}
