// Kept apart and free of system calls: the lock file is written by whoever can
// write /var/lock, so this is the place hostile bytes arrive.
#include "uucp_lock.h"

#include <cstdint>
#include <cstring>

namespace {

// PID_MAX_LIMIT on 64-bit Linux: no process id is larger.
constexpr std::int64_t kLargestPid = 4 * 1024 * 1024;

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool IsSpace(unsigned char c) { return IsBlank(c) || c == '\n' || c == '\r'; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

std::optional<int> ParseAscii(std::span<const unsigned char> s) {
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < s.size() && IsDigit(s[i]); ++i, ++digits) {
        value = value * 10 + (s[i] - '0');
        if (value > kLargestPid) return std::nullopt;  // also keeps value from overflowing
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && !IsSpace(s[i])) return std::nullopt;
    if (value < 1) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<int> ParseBinary(std::span<const unsigned char> s) {
    if (s.size() != sizeof(std::int32_t)) return std::nullopt;
    std::int32_t value;
    std::memcpy(&value, s.data(), sizeof value);
    if (value < 1 || value > kLargestPid) return std::nullopt;
    return static_cast<int>(value);
}

}  // namespace

std::optional<int> ParseUucpLockPid(std::span<const unsigned char> contents) {
    if (auto pid = ParseAscii(contents)) return pid;
    return ParseBinary(contents);
}
