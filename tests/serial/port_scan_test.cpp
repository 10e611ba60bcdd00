// Which ports the scan lists, and which path a selector text opens.
#include "ports.h"
#include "ports.h"
#include "test_seam.h"
#include "pty_pair.h"
#include "win32.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.') ++count;
    closedir(dir);
    return count;
}

class PortScan : public ::testing::Test {
protected:
    void SetUp() override { UseOnlyOverriddenPorts(true); }
    void TearDown() override { ClearPortOverrides(); }
};

TEST_F(PortScan, ListsExactlyThePortsThatOpenInOrder) {
    PtyPair a, b, c;
    MappedPort p98(98, a), p3(3, b), p12(12, c);
    OverridePortDevice(20, "/dev/null");            // not a terminal
    OverridePortDevice(21, "/nonexistent/ttyS99");  // absent
    const int before = OpenDescriptors();
    EXPECT_EQ(ScanPorts(), (std::vector<std::string>{"COM3", "COM12", "COM98"}));
    EXPECT_EQ(OpenDescriptors(), before) << "the scan leaves a descriptor open";
}

TEST_F(PortScan, SkipsAPortHeldByAnotherProgram) {
    PtyPair free, held;
    MappedPort p3(3, free), p4(4, held);
    const int holder = open(held.followerPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ScanPorts(), std::vector<std::string>{"COM3"});
    close(holder);
    EXPECT_EQ(ScanPorts(), (std::vector<std::string>{"COM3", "COM4"}));
}

TEST_F(PortScan, NoPortsGiveAnEmptyList) {
    EXPECT_TRUE(ScanPorts().empty());
}

struct PathCase {
    const char* text;
    const char* path;
};

class ConnectPaths : public ::testing::TestWithParam<PathCase> {};

// Each case starts after a connect to COM12 rebuilt the path, so a text that is
// not a port name shows whether the old path would leak through.
TEST_P(ConnectPaths, OnlyAPortNameBuildsAPortPath) {
    BuildConnectPath("COM12");
    ASSERT_STREQ(ConnectPath, "\\\\.\\COM12");
    BuildConnectPath(GetParam().text);
    EXPECT_STREQ(ConnectPath, GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Serial, ConnectPaths,
    ::testing::Values(PathCase{"COM3", "\\\\.\\COM3"}, PathCase{"COM12", "\\\\.\\COM12"},
                      PathCase{"com7", "\\\\.\\COM7"}, PathCase{"CoM98", "\\\\.\\COM98"},
                      PathCase{"XYZ5", "\\\\.\\COMxx"}, PathCase{"COM1234", "\\\\.\\COMxx"},
                      PathCase{"COM123", "\\\\.\\COMxx"}, PathCase{"COM", "\\\\.\\COMxx"},
                      PathCase{"", "\\\\.\\COMxx"}, PathCase{"COM 3", "\\\\.\\COMxx"},
                      PathCase{"COM3 ", "\\\\.\\COMxx"}, PathCase{"COMx3", "\\\\.\\COMxx"},
                      PathCase{"../3", "\\\\.\\COMxx"}));

}  // namespace
