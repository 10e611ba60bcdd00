// UUCP lock files: which of them hold a port. They are written by whoever may
// write /var/lock, so they are hostile input too: huge, binary, links to devices.
// Which process id a file's bytes name is checked against a reference of its own
// by the uucp_lock fuzz target, over its seeds in every run.
#include "serial_fixture.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
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

// Writes `head` and makes the file `size` bytes long, the rest a hole.
void WriteFile(const std::string& path, const std::string& head, off_t size = 0) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, std::max<off_t>(size, static_cast<off_t>(head.size()))), 0);
    close(fd);
}

constexpr off_t kGiB = off_t{1} << 30;

struct LockCase {
    const char* name;
    std::function<void(const std::string& lock, const std::string& directory)> make;
    bool opens;
};
void PrintTo(const LockCase& c, std::ostream* out) { *out << c.name; }

// Lock files in a private directory, for the port's pty.
class LockFiles : public PtyPortTest, public ::testing::WithParamInterface<LockCase> {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        char dir[] = "/tmp/serial-lock-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        OverrideUucpLockDirectories({dir_});
    }
    void TearDown() override {
        PtyPortTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    std::string dir_;
};

// Only a live process other than ours holds the port. A lock file is read as a
// bounded prefix of a regular file, never through a link (one could lead to a
// device, and opening a port raises its DTR), and is never removed.
TEST_P(LockFiles, HoldThePortOnlyForALiveProcessAndAreReadBounded) {
    const std::string& follower = pty_.followerPath();
    const std::string lock = dir_ + "/LCK.." + follower.substr(follower.rfind('/') + 1);
    GetParam().make(lock, dir_);
    if (HasFatalFailure()) return;
    const long peakBefore = StatusKiB("VmHWM");
    HANDLE h = CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, GetParam().opens);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_LT(StatusKiB("VmHWM") - peakBefore, 16 * 1024) << "the lock file was read whole";
    struct stat st {};
    EXPECT_EQ(lstat(lock.c_str(), &st), 0) << "the lock file was removed";
}

using Dir = const std::string&;

INSTANTIATE_TEST_SUITE_P(
    Files, LockFiles,
    ::testing::Values(
        LockCase{"LiveAscii", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(getppid())); }, false},
        LockCase{"GigabyteNamingInit", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(1), kGiB); }, false},
        LockCase{"Stale", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(kNeverAPid)); }, true},
        LockCase{"Ours", [](Dir lock, Dir) { WriteFile(lock, AsciiPid(getpid())); }, true},
        LockCase{"Fifo", [](Dir lock, Dir) { ASSERT_EQ(mkfifo(lock.c_str(), 0600), 0); }, true},
        LockCase{"Directory", [](Dir lock, Dir) { ASSERT_EQ(mkdir(lock.c_str(), 0700), 0); }, true},
        LockCase{"LinkToALiveLock",
                 [](Dir lock, Dir dir) {
                     WriteFile(dir + "/elsewhere", AsciiPid(1), kGiB);
                     ASSERT_EQ(symlink((dir + "/elsewhere").c_str(), lock.c_str()), 0);
                 },
                 true},
        // Reading a pty would take bytes meant for the program.
        LockCase{"LinkToADevice", [](Dir lock, Dir) { ASSERT_EQ(symlink("/dev/ptmx", lock.c_str()), 0); }, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
