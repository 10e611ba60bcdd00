#include "port_probe.h"

#include "serial_port.h"
#include "test_seam.h"
#include "uucp_lock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace {

// The start of a small kernel text file (/proc, /sys); nothing when unreadable.
std::optional<std::string> ReadText(const std::string& path, std::size_t limit = 1 << 20) {
    const int fd = RetryOnEintr([&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); });
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    while (text.size() < limit) {
        const ssize_t n = RetryOnEintr([&] { return read(fd, buffer, sizeof buffer); });
        if (n <= 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

std::string DeviceNumberText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

struct MinorRange {
    unsigned major, first, last;
};

// The device numbers of every terminal driver, from /proc/tty/drivers:
// "serial   /dev/ttyS   4 64-111 serial". Nothing when the file cannot be read:
// then every character device passes as a terminal.
std::optional<std::vector<MinorRange>> TerminalNumbers() {
    const auto text = ReadText(ProcRoot() + "/tty/drivers");
    if (!text) return std::nullopt;
    std::vector<MinorRange> ranges;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        // The driver's name comes first and is free text; the node starts "/dev/".
        std::istringstream words(line.substr(std::min(line.find(" /dev/"), line.size())));
        std::string node, minors;
        MinorRange r{};
        if (!(words >> node >> r.major >> minors)) continue;
        if (std::sscanf(minors.c_str(), "%u-%u", &r.first, &r.last) == 1) r.last = r.first;
        ranges.push_back(r);
    }
    return ranges;
}

bool IsTerminal(dev_t device, const std::optional<std::vector<MinorRange>>& terminals) {
    if (!terminals) return true;
    return std::any_of(terminals->begin(), terminals->end(), [&](const MinorRange& r) {
        return major(device) == r.major && minor(device) >= r.first && minor(device) <= r.last;
    });
}

// A serial-core port (ttyS, ttyAMA) whose UART the kernel did not find reports
// type 0 (PORT_UNKNOWN), and its open fails. Other terminals have no type.
bool UartAbsent(dev_t device) {
    const auto type = ReadText(SysfsRoot() + "/dev/char/" + DeviceNumberText(device) + "/type", 32);
    return type && std::atoi(type->c_str()) == 0;
}

DWORD LookAtNode(const std::string& device, const std::optional<std::vector<MinorRange>>& terminals,
                 struct stat* node) {
    if (stat(device.c_str(), node) != 0) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    if (!S_ISCHR(node->st_mode) || !IsTerminal(node->st_rdev, terminals) || UartAbsent(node->st_rdev))
        return ERROR_FILE_NOT_FOUND;
    // open() goes by the effective ids, and so does this.
    if (faccessat(AT_FDCWD, device.c_str(), R_OK | W_OK, AT_EACCESS) != 0) return ERROR_ACCESS_DENIED;
    if (PortLockedByLiveProcess(device)) return ERROR_SHARING_VIOLATION;
    return ERROR_SUCCESS;
}

// The files /proc/locks lists a lock on, as (file system, inode):
// "1: FLOCK  ADVISORY  WRITE 1234 00:05:123 0 EOF", major and minor in hex.
// A waiter's line ("1: -> FLOCK …") does not parse, and needs not: the lock it
// waits for has a line of its own.
std::set<std::pair<dev_t, ino_t>> LockedFiles() {
    std::set<std::pair<dev_t, ino_t>> locked;
    const auto text = ReadText(ProcRoot() + "/locks");
    if (!text) return locked;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string id, type, mode, access, pid, file;
        if (!(words >> id >> type >> mode >> access >> pid >> file)) continue;
        unsigned fsMajor = 0, fsMinor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &inode) == 3)
            locked.emplace(makedev(fsMajor, fsMinor), static_cast<ino_t>(inode));
    }
    return locked;
}

bool IsNumber(const char* name) {
    if (!*name) return false;
    for (; *name; ++name)
        if (!IsDecimalDigit(static_cast<unsigned char>(*name))) return false;
    return true;
}

// A pseudo-terminal's follower as its device number: Unix98 followers take
// majors 136 to 143, 256 to a major, numbered in order.
dev_t PtyFollower(unsigned index) { return makedev(136 + index / 256, index % 256); }

