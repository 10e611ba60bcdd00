// UUCP lock files: which of them hold a port. They are written by whoever may
// write /var/lock, so they are hostile input too: huge, binary, links to devices.
// Which process id a file's bytes name is checked against a reference of its own
// by the uucp_lock fuzz target, over its seeds in every run.
#include "serial_fixture.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string AsciiPid(int pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

// The largest id a lock file may name: the kernel hands out only smaller ones, so
// no process ever has it.
constexpr int kNeverAPid = 4194304;

// Writes `head` and makes the file `size` bytes long, the rest a hole. (A file
// that could not be made shows: a lock file must still be there after the open.)
void WriteFile(const std::string& path, const std::string& head, off_t size = 0) {
    std::ofstream(path) << head;
    if (size) std::filesystem::resize_file(path, std::uintmax_t(size));
}

constexpr off_t kGiB = off_t{1} << 30;

// Only a live process other than ours holds the port. A lock file is read as a
// bounded prefix of a regular file, never through a link (one could lead to a
// device, and opening a port raises its DTR), and is never removed.
TEST_F(PtyPortTest, LockFilesHoldThePortOnlyForALiveProcessAndAreReadBounded) {
    using Dir = const std::string&;
    const struct {
        const char* name;
        std::function<void(Dir lock, Dir directory)> make;
        bool opens;
    } cases[] = {
        {"LiveAscii", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(getppid())); }, false},
        {"GigabyteNamingInit", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(1), kGiB); }, false},
        {"Stale", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(kNeverAPid)); }, true},
        {"Ours", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(getpid())); }, true},
        {"Fifo", [](Dir lock, Dir) { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, true},
        {"Directory", [](Dir lock, Dir) { ASSERT_EQ(mkdir(lock.c_str(), 0700), 0); }, true},
        {"LinkToALiveLock",
         [](Dir lock, Dir dir) {
             WriteFile(dir + "/elsewhere", AsciiPid(1), kGiB);
             ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), lock.c_str()), 0);
         },
         true},
        // Reading a pty would take bytes meant for the program.
        {"LinkToADevice", [](Dir lock, Dir) { ASSERT_EQ(symlink("/dev/ptmx", lock.c_str()), 0); }, true},
    };
    const std::string& follower = pty_.followerPath();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TempDir dir;
        OverrideUucpLockDirectories({dir.path});
        const std::string lock = dir.path / ("LCK.." + follower.substr(follower.rfind('/') + 1));
        c.make(lock, dir.path);
        if (HasFatalFailure()) return;
        const long peakBefore = StatusKiB("VmHWM");
        const HANDLE h = OpenTestPort();
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        EXPECT_LT(StatusKiB("VmHWM") - peakBefore, 16 * 1024) << "the lock file was read whole";
        struct stat st {};
        EXPECT_EQ(lstat(lock.c_str(), &st), 0) << "the lock file was removed";
    }
}

}  // namespace
