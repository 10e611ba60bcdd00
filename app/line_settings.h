#pragma once
// The line settings the window offers: the selector contents and defaults, kept
// here as data, and how the user's choices are written into the line state. A
// choice is taken from its position in the list, never from its text.

#include "win32.h"

#include <array>
#include <span>

struct SettingChoice {
    const char* item;  // the text shown in the selector
    DWORD value;       // what its position stands for
};

struct SettingList {
    std::span<const SettingChoice> choices;
    int defaultPosition;
};

inline constexpr std::array<SettingChoice, 20> kBaudChoices{{
    {"110", 110},         {"300", 300},         {"600", 600},         {"1200", 1200},
    {"2400", 2400},       {"4800", 4800},       {"9600", 9600},       {"14400", 14400},
    {"19200", 19200},     {"38400", 38400},     {"56000", 56000},     {"57600", 57600},
    {"115200", 115200},   {"128000", 128000},   {"230400", 230400},   {"256000", 256000},
    {"460800", 460800},   {"921600", 921600},   {"1843200", 1843200}, {"6250000", 6250000},
}};
inline constexpr std::array<SettingChoice, 3> kStopBitChoices{{
    {"One Stop Bit", ONESTOPBIT},
    {"One and a Half Stop Bits", ONE5STOPBITS},
    {"Two Stop Bits", TWOSTOPBITS},
}};
// Not in value order, and without space parity.
inline constexpr std::array<SettingChoice, 4> kParityChoices{{
    {"Even", EVENPARITY},
    {"Mark", MARKPARITY},
    {"None", NOPARITY},
    {"Odd", ODDPARITY},
}};
inline constexpr std::array<SettingChoice, 4> kDataBitChoices{{
    {"Five", 5},
    {"Six", 6},
    {"Seven", 7},
    {"Eight", 8},
}};

// In the order the window fills its selectors: baud rate, stop bits, parity, data bits.
inline constexpr std::array<SettingList, 4> kSettingLists{{
    {kBaudChoices, 6},
    {kStopBitChoices, 0},
    {kParityChoices, 2},
    {kDataBitChoices, 3},
}};

// The time-outs of a connection: a read returns after at most 20 ms with what has
// arrived; writes have no time-out.
extern COMMTIMEOUTS WorkTimeouts;
void SetWorkTimeouts();

// The state of the settings controls when the user connects. A position of -1
// means the selector has no selected item.
struct LineChoices {
    int baudPosition = -1;
    int stopBitsPosition = -1;
    int parityPosition = -1;
    bool checkParity = false;
    int dataBitsPosition = -1;
    bool rtsOff = false;
    bool rtsOn = false;
    bool dtrOff = false;
    bool dtrOn = false;
};

// Writes the choices into `line`; a field whose selector has no valid position
// keeps what the port reported, and so does every field not offered here.
void ApplyChoices(const LineChoices& choices, DCB& line);
