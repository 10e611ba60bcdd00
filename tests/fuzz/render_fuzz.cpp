// Rendering one read in each format, checked against a plain printf rendering.
// Input: the first byte picks the format and how much text the line is appended
// to; the rest is the read.
#include "render.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Reference(const std::uint8_t* data, std::size_t size, ReceiveFormat format) {
    std::string line = "received:";
    for (std::size_t i = 0; i < size; ++i) {
        char piece[8];
        switch (format) {
        case ReceiveFormat::Ascii: line += static_cast<char>(data[i]); continue;
        case ReceiveFormat::Hex: std::snprintf(piece, sizeof piece, "0x%x ", data[i]); break;
        case ReceiveFormat::Dec: std::snprintf(piece, sizeof piece, "%i ", data[i]); break;
        }
        line += piece;
    }
    return line + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const auto format = static_cast<ReceiveFormat>(data[0] % 3);
    // Lines are appended to what is already queued, which must stay untouched.
    const std::string before(data[0] / 3 % 8, '#');
    std::string out = before;
    RenderReceived(data + 1, size - 1, format, out);
    const std::string expected = before + Reference(data + 1, size - 1, format);
    if (out != expected) {
        std::fprintf(stderr, "format %d, %zu bytes: got \"%s\", expected \"%s\"\n", data[0] % 3,
                     size - 1, out.c_str(), expected.c_str());
        std::abort();
    }
    return 0;
}
