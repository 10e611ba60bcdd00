#include "uucp_lock.h"

#include "serial_port.h"
#include "test_seam.h"

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// Parsing is kept free of system calls: the lock file is written by whoever can
// write /var/lock, so this is the place hostile bytes arrive.
namespace {

// PID_MAX_LIMIT on 64-bit Linux: no process id is larger.
constexpr std::int64_t kLargestPid = 4 * 1024 * 1024;

bool IsBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool IsSpace(unsigned char c) { return IsBlank(c) || c == '\n' || c == '\r'; }

std::optional<int> ParseAscii(std::span<const unsigned char> s) {
    std::size_t i = 0;
    while (i < s.size() && IsBlank(s[i])) ++i;
    std::int64_t value = 0;
    std::size_t digits = 0;
    for (; i < s.size() && IsDecimalDigit(s[i]); ++i, ++digits) {
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

namespace {

// Up to kUucpLockReadLimit bytes of a regular file; nothing for anything else. The
// lock directory is writable by all: a FIFO planted there must not block us, and a
// symlink must not make us open some device (opening a port raises its DTR).
std::optional<std::vector<unsigned char>> ReadLockFile(const std::string& path) {
    const int fd = RetryOnEintr(
        [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW); });
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(kUucpLockReadLimit);
    std::size_t have = 0;
    while (have < bytes.size()) {
        const ssize_t n =
            RetryOnEintr([&] { return read(fd, bytes.data() + have, bytes.size() - have); });
        if (n <= 0) break;
        have += static_cast<std::size_t>(n);
    }
    close(fd);
    bytes.resize(have);
    return bytes;
}

bool ProcessAlive(int pid) {
    // EPERM: it exists but belongs to someone we may not signal.
    return kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

bool PortLockedByLiveProcess(const std::string& device) {
    const std::string base = device.substr(device.find_last_of('/') + 1);
    if (base.empty()) return false;
    for (const std::string& directory : UucpLockDirectories()) {
        const auto contents = ReadLockFile(directory + "/LCK.." + base);
        if (!contents) continue;
        const auto pid = ParseUucpLockPid(*contents);
        // This program writes no lock files, so one naming our own pid was left by
        // a dead process whose number we inherited.
        if (pid && *pid != getpid() && ProcessAlive(*pid)) return true;
    }
    return false;
}
