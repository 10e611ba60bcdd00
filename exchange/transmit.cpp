#include "transmit.h"

#include <algorithm>

namespace {

constexpr qsizetype kMaxTextCharacters = 255;
constexpr qsizetype kMaxNumberCharacters = 254;

}  // namespace

// Characters are counted as the user sees them: a character outside the Basic
// Multilingual Plane (a surrogate pair in the QString) is one character and goes
// out as one "?", not two. A lone surrogate half is likewise one "?".
std::string TextBytes(QStringView line) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(std::min(line.size(), kMaxTextCharacters)));
    qsizetype i = 0;
    while (i < line.size() && static_cast<qsizetype>(bytes.size()) < kMaxTextCharacters) {
        const QChar c = line[i];
        if (c.isHighSurrogate() && i + 1 < line.size() && line[i + 1].isLowSurrogate()) {
            bytes.push_back('?');
            i += 2;
            continue;
        }
        bytes.push_back(CharByte(c));
        ++i;
    }
    return bytes;
}

// Only the first 254 positions are examined. Digits are all in the Basic
// Multilingual Plane, so counting code units here gives the same verdict as
// counting characters: any surrogate among them makes the text invalid either way.
std::optional<unsigned char> NumberByte(QStringView line) {
    const QStringView taken = line.left(kMaxNumberCharacters);
    unsigned value = 0;
    for (const QChar c : taken) {
        const char16_t u = c.unicode();
        if (u < u'0' || u > u'9') return std::nullopt;
        // Reducing at every step keeps the result exact for any number of digits,
        // where the C library's conversion would overflow.
        value = (value * 10 + (u - u'0')) % 256;
    }
    return static_cast<unsigned char>(value);
}

char CharByte(QChar c) {
    const char16_t u = c.unicode();
    return u <= 0xFF ? static_cast<char>(static_cast<unsigned char>(u)) : '?';
}

QString SentRecordPrefix(std::size_t written, std::size_t count) {
    if (written >= count) return QStringLiteral("Sent:");
    return QStringLiteral("Send failed (%1 of %2 %3 went out):")
        .arg(written)
        .arg(count)
        .arg(count == 1 ? QStringLiteral("byte") : QStringLiteral("bytes"));
}
