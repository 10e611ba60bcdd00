#include "received_line.h"

namespace {

int Digit(char c, unsigned base) {
    if (c >= '0' && c <= '9') return c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// One byte as "0x%x " or "%u ": no leading zero, nothing else; its length, or 0.
std::size_t ParsePiece(std::string_view text, unsigned base, unsigned char& value) {
    std::size_t at = 0;
    if (base == 16) {
        if (!text.starts_with("0x")) return 0;
        at = 2;
    }
    const std::size_t first = at;
    unsigned v = 0;
    for (int d; at < text.size() && at - first < 3 && (d = Digit(text[at], base)) >= 0; ++at) v = v * base + unsigned(d);
    const std::size_t digits = at - first;
    if (digits == 0 || (digits > 1 && text[first] == '0') || v > 255 || at >= text.size() || text[at] != ' ')
        return 0;
    value = static_cast<unsigned char>(v);
    return at + 1;
}

}  // namespace

bool ParseReceivedLine(std::string_view line, ReceiveFormat format, std::string& out) {
    constexpr std::string_view kPrefix = "received:";
    if (!line.starts_with(kPrefix)) return false;
    line.remove_prefix(kPrefix.size());
    const std::size_t mark = out.size();
    if (format == ReceiveFormat::Ascii) {
        out.append(line);
        line = {};
    }
    const unsigned base = format == ReceiveFormat::Hex ? 16 : 10;
    unsigned char value = 0;
    while (!line.empty()) {
        const std::size_t length = ParsePiece(line, base, value);
        if (length == 0) break;
        out += static_cast<char>(value);
        line.remove_prefix(length);
    }
    const std::size_t bytes = out.size() - mark;
    if (line.empty() && bytes >= 1 && bytes <= 10) return true;
    out.resize(mark);
    return false;
}
