// Opening and closing a port, which ports the scan lists, and which device a port
// number opens. Which path a selector text builds, and which port a path names,
// are checked against a reference of their own by the port_path fuzz target, over
// its seeds in every run.
#include "serial_fixture.h"

#include <cstring>

#include <dirent.h>
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

TEST_F(OpenCloseTest, APortHeldElsewhereDoesNotOpenUntilReleased) {
    // flock belongs to the open file description, so a second open in this process
    // holds the port just as another program would.
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    close(other);
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(OpenCloseTest, OurHandleHoldsThePortUntilClosed) {
    HANDLE first = Open();
    EXPECT_EQ(OpenAgain(), INVALID_HANDLE_VALUE);
    const int other = OpenFollower(pty_.followerPath());
    ASSERT_GE(other, 0);
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

    for (const char use : {'r', 'w', 'S'}) {
        SCOPED_TRACE(use);
        HANDLE h = Open();
        EXPECT_TRUE(SameTermios(now(), cooked)) << "opening changed the line";
        char byte = 'x';
        DWORD n = 0;
        DCB dcb;
        const COMMTIMEOUTS atOnce{MAXDWORD, 0, 0, 0, 0};
        ASSERT_TRUE(SetCommTimeouts(h, &atOnce));
        BOOL ok = TRUE;
        if (use == 'r') ReadFile(h, &byte, 1, &n, nullptr);
        else if (use == 'w') ok = WriteFile(h, &byte, 1, &n, nullptr);
        else ok = GetCommState(h, &dcb) && SetCommState(h, &dcb);
        EXPECT_TRUE(ok);
        const termios raw = now();
        EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(raw.c_iflag & (ICRNL | PARMRK), 0u);
        EXPECT_EQ(raw.c_oflag & OPOST, 0u);
        EXPECT_EQ(raw.c_cc[VMIN], 0);
        EXPECT_EQ(raw.c_cc[VTIME], 0);
        EXPECT_EQ(cfgetospeed(&raw), B4800);
        // SetCommState applies the DCB it was given, which speaks of these itself.
        if (use != 'S') {
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

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

// The fixture maps COM7.
TEST_F(OpenCloseTest, TheScanListsExactlyThePortsThatOpenInOrder) {
    PtyPair a, b, c;
    MappedPort p98(98, a), p3(3, b), p12(12, c);
    OverridePortDevice(20, "/dev/null");            // not a terminal
    OverridePortDevice(21, "/nonexistent/ttyS99");  // absent
    const int before = OpenDescriptors();
    EXPECT_EQ(ScanPorts(), (std::vector<std::string>{"COM3", "COM7", "COM12", "COM98"}));
    EXPECT_EQ(OpenDescriptors(), before) << "the scan leaves a descriptor open";
}

// The fixed table, at the first and last port of each range and just outside.
TEST(DeviceForPortTest, FollowsTheFixedTable) {
    const std::pair<int, const char*> table[] = {
        {1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},  {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"}, {80, "/dev/ttyACM15"}, {81, "/dev/ttyAMA0"}, {88, "/dev/ttyAMA7"},
        {89, "/dev/rfcomm0"}, {98, "/dev/rfcomm9"},  {0, nullptr},         {99, nullptr}};
    for (const auto& [port, device] : table)
        EXPECT_EQ(DeviceForPort(port), device ? std::optional<std::string>(device) : std::nullopt) << "COM" << port;
}

}  // namespace
