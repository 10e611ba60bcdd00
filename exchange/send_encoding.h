#pragma once
// How the input line becomes bytes when it is sent as a line (the Send button or
// Return), in the input mode and with the line end the user chose. Pure: the
// window does the writing and the records. "Send as number" is not here: it keeps
// its own rule (transmit.h) and wins over these while checked.

#include "render.h"

#include <QStringView>
#include <string>

// What goes after a text line. None sends the line as it always was.
enum class LineEnd : int { None = 0, Cr = 1, Lf = 2, CrLf = 3 };

// How the line's characters are read.
// Text       each character as its Latin-1 byte, "?" where it has none;
// HexBytes   pairs of hex digits, each pair optionally led by "0x", separated or
//            not by spaces, tabs, commas, colons or dashes: "01 03 0A", "0103",
//            "0x01,0x03"; sent exactly, so no line end follows;
// Escapes    Text with \r \n \t \0 \\ and \xHH (exactly two hex digits).
enum class InputMode : int { Text = 0, HexBytes = 1, Escapes = 2 };

struct EncodedLine {
    // False when the line cannot be read in its mode: nothing is sent, and `shown`
    // is the whole record ("Invalid Hex", "Invalid Escape").
    bool valid = true;
    // What goes on the line, the line end included.
    std::string bytes;
    // The record after its "Sent:" prefix, Latin-1, without the record's own end:
    // the bytes (hex bytes as the receive format shows bytes), then the line end
    // named, " (+CR LF)", so it cannot be taken for the record's end.
    std::string shown;
};

// Reads the line's first 255 characters (a surrogate pair counts as one), as Text
// sending always has. `shownAs` is the receive format, which hex bytes are shown in.
EncodedLine EncodeLine(QStringView line, InputMode mode, LineEnd end, ReceiveFormat shownAs);

// "CR", "LF", "CR LF"; "" for None.
const char* LineEndName(LineEnd end);
