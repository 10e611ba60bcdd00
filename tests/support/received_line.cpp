#include "received_line.h"

#include <charconv>
#include <cstdio>

bool ParseReceivedLine(std::string_view line, ReceiveFormat format, std::string& out) {
    if (!line.starts_with("received:")) return false;
    line.remove_prefix(9);
    std::string bytes(format == ReceiveFormat::Ascii ? line : std::string_view{});
    const bool hex = format == ReceiveFormat::Hex;
    // Each byte as "0x%x " or "%u ": a piece counts only if its value prints back
    // exactly as it came, so no leading zero, capital or stray character passes.
    for (std::size_t end; format != ReceiveFormat::Ascii && !line.empty(); line.remove_prefix(end + 1)) {
        end = line.find(' ');
        const std::string_view piece = line.substr(0, end);
        unsigned value = 256;
        std::from_chars(piece.data() + std::min<std::size_t>(hex ? 2 : 0, piece.size()),
                        piece.data() + piece.size(), value, hex ? 16 : 10);
        char again[8];
        const int length = std::snprintf(again, sizeof again, hex ? "0x%x" : "%u", value);
        if (end == std::string_view::npos || value > 255 || piece != std::string_view(again, std::size_t(length)))
            return false;
        bytes += static_cast<char>(value);
    }
    if (bytes.empty() || bytes.size() > 10) return false;
    out += bytes;
    return true;
}
