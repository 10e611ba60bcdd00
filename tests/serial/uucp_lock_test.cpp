#include "serial_fixture.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <signal.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<unsigned char> BinaryPid(std::int32_t pid) {
    std::vector<unsigned char> b(sizeof pid);
    std::memcpy(b.data(), &pid, sizeof pid);
    return b;
}

struct ParseCase {
    const char* name;
    std::vector<unsigned char> contents;
    std::optional<int> pid;
};

class ParseUucpLockTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseUucpLockTest, ReadsOnlyWellFormedPids) {
    EXPECT_EQ(ParseUucpLockPid(GetParam().contents), GetParam().pid);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, ParseUucpLockTest,
    ::testing::Values(
        ParseCase{"HdbAscii", Bytes("      1234\n"), 1234},
        ParseCase{"NoPadding", Bytes("1234"), 1234},
        ParseCase{"WithProgramAndUser", Bytes("      4321 minicom root\n"), 4321},
        ParseCase{"LargestPid", Bytes("4194304\n"), 4194304},
        ParseCase{"PastLargestPid", Bytes("4194305\n"), std::nullopt},
        ParseCase{"Huge", Bytes("99999999999999999999999999999999\n"), std::nullopt},
        ParseCase{"Zero", Bytes("         0\n"), std::nullopt},
        ParseCase{"Negative", Bytes("        -1\n"), std::nullopt},
        ParseCase{"Garbage", Bytes("hello\n"), std::nullopt},
        ParseCase{"DigitsThenGarbage", Bytes("123abc\n"), std::nullopt},
        ParseCase{"Empty", Bytes(""), std::nullopt},
        ParseCase{"OnlyBlanks", Bytes("      \n"), std::nullopt},
        ParseCase{"Binary", BinaryPid(4321), 4321},
        ParseCase{"BinaryZero", BinaryPid(0), std::nullopt},
        ParseCase{"BinaryNegative", BinaryPid(-1), std::nullopt},
        ParseCase{"BinaryTooLarge", BinaryPid(0x7fffffff), std::nullopt},
        ParseCase{"BinaryWrongSize", std::vector<unsigned char>{0x39, 0x30, 0, 0, 0}, std::nullopt},
        ParseCase{"NulInsideDigits", std::vector<unsigned char>{'1', '2', 0, '3', '\n'}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// Lock files in a private directory for the port's pty.
class UucpLockOpenTest : public PtyPortTest {
protected:
    void SetUp() override {
        PtyPortTest::SetUp();
        char dir[] = "/tmp/serial-lock-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        OverrideUucpLockDirectories({dir_});
        const std::string& follower = pty_.followerPath();
        lockPath_ = dir_ + "/LCK.." + follower.substr(follower.rfind('/') + 1);
    }
    void TearDown() override {
        PtyPortTest::TearDown();
        std::filesystem::remove_all(dir_);
    }
    void WriteLock(const std::vector<unsigned char>& contents) {
        std::ofstream(lockPath_, std::ios::binary)
            .write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
    }
    bool Opens() {
        HANDLE h = CreateFileA(kTestPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    }

    std::string dir_;
    std::string lockPath_;
};

std::vector<unsigned char> AsciiPid(int pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return Bytes(text);
}

// A pid that was a process a moment ago and is none now.
int DeadPid() {
    const pid_t child = fork();
    if (child == 0) _exit(0);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(child, nullptr, WNOHANG) == child) return child;
        usleep(10000);
    }
    ADD_FAILURE() << "the child " << child << " did not end within 5 s";
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);  // a killed child ends at once
    return child;
}

TEST_F(UucpLockOpenTest, LiveOwnerHoldsThePort) {
    WriteLock(AsciiPid(getppid()));
    EXPECT_FALSE(Opens());
    WriteLock(BinaryPid(getppid()));
    EXPECT_FALSE(Opens());
}

TEST_F(UucpLockOpenTest, StaleOrOwnOrHostileFilesDoNotHoldIt) {
    const std::vector<std::vector<unsigned char>> contents = {
        AsciiPid(DeadPid()), AsciiPid(getpid()), Bytes("        -1\n"), Bytes("         0\n"),
        Bytes(std::string(1 << 20, '7')), Bytes("\x89PNG\r\n\x1a\n garbage"), {}};
    for (const auto& c : contents) {
        WriteLock(c);
        EXPECT_TRUE(Opens()) << "lock file of " << c.size() << " bytes";
    }
}

TEST_F(UucpLockOpenTest, OnlyRegularFilesAreRead) {
    ASSERT_EQ(mkfifo(lockPath_.c_str(), 0600), 0);  // would block a plain open()
    EXPECT_TRUE(Opens());
    std::filesystem::remove(lockPath_);
    ASSERT_EQ(mkdir(lockPath_.c_str(), 0700), 0);
    EXPECT_TRUE(Opens());
    std::filesystem::remove(lockPath_);
    const std::string target = dir_ + "/elsewhere";
    const std::vector<unsigned char> live = AsciiPid(getppid());
    std::ofstream(target) << std::string(live.begin(), live.end());
    std::filesystem::create_symlink(target, lockPath_);
    EXPECT_TRUE(Opens());
}

}  // namespace
