#pragma once
// The device's line settings as the kernel keeps them (struct termios2), carried in
// a neutral record so that code using <termios.h> never meets <asm/termbits.h>:
// the two headers define the same names differently, and only termios2_io.cpp
// includes the kernel's. Flag bits and c_cc indices are the kernel's, which glibc's
// <termios.h> constants equal on Linux.

#include <cstddef>
#include <cstdint>

constexpr std::size_t kLineCcCount = 19;  // the kernel's NCCS

struct LineTermios {
    std::uint32_t iflag = 0;
    std::uint32_t oflag = 0;
    std::uint32_t cflag = 0;  // never holds the speed bits (CBAUD, CIBAUD)
    std::uint32_t lflag = 0;
    std::uint8_t line = 0;
    std::uint8_t cc[kLineCcCount] = {};
    std::uint32_t speed = 0;  // bits per second, input and output alike
};

// The kernel's record exactly as found, to put back byte for byte.
struct SavedTermios {
    alignas(4) unsigned char bytes[64];
};
bool RestoreTermios(int fd, const SavedTermios& saved);

// TCGETS2, also kept as found when asked; false when the descriptor is no
// terminal or has failed.
bool ReadLineTermios(int fd, LineTermios* out, SavedTermios* asFound = nullptr);

// TCSETS2 with the speed as its standard B constant where one exists and as an
// exact BOTHER rate otherwise. Applies all or nothing (one ioctl); a pseudo-terminal
// quietly keeps 8 data bits and no parity.
bool WriteLineTermios(int fd, const LineTermios& settings);
