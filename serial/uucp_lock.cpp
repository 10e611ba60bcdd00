#include "uucp_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LockDirectories {
    std::mutex mutex;
    std::optional<std::vector<std::string>> replaced;
};

LockDirectories& lockDirectories() {
    static LockDirectories d;
    return d;
}

std::vector<std::string> CurrentDirectories() {
    LockDirectories& d = lockDirectories();
    std::lock_guard lock(d.mutex);
    if (d.replaced) return *d.replaced;
    return {"/var/lock", "/run/lock"};
}

// Up to kUucpLockReadLimit bytes of a regular file; nothing for anything else. The
// lock directory is writable by all: a FIFO planted there must not block us, and a
// symlink must not make us open some device (opening a port raises its DTR).
std::optional<std::vector<unsigned char>> ReadLockFile(const std::string& path) {
    int fd;
    do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(kUucpLockReadLimit);
    std::size_t have = 0;
    while (have < bytes.size()) {
        ssize_t n = read(fd, bytes.data() + have, bytes.size() - have);
        if (n < 0 && errno == EINTR) continue;
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
    for (const std::string& directory : CurrentDirectories()) {
        const auto contents = ReadLockFile(directory + "/LCK.." + base);
        if (!contents) continue;
        const auto pid = ParseUucpLockPid(*contents);
        // This program writes no lock files, so one naming our own pid was left by
        // a dead process whose number we inherited.
        if (pid && *pid != getpid() && ProcessAlive(*pid)) return true;
    }
    return false;
}

void OverrideUucpLockDirectories(std::vector<std::string> directories) {
    LockDirectories& d = lockDirectories();
    std::lock_guard lock(d.mutex);
    d.replaced = std::move(directories);
}

void RestoreUucpLockDirectories() {
    LockDirectories& d = lockDirectories();
    std::lock_guard lock(d.mutex);
    d.replaced.reset();
}
