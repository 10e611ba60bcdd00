// Opening and closing a port, and which ports the scan lists. Which path a
// selector text builds, and which port a path names, are checked against a
// reference of their own by the port_path fuzz target, over its seeds in every run.
#include "serial_fixture.h"

#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

using OpenCloseTest = PtyPortTest;

int OpenFollower(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

HANDLE OpenAgain() {
    return CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// flock belongs to the open file description, so a second open in this process
// holds the port just as another program would.
TEST_F(OpenCloseTest, APortIsHeldByOneOpenerUntilReleased) {
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    ASSERT_EQ(flock(other, LOCK_UN), 0);
    HANDLE first = Open();
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(CloseHandle(first));
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// Zero-initialized first, so that their padding compares too.
bool SameTermios(const termios& a, const termios& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Opening only looks; the first read, write or SetCommState makes the line raw,
// keeping its framing; the close puts back exactly what was found.
// A port with the kernel's cooked defaults and its own framing, and a device that
// is already talking: the scan leaves it alone; an open for use makes it raw at
// once, drops what came in cooked, then passes every byte value unchanged with no
// echo and no XON/XOFF taken out; the close puts the line back.
TEST_F(OpenCloseTest, ScanLeavesTheLineOpenMakesItRawAtOnceCloseFindsItAgain) {
    const int other = OpenFollower(pty_.followerPath());
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
    for (int i = 0; i < 5000 && pty_.pending() < 6; ++i) usleep(1000);
    const int waiting = pty_.pending();
    ASSERT_EQ(waiting, 6) << "a cooked line holds the CR as a line end";
    EXPECT_EQ(ScanPorts(), std::vector<std::string>{"COM7"});
    EXPECT_TRUE(SameTermios(now(), cooked)) << "the scan changed the line";
    EXPECT_EQ(pty_.pending(), waiting) << "the scan took what was waiting";

    HANDLE h = Open();
    const termios raw = now();
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | PARMRK | IXON), 0u);
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
    const COMMTIMEOUTS bounded{0, 0, 2000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &bounded));
    std::string got(300, '\0');
    DWORD n = 0;
    ReadFile(h, got.data(), 256, &n, nullptr);
    got.resize(n);
    EXPECT_EQ(got, all);
    // Echo is written while the input is taken in, so by now it would be there.
    EXPECT_EQ(pty_.read(1, 0), "") << "the port echoed what it received";

    ASSERT_TRUE(CloseHandle(h));
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(SameTermios(now(), cooked)) << "the close did not put the line back";
    close(other);
}

// The fixture maps COM7.
TEST_F(OpenCloseTest, TheScanListsExactlyThePortsThatOpenInOrder) {
    PtyPair a, b, c;
    MappedPort p98(98, a), p3(3, b), p12(12, c);
    OverridePortDevice(20, "/dev/null");            // not a terminal
    OverridePortDevice(21, "/nonexistent/ttyS99");  // absent
    const int before = CountEntries("/proc/self/fd");
    EXPECT_EQ(ScanPorts(), (std::vector<std::string>{"COM3", "COM7", "COM12", "COM98"}));
    EXPECT_EQ(CountEntries("/proc/self/fd"), before) << "the scan leaves a descriptor open";
}

}  // namespace
