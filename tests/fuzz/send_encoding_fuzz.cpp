// Hex bytes and escaped text, against references written another way (regular
// expressions), with every line end and receive format. Input: the first byte
// picks the mode, line end and format and says how the rest becomes text: bit 7
// clear, one byte per character (Latin-1); set, two bytes per UTF-16 code unit.
#include "fuzz_text.h"
#include "send_encoding.h"

#include <QRegularExpression>
#include <optional>
#include <string>

namespace {

// The first 255 characters, a surrogate pair counting once.
QString First255(const QString& text) {
    qsizetype units = 0;
    for (int taken = 0; units < text.size() && taken < 255; ++taken)
        units += QStringView(text).mid(units).toUcs4().value(0) > 0xFFFF ? 2 : 1;
    return text.left(units);
}

// Anchored with \z: "$" would also take a final line feed as the end.
std::optional<std::string> ReferenceHex(const QString& text) {
    static const QRegularExpression whole(
        "^(?:[ \\t,:\\-]*(?:0[xX])?(?:[0-9A-Fa-f]{2})+(?=[ \\t,:\\-]|\\z))*[ \\t,:\\-]*\\z");
    if (!whole.match(text).hasMatch()) return std::nullopt;
    std::string bytes;
    static const QRegularExpression run("(?:0[xX])?([0-9A-Fa-f]+)");
    for (const QRegularExpressionMatch& m : run.globalMatch(text)) {
        const QString digits = m.captured(1);
        for (qsizetype i = 0; i < digits.size(); i += 2) bytes += char(digits.mid(i, 2).toUInt(nullptr, 16));
    }
    return bytes;
}

// A lone surrogate is one "?" like any character Latin-1 cannot hold; it is
// replaced first, as regular expressions take only well-formed text.
std::optional<std::string> ReferenceEscapes(QString text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            text[i] = u'?';
    }
    static const QRegularExpression token("\\\\x[0-9A-Fa-f]{2}|\\\\[rnt0\\\\]|\\\\|.",
                                          QRegularExpression::DotMatchesEverythingOption);
    std::string bytes;
    for (const QRegularExpressionMatch& m : token.globalMatch(text)) {
        const QString t = m.captured();
        if (t == "\\") return std::nullopt;
        static const std::string named("rnt0\\"), meant("\r\n\t\0\\", 5);
        if (t.size() == 4)
            bytes += char(t.mid(2).toUInt(nullptr, 16));
        else if (t.startsWith(u'\\'))
            bytes += meant.at(named.find(char(t[1].unicode())));
        else
            bytes += t.size() == 2 || t[0].unicode() > 0xFF ? '?' : char(t[0].unicode());
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool escapes = data[0] & 1;
    const auto end = static_cast<LineEnd>(data[0] >> 1 & 3);
    const auto format = static_cast<ReceiveFormat>((data[0] >> 3 & 3) % 3);
    const QString text = FuzzText(data + 1, size - 1, data[0] & 0x80);
    const QString taken = First255(text);
    const EncodedLine got = EncodeLine(text, escapes ? InputMode::Escapes : InputMode::HexBytes, end, format);
    const std::optional<std::string> want = escapes ? ReferenceEscapes(taken) : ReferenceHex(taken);
    if (got.valid != want.has_value()) Fail("validity", text);
    if (!want) return 0;
    const std::string suffix = escapes ? std::string(end == LineEnd::Cr ? "\r" : end == LineEnd::Lf ? "\n"
                                                     : end == LineEnd::CrLf ? "\r\n" : "")
                                       : std::string();
    if (got.bytes != *want + suffix) Fail(escapes ? "escaped bytes" : "hex bytes", text);
    return 0;
}
