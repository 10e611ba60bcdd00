// Opening and closing a port, and which ports the scan lists. Which path a
// selector text builds, and which port a path names, are checked against a
// reference of their own by the port_path fuzz target, over its seeds in every run.
#include "emergency_restore.h"
#include "serial_fixture.h"
#include "test_thread.h"

#include <cstdio>
#include <cstring>

#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>

namespace {

using OpenCloseTest = PtyPortTest;

int OpenFollower(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

// Another program, whoever runs it, is kept out: our flock keeps it out (its flock
// keeping us out is the probe test's); for another user TIOCEXCL refuses even a plain
// open, and a lock file naming a live process of someone else's holds the port. The
// close releases it all.
TEST_F(OpenCloseTest, APortIsHeldByOneOpenerUntilReleased) {
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
    HANDLE first = Open();
    EXPECT_EQ(OpenTestPort(), INVALID_HANDLE_VALUE);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(chmod(pty_.followerPath().c_str(), 0666), 0);
    const auto plainOpen = [&]() -> std::string {
        const int fd = OpenFollower(pty_.followerPath());
        const int error = errno;
        if (fd >= 0) close(fd);
        return fd >= 0 ? "opened" : error == EBUSY ? "busy" : std::strerror(error);
    };
    EXPECT_EQ(AsAnotherUser(plainOpen), "busy");
    ASSERT_TRUE(CloseHandle(first));
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    EXPECT_EQ(AsAnotherUser(plainOpen), "opened");

    const TempDir dir;
    const std::string follower = pty_.followerPath();
    std::FILE* file = std::fopen((dir.path / ("LCK.." + follower.substr(follower.rfind('/') + 1))).c_str(), "w");
    std::fputs("         1\n", file);  // init, which only root may signal
    std::fclose(file);
    chmod(dir.path.c_str(), 0755);
    OverrideUucpLockDirectories({dir.path});
    EXPECT_EQ(AsAnotherUser([] { return OpenTestPort() == INVALID_HANDLE_VALUE ? "" : "opened"; }), "");
}

// Zero-initialized first, so that their padding compares too.
bool SameTermios(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Reads the leader until `tail` came last or 5 s passed: all the port sent before it.
std::string ReadUntil(PtyPair& pty, const std::string& tail) {
    std::string got;
    for (std::string more = "-"; !got.ends_with(tail) && !more.empty(); got += more) more = pty.read(1, 5000);
    return got;
}

// A port with the kernel's cooked defaults and its own framing, a device already
// talking, and output nobody takes (the leader holds 4095 bytes, the kernel's
// buffers behind it are full). An open for use makes the line raw at once and
// drops what came in cooked and what waited to go out; then every byte value
// passes unchanged, with no echo and no XON/XOFF taken out. The close drops what
// waits to go out and puts the line back. (The scan cannot touch the line: it
// opens no port, as the scan test below sees. That output is held meanwhile is
// the lab's: a pty keeps the echo made while output is held in its line
// discipline, where no flush reaches, and sends it with the next write.)
TEST_F(OpenCloseTest, OpenMakesTheLineRawAtOnceCloseFindsItAgain) {
    const int other = open(pty_.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(other, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_iflag |= ICRNL | IXON | PARMRK;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_cflag |= CSTOPB | PARODD;
    cfsetspeed(&cooked, B4800);
    tcsetattr(other, TCSANOW, &cooked);
    ASSERT_EQ(tcgetattr(other, &cooked), 0);
    const auto now = [&] {
        termios t{};
        EXPECT_EQ(tcgetattr(other, &t), 0);
        return t;
    };

    ASSERT_TRUE(pty_.write("stale\r"));
    WaitUntil([&] { return pty_.pending() >= 6; });
    ASSERT_EQ(pty_.pending(), 6) << "a cooked line holds the CR as a line end";
    // The stall's own bytes pass untranslated; the echo of "stale\r" is at the leader.
    termios plainOut = cooked;
    plainOut.c_oflag &= ~OPOST;
    tcsetattr(other, TCSANOW, &plainOut);
    ASSERT_NE(LeaveOutputRoom(pty_, 0, other), 0u) << "this kernel does not fill a pseudo-terminal as measured";
    tcsetattr(other, TCSANOW, &cooked);

    HANDLE h = Open();
    // That echo, line editing, signals, CR, 0xFF and XON/XOFF are off, the 256 bytes below show.
    const termios raw = now();
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&raw), B4800);
    EXPECT_EQ(raw.c_cflag & (CSTOPB | PARODD | CLOCAL | CREAD), CSTOPB | PARODD | CLOCAL | CREAD);
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.fOutX, 0u) << "the kernel's IXON is no choice to carry over";
    EXPECT_EQ(dcb.fInX, 0u);

    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    ASSERT_TRUE(pty_.write(all));
    SetReadTimeouts(0, 0, 2000);
    EXPECT_EQ(Read(256), all);
    DWORD n = 0;
    // An echo is queued as the input is taken in, so before this marker.
    ASSERT_TRUE(WriteFile(h, "end", 3, &n, nullptr)) << "output waiting at the open still waits to go";
    EXPECT_EQ(ReadUntil(pty_, "end").size(), 4095u + 3) << "output waiting at the open, or an echo, went out";

    ASSERT_NE(LeaveOutputRoom(pty_, 0, other), 0u);
    ASSERT_TRUE(CloseHandle(h));
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(SameTermios(now(), cooked)) << "the close did not put the line back";
    EXPECT_EQ(write(other, "end", 3), 3) << "output waiting at the close still waits to go";
    EXPECT_EQ(ReadUntil(pty_, "end").size(), 4095u + 3);
    close(other);
}

// The fixture maps COM7. The scan opens none of them: the kernel tells inotify of
// every open of a node.
TEST_F(OpenCloseTest, TheScanListsExactlyThePortsThatOpenInOrderWithoutOpeningThem) {
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, pty_.followerPath().c_str(), IN_OPEN), 0);
    PtyPair a, b, c;
    MappedPort p98(98, a), p3(3, b), p12(12, c);
    OverridePortDevice(20, "/dev/null");            // not a terminal
    OverridePortDevice(21, "/nonexistent/ttyS99");  // absent
    const int before = CountEntries("/proc/self/fd");
    EXPECT_EQ(ScanPorts(), (std::vector<std::string>{"COM3", "COM7", "COM12", "COM98"}));
    EXPECT_EQ(CountEntries("/proc/self/fd"), before) << "the scan leaves a descriptor open";
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "the scan opened the port";
    close(watch);
}