// The pty whose leader this descriptor is, from its fdinfo's "tty-index:" line.
std::optional<unsigned> LeaderIndex(int fdinfo, const char* fd) {
    const int file = RetryOnEintr([&] { return openat(fdinfo, fd, O_RDONLY | O_CLOEXEC); });
    if (file < 0) return std::nullopt;
    char text[512];
    const ssize_t n = RetryOnEintr([&] { return read(file, text, sizeof text - 1); });
    close(file);
    if (n <= 0) return std::nullopt;
    text[n] = '\0';
    const char* at = std::strstr(text, "tty-index:");
    unsigned index = 0;
    if (!at || std::sscanf(at, "tty-index: %u", &index) != 1) return std::nullopt;
    return index;
}

// Which of `wanted` another process has open, by device number, so that any name
// of the device counts. A file on a network or FUSE file system is not asked
// about (AT_STATX_DONT_SYNC): a hung server must not hold the scan. A process
// that holds a pseudo-terminal's leader as well as its follower made the pair
// (socat, a device simulator): it is the far end of the line, not a program
// using the port.
std::set<dev_t> OpenElsewhere(const std::set<dev_t>& wanted) {
    std::set<dev_t> found;
    DIR* processes = opendir(ProcRoot().c_str());
    if (!processes) return found;
    const std::string self = std::to_string(getpid());
    while (const dirent* process = readdir(processes)) {
        if (!IsNumber(process->d_name) || self == process->d_name) continue;
        const int fds = RetryOnEintr([&] {
            return openat(dirfd(processes), (std::string(process->d_name) + "/fd").c_str(),
                          O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        });
        if (fds < 0) continue;  // gone, or not ours to read
        DIR* entries = fdopendir(fds);
        if (!entries) {
            close(fds);
            continue;
        }
        std::set<dev_t> held, made;
        while (const dirent* entry = readdir(entries)) {
            struct statx file {};
            if (entry->d_name[0] == '.' ||
                statx(fds, entry->d_name, AT_STATX_DONT_SYNC, STATX_TYPE, &file) != 0 ||
                !S_ISCHR(file.stx_mode))
                continue;
            const dev_t device = makedev(file.stx_rdev_major, file.stx_rdev_minor);
            if (wanted.count(device)) held.insert(device);
            if (device != makedev(5, 2)) continue;  // /dev/ptmx: a pty's leader
            const int fdinfo = RetryOnEintr([&] {
                return openat(dirfd(processes), (std::string(process->d_name) + "/fdinfo").c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            });
            if (fdinfo < 0) continue;
            if (const auto index = LeaderIndex(fdinfo, entry->d_name)) made.insert(PtyFollower(*index));
            close(fdinfo);
        }
        closedir(entries);
        for (const dev_t device : held)
            if (!made.count(device)) found.insert(device);
        if (found.size() == wanted.size()) break;
    }
    closedir(processes);
    return found;
}

}  // namespace

std::vector<DWORD> ProbePorts(const std::vector<std::string>& devices) {
    std::vector<DWORD> verdicts(devices.size(), ERROR_SUCCESS);
    std::vector<struct stat> nodes(devices.size());
    const auto terminals = TerminalNumbers();
    bool anyLeft = false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        verdicts[i] = LookAtNode(devices[i], terminals, &nodes[i]);
        anyLeft |= verdicts[i] == ERROR_SUCCESS;
    }
    // /proc is read only when some port is still a candidate: on most machines
    // the node checks leave one or two.
    if (!anyLeft) return verdicts;
    const auto locked = LockedFiles();
    std::set<dev_t> wanted;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (verdicts[i] != ERROR_SUCCESS) continue;
        if (locked.count({nodes[i].st_dev, nodes[i].st_ino}))
            verdicts[i] = ERROR_SHARING_VIOLATION;
        else
            wanted.insert(nodes[i].st_rdev);
    }
    if (wanted.empty()) return verdicts;
    const auto held = OpenElsewhere(wanted);
    for (std::size_t i = 0; i < devices.size(); ++i)
        if (verdicts[i] == ERROR_SUCCESS && held.count(nodes[i].st_rdev)) verdicts[i] = ERROR_SHARING_VIOLATION;
    return verdicts;
}

DWORD ProbePort(const std::string& device) { return ProbePorts({device}).front(); }
