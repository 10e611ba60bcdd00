// How a line becomes bytes and its record in each input mode, with each line end.
#include "send_encoding.h"

#include <QString>
#include <gtest/gtest.h>

namespace {

struct EncodeCase {
    const char* name;
    QString line;
    InputMode mode;
    LineEnd end;
    ReceiveFormat format;
    std::string bytes;  // what goes out
    std::string shown;  // the record after "Sent:", or the whole record when invalid
    bool valid = true;
};

using enum InputMode;
using enum LineEnd;
constexpr ReceiveFormat kAscii = ReceiveFormat::Ascii;
const QString k255 = QString(255, u'a');
const std::string s255(255, 'a');
std::string Bytes(std::initializer_list<unsigned char> b) { return std::string(b.begin(), b.end()); }

EncodeCase Invalid(const char* name, const char* line, InputMode mode, const char* error) {
    return {name, QString::fromUtf8(line), mode, CrLf, kAscii, "", error, false};
}

TEST(Encode, BytesAndRecordInEachModeWithEachLineEnd) {
    const EncodeCase cases[] = {
        {"TextAsAlways", "ATZ", Text, None, kAscii, "ATZ", "ATZ"},
        {"TextCrLf", "ATZ", Text, CrLf, kAscii, "ATZ\r\n", "ATZ (+CR LF)"},
        {"TextCr", "AT", Text, Cr, kAscii, "AT\r", "AT (+CR)"},
        {"TextLf", "AT", Text, Lf, kAscii, "AT\n", "AT (+LF)"},
        {"EmptyLineSendsTheEnd", "", Text, CrLf, kAscii, "\r\n", " (+CR LF)"},
        {"Exactly255ThenTheEnd", k255, Text, Cr, kAscii, s255 + "\r", s255 + " (+CR)"},
        {"EndAfterThe255th", k255 + "bc", Text, Lf, kAscii, s255 + "\n", s255 + " (+LF)"},
        {"HexSpacedShownAsHex", "01 03 00 00 00 0A C5 CD", HexBytes, None, ReceiveFormat::Hex,
         Bytes({1, 3, 0, 0, 0, 10, 0xc5, 0xcd}), "0x1 0x3 0x0 0x0 0x0 0xa 0xc5 0xcd "},
        {"HexRunShownAsText", "4142", HexBytes, None, kAscii, "AB", "AB"},
        {"Hex0xCommasShownAsDec", "0x01,0X03,0xff", HexBytes, None, ReceiveFormat::Dec, Bytes({1, 3, 255}), "1 3 255 "},
        {"HexSeparatorsMixAndRepeat", " 01:02-03\t, 0x0405 ", HexBytes, None, kAscii, Bytes({1, 2, 3, 4, 5}),
         Bytes({1, 2, 3, 4, 5})},
        {"HexIsExactNoLineEnd", "41", HexBytes, CrLf, kAscii, "A", "A"},
        {"HexEmptySendsNothing", "", HexBytes, CrLf, kAscii, "", ""},
        {"HexReadsOnly255", QString("01").repeated(127) + " zz", HexBytes, None, kAscii,
         std::string(127, '\1'), std::string(127, '\1')},
        Invalid("HexOddDigits", "01 0A3", HexBytes, "Invalid Hex"),
        Invalid("HexNotAHexDigit", "01 0G", HexBytes, "Invalid Hex"),
        Invalid("Hex0xAlone", "01 0x", HexBytes, "Invalid Hex"),
        Invalid("Hex0xThenSeparator", "0x,01", HexBytes, "Invalid Hex"),
        Invalid("HexOtherSeparator", "01;02", HexBytes, "Invalid Hex"),
        {"EscapesAll", "a\\r\\n\\t\\0\\\\\\x41\\xfF", Escapes, Lf, kAscii,
         std::string("a\r\n\t\0\\A\xff\n", 9), std::string("a\r\n\t\0\\A\xff (+LF)", 14)},
        {"EscapesOtherCharacters", QString::fromUtf8("\u20ac\U0001F600\u00e9"), Escapes, None, kAscii,
         "??\xe9", "??\xe9"},
        // A character beyond the Basic Multilingual Plane counts once towards 255.
        {"EscapesCountAPairOnce", QString::fromUtf8("\U0001F600") + QString(254, u'a') + "b", Escapes,
         None, kAscii, "?" + std::string(254, 'a'), "?" + std::string(254, 'a')},
        Invalid("EscapeShortHex", "\\x4", Escapes, "Invalid Escape"),
        Invalid("EscapeHexNotHex", "\\x4g", Escapes, "Invalid Escape"),
        Invalid("EscapeUnknown", "a\\q", Escapes, "Invalid Escape"),
        Invalid("EscapeTrailingBackslash", "ab\\", Escapes, "Invalid Escape"),
        // The 255th character is the backslash: what follows it is not read.
        {"EscapeCutAt255", QString(254, u'a') + "\\n", Escapes, None, kAscii, "", "Invalid Escape", false},
    };
    for (const EncodeCase& c : cases) {
        const EncodedLine got = EncodeLine(c.line, c.mode, c.end, c.format);
        EXPECT_EQ(std::tuple(got.valid, got.bytes, got.shown), std::tuple(c.valid, c.bytes, c.shown)) << c.name;
    }
}

}  // namespace
