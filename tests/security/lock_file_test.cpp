// UUCP lock files are written by whoever may write /var/lock, so they are hostile
// input too: huge, binary, links to devices. Connect reads a bounded prefix of a
// regular file only (never through a link), and only a live process other than
// ours holds the port.
#include "../app/window_fixture.h"

#include "uucp_lock.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <unistd.h>

namespace {

long PeakResidentKiB() {
    long kib = -1;
    if (FILE* status = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
        std::fclose(status);
    }
    return kib;
}

constexpr off_t kGiB = off_t{1} << 30;

// Writes `head` and makes the file `size` bytes long (the rest a hole).
void WriteFile(const std::string& path, const std::string& head, off_t size) {
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(ftruncate(fd, std::max<off_t>(size, static_cast<off_t>(head.size()))), 0);
    close(fd);
}

std::string AsciiPid(int pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

struct LockCase {
    const char* name;
    // Makes the lock file at the path given; the directory is a scratch one.
    std::function<void(const std::string& lock, const std::string& directory)> make;
    bool opens;
};

class HostileLockFiles : public WindowTest, public ::testing::WithParamInterface<LockCase> {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        char directory[] = "/tmp/morrel-lock-XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        directory_ = directory;
        OverrideUucpLockDirectories({directory_});
    }
    void TearDown() override {
        WindowTest::TearDown();
        RestoreUucpLockDirectories();
        std::filesystem::remove_all(directory_);
    }
    std::string directory_;
};

TEST_P(HostileLockFiles, AreReadBoundedAndHoldThePortOnlyForALiveProcess) {
    const LockCase& c = GetParam();
    PtyPair pty;
    MappedPort port(3, pty);
    const std::string& follower = pty.followerPath();
    c.make(directory_ + "/LCK.." + follower.substr(follower.rfind('/') + 1), directory_);
    if (HasFatalFailure()) return;

    TForm1& w = Open();
    w.ComboBox1->setEditText("COM3");  // a held port is not in the list
    const long peakBefore = PeakResidentKiB();
    EXPECT_EQ(Connect(), c.opens);
    EXPECT_EQ(History(), QString(c.opens ? "COM3 Opened\n" : "COM3 Not Opened\n"));
    EXPECT_LT(PeakResidentKiB() - peakBefore, 16 * 1024) << "the lock file was read whole";
    if (c.opens) QTest::mouseClick(w.Button4, Qt::LeftButton);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) left.push_back(entry.path());
    EXPECT_GE(left.size(), 1u) << "the program removed a lock file";
}

INSTANTIATE_TEST_SUITE_P(
    Window, HostileLockFiles,
    ::testing::Values(
        LockCase{"GigabyteNamingInit",
                 [](const std::string& lock, const std::string&) { WriteFile(lock, AsciiPid(1), kGiB); },
                 false},
        LockCase{"GigabyteOfZeros",
                 [](const std::string& lock, const std::string&) { WriteFile(lock, "", kGiB); }, true},
        LockCase{"MegabyteOfDigits",
                 [](const std::string& lock, const std::string&) {
                     WriteFile(lock, std::string(1 << 20, '1'), 1 << 20);
                 },
                 true},
        LockCase{"BinaryNoise",
                 [](const std::string& lock, const std::string&) {
                     std::string noise;
                     for (int i = 0; i < 65536; ++i) noise += static_cast<char>(i * 131 % 256);
                     WriteFile(lock, noise, 0);
                 },
                 true},
        LockCase{"LinkToDevZero",
                 [](const std::string& lock, const std::string&) {
                     ASSERT_EQ(symlink("/dev/zero", lock.c_str()), 0);
                 },
                 true},
        // Links are not followed: one could lead to a device, and opening a port raises its DTR.
        LockCase{"LinkToAGigabyteNamingInit",
                 [](const std::string& lock, const std::string& directory) {
                     WriteFile(directory + "/elsewhere", AsciiPid(1), kGiB);
                     ASSERT_EQ(symlink((directory + "/elsewhere").c_str(), lock.c_str()), 0);
                 },
                 true},
        LockCase{"LinkToTheDeviceItself",
                 [](const std::string& lock, const std::string&) {
                     // Reading the pty would take bytes meant for the program.
                     ASSERT_EQ(symlink("/dev/ptmx", lock.c_str()), 0);
                 },
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
