// Reading a UUCP lock file's process id, against a reference written with the
// standard library's number parsing. Lock files are written by whoever may write
// /var/lock, so any bytes at all can arrive here.
#include "uucp_lock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr long kLargestPid = 4194304;  // PID_MAX_LIMIT

std::optional<int> InRange(long long value) {
    if (value < 1 || value > kLargestPid) return std::nullopt;
    return static_cast<int>(value);
}

// "%10d\n" and its relatives: blanks, digits, then the end or a space, tab,
// carriage return or line feed.
std::optional<int> ReferenceAscii(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::nullopt;
    const std::size_t end = s.find_first_not_of("0123456789", first);
    if (end == first) return std::nullopt;
    if (end != std::string::npos && std::string(" \t\r\n").find(s[end]) == std::string::npos)
        return std::nullopt;
    const std::string digits = s.substr(first, end == std::string::npos ? end : end - first);
    // Too many digits saturate at ULLONG_MAX, past the largest id all the same.
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (value > static_cast<unsigned long long>(kLargestPid)) return std::nullopt;
    return InRange(static_cast<long long>(value));
}

std::optional<int> ReferenceBinary(const std::string& s) {
    if (s.size() != 4) return std::nullopt;
    std::int32_t value;
    std::memcpy(&value, s.data(), 4);
    return InRange(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string contents(reinterpret_cast<const char*>(data), size);
    const auto got = ParseUucpLockPid({data, size});
    auto expected = ReferenceAscii(contents);
    if (!expected) expected = ReferenceBinary(contents);
    if (got != expected) {
        std::fprintf(stderr, "%zu bytes: got %d, expected %d\n", size, got.value_or(-1),
                     expected.value_or(-1));
        std::abort();
    }
    return 0;
}
