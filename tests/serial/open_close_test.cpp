#include "serial_fixture.h"

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

TEST_F(OpenCloseTest, OpeningMakesTheLineRawButKeepsItsFraming) {
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
    close(other);

    Open();
    termios now{};
    const int probe = OpenFollower(pty_.followerPath());
    ASSERT_GE(probe, 0);
    ASSERT_EQ(tcgetattr(probe, &now), 0);
    close(probe);
    EXPECT_EQ(now.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(now.c_iflag & (ICRNL | IXON | PARMRK), 0u);
    EXPECT_EQ(now.c_oflag & OPOST, 0u);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 0);
    EXPECT_EQ(now.c_cflag & (CSTOPB | PARODD | CLOCAL | CREAD), CSTOPB | PARODD | CLOCAL | CREAD);
    EXPECT_EQ(cfgetospeed(&now), B4800);
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
