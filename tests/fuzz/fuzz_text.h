#pragma once
// What the targets that take a typed line share: the line made from fuzz bytes,
// and the report of a difference from the reference.

#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// One character per byte (Latin-1), or with `utf16` one UTF-16 code unit per two
// bytes, so that any character, surrogates included, can come.
inline QString FuzzText(const std::uint8_t* data, std::size_t size, bool utf16) {
    QString text;
    for (std::size_t i = 0; utf16 ? i + 1 < size : i < size; i += utf16 ? 2 : 1)
        text += QChar(utf16 ? static_cast<char16_t>(data[i] | data[i + 1] << 8) : char16_t{data[i]});
    return text;
}

[[noreturn]] inline void Fail(const char* what, const QString& text) {
    std::fprintf(stderr, "%s differs for %lld code units: %s\n", what, static_cast<long long>(text.size()),
                 text.toUtf8().constData());
    std::abort();
}
