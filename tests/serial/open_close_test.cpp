#include "serial_fixture.h"

#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace {

using OpenCloseTest = PtyPortTest;

int OpenFollower(const std::string& path) { return open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

TEST_F(OpenCloseTest, APortHeldElsewhereDoesNotOpenUntilReleased) {
    // flock belongs to the open file description, so a second open in this process
    // holds the port just as another program would.
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    close(other);
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(OpenCloseTest, OurHandleHoldsThePortUntilClosed) {
    HANDLE first = Open();
    EXPECT_EQ(CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);

    ASSERT_TRUE(CloseHandle(first));
    handle_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

bool SameTermios(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

// Opening only looks; the first read, write or SetCommState makes the line raw,
// keeping its framing; the close puts back exactly what was found.
TEST_F(OpenCloseTest, LineIsRawOnlyWhileUsedAndFoundAgainAfterTheClose) {
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

    for (const char* use : {"read", "write", "SetCommState"}) {
        SCOPED_TRACE(use);
        HANDLE h = Open();
        EXPECT_TRUE(SameTermios(now(), cooked)) << "opening changed the line";
        char byte = 'x';
        DWORD n = 0;
        DCB dcb;
        const COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
        if (use[0] == 'r') ReadFile(h, &byte, 1, &n, nullptr);
        if (use[0] == 'w') EXPECT_TRUE(WriteFile(h, &byte, 1, &n, nullptr));
        if (use[0] == 'S') EXPECT_TRUE(GetCommState(h, &dcb) && SetCommState(h, &dcb));
        const termios raw = now();
        EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(raw.c_iflag & (ICRNL | PARMRK), 0u);
        EXPECT_EQ(raw.c_oflag & OPOST, 0u);
        EXPECT_EQ(raw.c_cc[VMIN], 0);
        EXPECT_EQ(raw.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&raw), B4800);
        // SetCommState applies the DCB it was given, which speaks of these itself.
        if (use[0] != 'S') {
            EXPECT_EQ(raw.c_iflag & IXON, 0u);
            EXPECT_EQ(raw.c_cflag & (CSTOPB | PARODD | CLOCAL | CREAD), CSTOPB | PARODD | CLOCAL | CREAD);
        }
        ASSERT_TRUE(CloseHandle(h));
        handle_ = INVALID_HANDLE_VALUE;
        EXPECT_TRUE(SameTermios(now(), cooked)) << "the close did not put the line back";
        pty_.read(16, 50);  // what the write sent
    }
    close(other);
}

TEST_F(OpenCloseTest, ClosedAndInvalidHandlesFailCleanly) {
    HANDLE h = Open();
    ASSERT_TRUE(CloseHandle(h));
    handle_ = INVALID_HANDLE_VALUE;
    char buffer[4];
    DWORD n = 99;
    DCB dcb;
    COMMTIMEOUTS t;
    for (HANDLE bad : {h, INVALID_HANDLE_VALUE, static_cast<HANDLE>(nullptr)}) {
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_FALSE(ReadFile(bad, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(n, 0u);
        EXPECT_FALSE(WriteFile(bad, buffer, sizeof buffer, &n, nullptr));
        EXPECT_FALSE(GetCommState(bad, &dcb));
        EXPECT_FALSE(SetCommState(bad, &dcb));
        EXPECT_FALSE(GetCommTimeouts(bad, &t));
        EXPECT_FALSE(PurgeComm(bad, PURGE_RXABORT));
        EXPECT_FALSE(TransmitCommChar(bad, 'x'));
    }
}

TEST_F(OpenCloseTest, ANonTerminalDoesNotOpen) {
    OverridePortDevice(kTestPort, "/dev/null");
    EXPECT_EQ(CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

}  // namespace
