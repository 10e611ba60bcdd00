// Send as number and the text line's bytes, against references written another
// way. Input: the first byte says how the rest becomes text: even, one byte per
// character (Latin-1); odd, two bytes per UTF-16 code unit (any character,
// surrogates and non-ASCII digits included).
#include "fuzz_text.h"
#include "transmit.h"

#include <optional>
#include <string>

namespace {

// 10^8 is a multiple of 256, so only the last eight digits decide the byte.
std::optional<unsigned char> ReferenceNumber(const QString& text) {
    const QString taken = text.left(254);
    for (QChar c : taken)
        if (c.unicode() < '0' || c.unicode() > '9') return std::nullopt;
    const QString lastEight = taken.right(8);
    return static_cast<unsigned char>(lastEight.isEmpty() ? 0 : lastEight.toULong() % 256);
}

// The first 255 characters as the user counts them (a surrogate pair is one), each
// its Latin-1 byte or "?".
std::string ReferenceText(const QString& text) {
    std::string bytes;
    const auto units = text.size();
    for (qsizetype i = 0; i < units && bytes.size() < 255; ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < units && text[i + 1].isLowSurrogate()) ++i;
        bytes += u < 256 ? static_cast<char>(u) : '?';
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const QString text = FuzzText(data + 1, size - 1, data[0] % 2);
    if (NumberByte(text) != ReferenceNumber(text)) Fail("NumberByte", text);
    if (TextBytes(text) != ReferenceText(text)) Fail("TextBytes", text);
    return 0;
}