// An abrupt end puts back the ports still remembered, and leaves alone one that
// was forgotten (closed: its number may be someone else's file by then).
TEST(EmergencyRestore, PutsBackOnlyThePortsStillRemembered) {
    Pty a, b;
    ASSERT_TRUE(a.ok() && b.ok());
    const int fds[] = {OpenFollower(a.followerPath()), OpenFollower(b.followerPath())};
    termios found[2]{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_GE(fds[i], 0);
        LineTermios line;
        SavedTermios saved;
        ASSERT_TRUE(ReadLineTermios(fds[i], &line, &saved));
        ASSERT_EQ(tcgetattr(fds[i], &found[i]), 0);
        ASSERT_TRUE(RememberPortForEmergency(fds[i], saved, false));
        termios changed = found[i];
        changed.c_lflag ^= ICANON | ECHO;
        ASSERT_EQ(tcsetattr(fds[i], TCSANOW, &changed), 0);
    }
    ForgetPortForEmergency(fds[0]);
    RestoreAllPortsNow();
    termios now[2]{};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(tcgetattr(fds[i], &now[i]), 0);
    EXPECT_NE(now[0].c_lflag, found[0].c_lflag) << "a forgotten port was touched";
    EXPECT_EQ(now[1].c_lflag, found[1].c_lflag) << "a remembered port was not put back";
    ForgetPortForEmergency(fds[1]);
    for (const int fd : fds) close(fd);
}

}  // namespace
