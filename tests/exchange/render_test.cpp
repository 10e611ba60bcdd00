#include "render.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

struct RenderCase {
    const char* name;
    std::string bytes;
    ReceiveFormat format;
    std::string expected;
};

class RenderTable : public testing::TestWithParam<RenderCase> {};

TEST_P(RenderTable, RendersWholeLine) {
    const RenderCase& c = GetParam();
    std::string out;
    RenderReceived(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), c.format,
                   out);
    EXPECT_EQ(out, c.expected);
}

using namespace std::string_literals;
constexpr auto A = ReceiveFormat::Ascii;
constexpr auto H = ReceiveFormat::Hex;
constexpr auto D = ReceiveFormat::Dec;

INSTANTIATE_TEST_SUITE_P(
    Cases, RenderTable,
    testing::Values(
        RenderCase{"HelloAscii", "Hello", A, "received:Hello\r\n"},
        RenderCase{"HelloHex", "Hello", H, "received:0x48 0x65 0x6c 0x6c 0x6f \r\n"},
        RenderCase{"HelloDec", "Hello", D, "received:72 101 108 108 111 \r\n"},
        RenderCase{"HighHex", "\x80\xff", H, "received:0x80 0xff \r\n"},
        RenderCase{"HighDec", "\x80\xff", D, "received:128 255 \r\n"},
        RenderCase{"HighAscii", "\x80\xff", A, "received:\x80\xff\r\n"},
        RenderCase{"ZeroInsideAscii", "A\0B"s, A, "received:A\0B\r\n"s},
        RenderCase{"ZeroInsideHex", "A\0B"s, H, "received:0x41 0x0 0x42 \r\n"},
        RenderCase{"ZeroInsideDec", "A\0B"s, D, "received:65 0 66 \r\n"},
        RenderCase{"ZeroFirstHex", "\0"s, H, "received:0x0 \r\n"},
        RenderCase{"LineFeedAscii", "\n", A, "received:\n\r\n"},
        RenderCase{"LineFeedHex", "\n", H, "received:0xa \r\n"},
        RenderCase{"LineFeedDec", "\n", D, "received:10 \r\n"},
        RenderCase{"EmptyHex", "", H, "received:\r\n"}),
    [](const testing::TestParamInfo<RenderCase>& info) { return info.param.name; });

class RenderAllBytes : public testing::TestWithParam<ReceiveFormat> {};

TEST_P(RenderAllBytes, MatchesPrintfAndAppends) {
    const ReceiveFormat format = GetParam();
    unsigned char all[256];
    std::string expected = "kept|received:";
    for (int v = 0; v < 256; ++v) {
        all[v] = static_cast<unsigned char>(v);
        char piece[8];
        if (format == ReceiveFormat::Hex) std::snprintf(piece, sizeof piece, "0x%x ", v);
        else if (format == ReceiveFormat::Dec) std::snprintf(piece, sizeof piece, "%i ", v);
        if (format == ReceiveFormat::Ascii) expected.push_back(static_cast<char>(v));
        else expected += piece;
    }
    expected += "\r\n";
    std::string out = "kept|";
    RenderReceived(all, sizeof all, format, out);
    EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Formats, RenderAllBytes, testing::Values(A, H, D));

}  // namespace
