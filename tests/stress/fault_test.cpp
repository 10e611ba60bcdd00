// The port going away while connected: the other end hanging up, the kernel
// hanging the line up (as it does when a USB adapter is pulled), and the device's
// name vanishing from the file system. In every case the reader idles, the window
// keeps answering, Disconnect works and releases everything, and another port
// connects.
#include "../app/window_fixture.h"
#include "reliability_support.h"

#include <QElapsedTimer>
#include <QTimer>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

enum class Fault { OtherEndHangsUp, KernelHangsUpTheLine, SymlinkRemoved, BoundNodeRemoved };

struct FaultCase {
    const char* name;
    Fault fault;
    bool nameGone;  // the port no longer opens afterwards
};

class DeviceFaults : public WindowTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void TearDown() override {
        WindowTest::TearDown();
        if (!mountPoint_.empty()) umount2(mountPoint_.c_str(), MNT_DETACH);
        if (!directory_.empty()) std::filesystem::remove_all(directory_);
    }

    // The path port 3 is mapped to: the pty itself, or a name that the test can
    // take away again. Empty when this machine does not allow it.
    std::string PathFor(Fault fault, const std::string& follower) {
        if (fault == Fault::OtherEndHangsUp || fault == Fault::KernelHangsUpTheLine) return follower;
        char directory[] = "/tmp/morrel-fault-XXXXXX";
        if (!mkdtemp(directory)) return {};
        directory_ = directory;
        const std::string path = directory_ + "/ttyS0";
        if (fault == Fault::SymlinkRemoved) return symlink(follower.c_str(), path.c_str()) == 0 ? path : "";
        // A private mount namespace for this thread, which is the one that opens
        // ports, with the pty bound over an ordinary file.
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return {};
        const int file = open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (file < 0) return {};
        close(file);
        if (mount(follower.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) != 0) return {};
        mountPoint_ = path;
        return path;
    }

    // Makes the fault happen; returns how many of the test's own descriptors it
    // closed, or -1 when this machine does not allow it.
    int Inflict(Fault fault, PtyPair& pty) {
        switch (fault) {
        case Fault::OtherEndHangsUp:
            pty.hangUp();  // the leader; the follower stays held, so its number is not reused
            return 1;
        case Fault::KernelHangsUpTheLine: {
            const int fd = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) return -1;
            const int r = ioctl(fd, TIOCVHANGUP);
            close(fd);
            return r == 0 ? 0 : -1;
        }
        case Fault::SymlinkRemoved:
            unlink((directory_ + "/ttyS0").c_str());
            pty.hangUp();
            return 1;
        case Fault::BoundNodeRemoved:
            umount2(mountPoint_.c_str(), MNT_DETACH);
            mountPoint_.clear();
            unlink((directory_ + "/ttyS0").c_str());
            pty.hangUp();
            return 1;
        }
        return -1;
    }

    std::string directory_;
    std::string mountPoint_;
};

TEST_P(DeviceFaults, ReaderIdlesWindowAnswersAndAnotherPortConnects) {
    const FaultCase& c = GetParam();
    PtyPair vanishing, other;
    MappedPort p4(4, other);
    const std::string path = PathFor(c.fault, vanishing.followerPath());
    if (path.empty()) GTEST_SKIP() << "this machine does not let the test make that device name: " << errno;
    OverridePortDevice(3, path);

    TForm1& w = Open();
    ASSERT_EQ(w.ComboBox1->count(), 2);
    // A first connection starts the reader, which then lives as long as the window.
    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    QTest::mouseClick(w.Button4, Qt::LeftButton);
    const Holdings before = CurrentHoldings();

    w.ComboBox1->setCurrentIndex(0);
    ASSERT_TRUE(Connect());
    SequenceFeeder feeder(vanishing.leader());
    feeder.Start(SIZE_MAX, 64, std::chrono::microseconds(200));
    ASSERT_TRUE(WaitForHistory("received:"));
    feeder.Stop();
    const int closedByTest = Inflict(c.fault, vanishing);
    if (closedByTest < 0) GTEST_SKIP() << "this machine does not let the test hang the line up: " << errno;

    QTest::qWait(100);
    QElapsedTimer clock;
    qint64 last = 0, longestGap = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    const double cpuBefore = ProcessCpuSeconds();
    clock.start();
    tick.start(10);
    QTest::qWait(1000);
    tick.stop();
    const double cpuUsed = ProcessCpuSeconds() - cpuBefore;
    std::printf("[ figures  ] after the fault: %.3f s of processor in 1 s, longest pause of the window %lld ms\n",
                cpuUsed, static_cast<long long>(longestGap));
    EXPECT_LT(cpuUsed, 0.2) << "the reader must wait out its time-out, not spin";
    EXPECT_LT(longestGap, 500) << "the window's thread stopped answering";

    QTest::mouseClick(w.Button4, Qt::LeftButton);
    EXPECT_TRUE(w.Button3->isEnabled());
    EXPECT_TRUE(History().endsWith("COM3 Closed\n")) << History().right(200).toStdString();
    Holdings expected = before;
    expected.descriptors -= closedByTest;
    EXPECT_EQ(CurrentHoldings(&expected), expected) << "the vanished port's descriptors must be closed";

    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    other.write("after");
    EXPECT_TRUE(WaitForHistory("received:after\n"));
    QTest::mouseClick(w.Button4, Qt::LeftButton);

    if (c.nameGone) {
        w.ComboBox1->setCurrentIndex(0);
        EXPECT_FALSE(Connect());
        EXPECT_TRUE(History().endsWith("COM3 Not Opened\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, DeviceFaults,
    ::testing::Values(FaultCase{"OtherEndHangsUp", Fault::OtherEndHangsUp, true},
                      FaultCase{"KernelHangsUpTheLine", Fault::KernelHangsUpTheLine, false},
                      FaultCase{"SymlinkRemoved", Fault::SymlinkRemoved, true},
                      FaultCase{"BoundNodeRemoved", Fault::BoundNodeRemoved, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
