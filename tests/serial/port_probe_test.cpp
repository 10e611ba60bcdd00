// Which ports would open, found without opening them; and a port someone else
// holds is left exactly as it was by a connect that fails.
#include "port_probe.h"
#include "serial_fixture.h"

#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>

namespace {

namespace fs = std::filesystem;

// A fake /sys, /proc and lock directory around the fixture's pty.
class ProbeTree : public PtyPortTest {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        ASSERT_FALSE(root_.empty());
        for (const char* sub : {"sys", "proc", "lock"}) fs::create_directory(root_ / sub);
        OverrideSystemRoots(root_ / "sys", root_ / "proc");
        OverrideUucpLockDirectories({root_ / "lock"});
        ASSERT_EQ(stat(pty_.followerPath().c_str(), &node_), 0);
    }
    void TearDown() override {
        RestoreSystemRoots();
        PtyPortTest::TearDown();
    }

    TempDir dir_;
    const fs::path& root_ = dir_.path;
    struct stat node_ {};
};

// A /proc/locks line as the kernel writes it, file system major:minor in hex.
std::string LockLine(dev_t fs, ino_t inode) {
    char line[128];
    std::snprintf(line, sizeof line, "1: FLOCK  ADVISORY  WRITE 99 %02x:%02x:%llu 0 EOF\n", major(fs), minor(fs),
                  static_cast<unsigned long long>(inode));
    return line;
}

// Each case writes files ("path", text) or links ("path", "->target") into an
// empty tree, and empties it again; open files are compared by device number, so
// any name of the device counts. Last, a port we may not both read and write.
TEST_F(ProbeTree, TellsWhatWouldKeepThePortFromOpening) {
    const std::string device = pty_.followerPath(), root = root_.string(), me = std::to_string(getpid());
    const std::string other = std::to_string(getpid() + 1);  // the tree is fake, so any number does
    const std::string number = std::to_string(major(node_.st_rdev)) + ":" + std::to_string(minor(node_.st_rdev));
    const std::string ptyDriver =
        "pty_slave            /dev/pts      " + std::to_string(major(node_.st_rdev)) + " " +
        std::to_string(minor(node_.st_rdev)) + "-" + std::to_string(minor(node_.st_rdev)) +  // both ends count
        " pty:slave\n";
    const std::string pts = device.substr(device.rfind('/') + 1);
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct Case { const char* name; Files files; std::string device; DWORD verdict; };
    const Case cases[] = {
        {"NoNode", {}, root + "/ttyS9", ERROR_FILE_NOT_FOUND},
        {"NotACharacterDevice", {{"sys/file", ""}}, root + "/sys/file", ERROR_FILE_NOT_FOUND},
        {"NoTerminalDriver", {{"proc/tty/drivers", "serial               /dev/ttyS       4 64-111 serial\n"}}, device,
         ERROR_FILE_NOT_FOUND},
        {"TerminalDriver",
         {{"proc/tty/drivers", "/dev/tty             /dev/tty        5       0 system:/dev/tty\n" + ptyDriver}},
         device, ERROR_SUCCESS},
        {"UartAbsent", {{"sys/dev/char/" + number + "/type", "0\n"}}, device, ERROR_FILE_NOT_FOUND},
        {"UartPresent", {{"sys/dev/char/" + number + "/type", "4\n"}}, device, ERROR_SUCCESS},
        {"LockedInProcLocks",
         {{"proc/locks", LockLine(node_.st_dev, node_.st_ino + 1) + LockLine(node_.st_dev, node_.st_ino)}}, device,
         ERROR_SHARING_VIOLATION},
        {"LockOnAnotherFile", {{"proc/locks", LockLine(node_.st_dev, node_.st_ino + 1)}}, device, ERROR_SUCCESS},
        {"OpenInAnotherProcess",
         {{"proc/" + other + "/fd/0", "->/dev/null"},
          {"sys/alias", "->" + device},
          {"proc/" + other + "/fd/3", "->" + root + "/sys/alias"}},
         device, ERROR_SHARING_VIOLATION},
        // The pair's maker holds the follower and its leader: the far end, not a user.
        {"HeldByThePairsMaker",
         {{"proc/" + other + "/fd/3", "->" + device}, {"proc/" + other + "/fd/4", "->/dev/ptmx"},
          {"proc/" + other + "/fdinfo/4", "pos:\t0\nflags:\t02\ntty-index:\t" + pts + "\n"}},
         device, ERROR_SUCCESS},
        {"HeldWithTheLeaderOfAnotherPair",
         {{"proc/" + other + "/fd/3", "->" + device}, {"proc/" + other + "/fd/4", "->/dev/ptmx"},
          {"proc/" + other + "/fdinfo/4", "tty-index:\t" + std::to_string(std::stoul(pts) + 1) + "\n"}},
         device, ERROR_SHARING_VIOLATION},
        {"OpenOnlyInThisProcess",
         {{"proc/" + me + "/fd/7", "->" + device}, {"proc/" + other + "/fd/7", "->/dev/null"}}, device,
         ERROR_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& [relative, text] : c.files) {
            fs::create_directories((root_ / relative).parent_path());
            if (text.starts_with("->")) fs::create_symlink(text.substr(2), root_ / relative);
            else std::ofstream(root_ / relative) << text;
        }
        EXPECT_EQ(ProbePort(c.device), c.verdict);
        for (const char* sub : {"sys", "proc"}) fs::remove_all(root_ / sub), fs::create_directory(root_ / sub);
    }
    // Read and write permission as open() would judge them, for whoever runs us.
    fs::permissions(root_, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    for (const mode_t mode : {0666, 0604, 0602}) {
        ASSERT_EQ(chmod(device.c_str(), mode), 0);
        const DWORD verdict = mode == 0666 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
        EXPECT_EQ(AsAnotherUser([&] { return std::to_string(ProbePort(device)); }), std::to_string(verdict))
            << std::oct << mode;
    }
}

// Another program holds the port (a flock /proc does not show: the fake tree is
// empty) and has stopped its output: a connect that fails leaves the output
// stopped, and says why.
TEST_F(ProbeTree, AFailedOpenLeavesAHeldPortAsItWas) {
    const int holder = open(pty_.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(tcflow(holder, TCOOFF), 0);
    EXPECT_EQ(OpenTestPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(write(holder, "held", 4), -1) << "the holder's output goes again";
    EXPECT_EQ(pty_.read(4, 300), "");
    ASSERT_EQ(tcflow(holder, TCOON), 0);
    EXPECT_EQ(write(holder, "held", 4), 4);
    EXPECT_EQ(pty_.read(4, 1000), "held");
    // Its TIOCEXCL instead of a flock holds the port too, even for root.
    ASSERT_EQ(flock(holder, LOCK_UN), 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(OpenTestPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    ioctl(holder, TIOCNXCL);
    close(holder);
}

}  // namespace
