#include "send_encoding.h"

#include "transmit.h"

#include <optional>

namespace {

constexpr qsizetype kMaxLineCharacters = 255;

// The first `count` characters as the user counts them: a surrogate pair is one.
QStringView FirstCharacters(QStringView line, qsizetype count) {
    qsizetype i = 0;
    for (qsizetype taken = 0; i < line.size() && taken < count; ++taken)
        i += line[i].isHighSurrogate() && i + 1 < line.size() && line[i + 1].isLowSurrogate() ? 2 : 1;
    return line.left(i);
}

int HexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9') return u - u'0';
    if (u >= u'a' && u <= u'f') return u - u'a' + 10;
    if (u >= u'A' && u <= u'F') return u - u'A' + 10;
    return -1;
}

bool IsHexSeparator(QChar c) {
    const char16_t u = c.unicode();
    return u == u' ' || u == u'\t' || u == u',' || u == u':' || u == u'-';
}

// Each run between separators is an optional "0x" and then whole pairs of digits.
std::optional<std::string> HexBytes(QStringView text) {
    std::string bytes;
    qsizetype i = 0;
    while (i < text.size()) {
        if (IsHexSeparator(text[i])) {
            ++i;
            continue;
        }
        if (text[i] == u'0' && i + 1 < text.size() && (text[i + 1] == u'x' || text[i + 1] == u'X')) i += 2;
        const qsizetype start = i;
        while (i < text.size() && !IsHexSeparator(text[i])) {
            const int high = HexValue(text[i]);
            const int low = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            if (high < 0 || low < 0) return std::nullopt;
            bytes.push_back(static_cast<char>(high << 4 | low));
            i += 2;
        }
        if (i == start) return std::nullopt;  // "0x" with no digits
    }
    return bytes;
}

std::optional<std::string> EscapedBytes(QStringView text) {
    std::string bytes;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\') {
            const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
            bytes.push_back(pair ? '?' : CharByte(text[i]));
            i += pair ? 1 : 0;
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i].unicode()) {
        case u'r': bytes.push_back('\r'); break;
        case u'n': bytes.push_back('\n'); break;
        case u't': bytes.push_back('\t'); break;
        case u'0': bytes.push_back('\0'); break;
        case u'\\': bytes.push_back('\\'); break;
        case u'x': {
            const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0) return std::nullopt;
            bytes.push_back(static_cast<char>(high << 4 | low));
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return bytes;
}

// The bytes as a received line shows them in `format`, without its prefix and end.
std::string ShownAsReceived(const std::string& bytes, ReceiveFormat format) {
    std::string rendered;
    RenderReceived(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), format, rendered);
    constexpr std::size_t kPrefix = sizeof("received:") - 1;
    return rendered.substr(kPrefix, rendered.size() - kPrefix - 2);
}

const char* LineEndBytes(LineEnd end) {
    switch (end) {
    case LineEnd::Cr: return "\r";
    case LineEnd::Lf: return "\n";
    case LineEnd::CrLf: return "\r\n";
    case LineEnd::None: break;
    }
    return "";
}

}  // namespace

const char* LineEndName(LineEnd end) {
    switch (end) {
    case LineEnd::Cr: return "CR";
    case LineEnd::Lf: return "LF";
    case LineEnd::CrLf: return "CR LF";
    case LineEnd::None: break;
    }
    return "";
}

EncodedLine EncodeLine(QStringView line, InputMode mode, LineEnd end, ReceiveFormat shownAs) {
    const QStringView taken = FirstCharacters(line, kMaxLineCharacters);
    EncodedLine out;
    switch (mode) {
    case InputMode::HexBytes:
        if (std::optional<std::string> bytes = HexBytes(taken)) {
            out.shown = ShownAsReceived(*bytes, shownAs);
            out.bytes = std::move(*bytes);
            return out;  // exact bytes: no line end
        }
        return {false, {}, "Invalid Hex"};
    case InputMode::Escapes:
        if (std::optional<std::string> bytes = EscapedBytes(taken)) {
            out.bytes = std::move(*bytes);
            break;
        }
        return {false, {}, "Invalid Escape"};
    case InputMode::Text:
        out.bytes = TextBytes(taken);
        break;
    }
    out.shown = out.bytes;
    if (end != LineEnd::None) {
        out.bytes += LineEndBytes(end);
        out.shown += std::string(" (+") + LineEndName(end) + ")";
    }
    return out;
}
