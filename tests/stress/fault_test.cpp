// The port going away while connected: the other end hanging up (its device node
// goes with it, as an unplugged adapter's does), and the kernel hanging the line up
// while the name stays. In either case the reader idles, the window keeps
// answering, Disconnect works and releases everything, and another port connects.
#include "../app/window_fixture.h"
#include "measure.h"
#include "reliability_support.h"

#include <QElapsedTimer>
#include <QTimer>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct FaultCase {
    const char* name;
    bool kernelHangsUp;  // otherwise the other end hangs up, and the name is gone
};

class DeviceFaults : public WindowTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DeviceFaults, ReaderIdlesWindowAnswersAndAnotherPortConnects) {
    const bool kernel = GetParam().kernelHangsUp;
    PtyPair vanishing, other;
    MappedPort p3(3, vanishing), p4(4, other);
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
    if (kernel) {
        const int fd = open(vanishing.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        const int r = fd < 0 ? -1 : ioctl(fd, TIOCVHANGUP);
        if (fd >= 0) close(fd);
        if (r != 0) GTEST_SKIP() << "this machine does not let the test hang the line up: " << errno;
    } else {
        vanishing.hangUp();  // the leader; the follower stays held, so its number is not reused
    }

    QTest::qWait(100);
    QElapsedTimer clock;
    qint64 last = 0, longestGap = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, clock.elapsed() - last);
        last = clock.elapsed();
    });
    const std::int64_t cpuBefore = ProcessCpuNs();
    clock.start();
    tick.start(10);
    QTest::qWait(1000);
    tick.stop();
    const double cpuUsed = (ProcessCpuNs() - cpuBefore) / 1e9;
    std::printf("[ figures  ] after the fault: %.3f s of processor in 1 s, longest pause of the window %lld ms\n",
                cpuUsed, static_cast<long long>(longestGap));
    EXPECT_LT(cpuUsed, 0.2) << "the reader must wait out its time-out, not spin";
    EXPECT_LT(longestGap, 500) << "the window's thread stopped answering";

    QTest::mouseClick(w.Button4, Qt::LeftButton);
    EXPECT_TRUE(w.Button3->isEnabled());
    EXPECT_TRUE(History().endsWith("COM3 Closed\n")) << History().right(200).toStdString();
    Holdings expected = before;
    expected.descriptors -= kernel ? 0 : 1;  // the leader the test closed
    EXPECT_EQ(CurrentHoldings(&expected), expected) << "the vanished port's descriptors must be closed";

    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    other.write("after");
    EXPECT_TRUE(WaitForHistory("received:after\n"));
    QTest::mouseClick(w.Button4, Qt::LeftButton);
    if (!kernel) {
        w.ComboBox1->setCurrentIndex(0);
        EXPECT_FALSE(Connect());
        EXPECT_TRUE(History().endsWith("COM3 Not Opened\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(Window, DeviceFaults,
                         ::testing::Values(FaultCase{"OtherEndHangsUp", false}, FaultCase{"KernelHangsUpTheLine", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
