#pragma once
// What goes on the line when the user sends. Pure: the window does the writing
// and the records.

#include <QString>
#include <QStringView>
#include <optional>
#include <string>

// The bytes of a text line: its first 255 characters, one Latin-1 byte each, "?"
// for a character Latin-1 cannot hold. No line end is added.
std::string TextBytes(QStringView line);

// Send as number: the first 254 characters must all be "0"-"9" (the empty text is
// valid); the rest are not examined. The byte is the exact decimal value modulo
// 256, whatever the number of digits. Nothing when the text is invalid.
std::optional<unsigned char> NumberByte(QStringView line);

// One typed character as its Latin-1 byte, "?" when it has none.
char CharByte(QChar c);

// How a transmission's record begins: "Sent:" when the driver took every byte,
// otherwise "Send failed (3 of 5 bytes went out):", so a record never claims
// bytes that did not go.
QString SentRecordPrefix(std::size_t written, std::size_t count);
