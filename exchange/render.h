#pragma once
// Turning one read's bytes into its history line. Pure, so it is fuzzed and
// benchmarked on its own.

#include <cstddef>
#include <string>

enum class ReceiveFormat : int { Ascii = 0, Hex = 1, Dec = 2 };

// Appends "received:", the bytes in the format, and "\r\n" to `out`:
// ASCII  each byte as the 8-bit character it codes, control bytes unchanged;
// HEX    "0x%x " per byte;
// DEC    "%i " per byte (unsigned, 0-255).
// Every byte is rendered, zero bytes included.
void RenderReceived(const unsigned char* data, std::size_t count, ReceiveFormat format,
                    std::string& out);
