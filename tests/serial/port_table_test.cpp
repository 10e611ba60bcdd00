#include "serial_fixture.h"

#include <optional>

namespace {

struct PathCase {
    const char* path;
    std::optional<int> port;
};

class PortFromPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PortFromPathTest, NamesExactlyTheGivenPort) {
    EXPECT_EQ(PortFromPath(GetParam().path), GetParam().port) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PortFromPathTest,
    ::testing::Values(PathCase{"\\\\.\\COM1", 1}, PathCase{"\\\\.\\COM9", 9}, PathCase{"\\\\.\\COM10", 10}, PathCase{"\\\\.\\COM01", 1},
                      PathCase{"\\\\.\\COM98", 98}, PathCase{"\\\\.\\COM0", 0}, PathCase{"\\\\.\\COM99", 99},
                      PathCase{"\\\\.\\COM123", std::nullopt}, PathCase{"\\\\.\\COMxx", std::nullopt},
                      PathCase{"\\\\.\\COM", std::nullopt}, PathCase{"\\\\.\\COM01x", std::nullopt},
                      PathCase{"\\\\.\\COM1x", std::nullopt}, PathCase{"\\\\.\\COM-1", std::nullopt},
                      PathCase{"\\\\.\\COM1/../../etc/passwd", std::nullopt},
                      PathCase{"\\\\.\\com1", std::nullopt}, PathCase{"\\\\.\\COM 1", std::nullopt},
                      PathCase{"COM1", std::nullopt}, PathCase{"../", std::nullopt},
                      PathCase{"/dev/ttyS0", std::nullopt}, PathCase{"", std::nullopt},
                      PathCase{nullptr, std::nullopt}));

struct DeviceCase {
    int port;
    std::optional<std::string> device;
};

class DeviceForPortTest : public ::testing::TestWithParam<DeviceCase> {};

TEST_P(DeviceForPortTest, FollowsTheFixedTable) {
    EXPECT_EQ(DeviceForPort(GetParam().port), GetParam().device) << "COM" << GetParam().port;
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, DeviceForPortTest,
    ::testing::Values(DeviceCase{0, std::nullopt}, DeviceCase{1, "/dev/ttyS0"}, DeviceCase{32, "/dev/ttyS31"},
                      DeviceCase{33, "/dev/ttyUSB0"}, DeviceCase{64, "/dev/ttyUSB31"},
                      DeviceCase{65, "/dev/ttyACM0"}, DeviceCase{80, "/dev/ttyACM15"},
                      DeviceCase{81, "/dev/ttyAMA0"}, DeviceCase{88, "/dev/ttyAMA7"},
                      DeviceCase{89, "/dev/rfcomm0"}, DeviceCase{98, "/dev/rfcomm9"},
                      DeviceCase{99, std::nullopt}, DeviceCase{-1, std::nullopt}));

TEST(PortOverrideTest, OverridesAndRestores) {
    OverridePortDevice(3, "/dev/pts/42");
    OverridePortDevice(99, "/dev/pts/43");  // outside the table: ignored
    EXPECT_EQ(DeviceForPort(3), "/dev/pts/42");
    EXPECT_EQ(DeviceForPort(4), "/dev/ttyS3");
    EXPECT_EQ(DeviceForPort(99), std::nullopt);
    UseOnlyOverriddenPorts(true);
    EXPECT_EQ(DeviceForPort(3), "/dev/pts/42");
    EXPECT_EQ(DeviceForPort(4), std::nullopt);
    OverridePortDevice(3, "");
    EXPECT_EQ(DeviceForPort(3), std::nullopt);
    OverridePortDevice(5, "/dev/pts/44");
    ClearPortOverrides();
    EXPECT_EQ(DeviceForPort(3), "/dev/ttyS2");
    EXPECT_EQ(DeviceForPort(5), "/dev/ttyS4");
}

using OpenPathTest = PtyPortTest;

// With COM7 mapped onto a live pty, only its exact path opens it.
TEST_F(OpenPathTest, OnlyTheExactPathOpens) {
    for (const char* path : {"\\\\.\\COM7/../../etc/passwd", "\\\\.\\COM07x", "\\\\.\\COM077", "COM7",
                             "\\\\.\\COM0", "\\\\.\\COM99", "", pty_.followerPath().c_str()}) {
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(h, INVALID_HANDLE_VALUE) << path;
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    EXPECT_EQ(CreateFileA(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

}  // namespace
