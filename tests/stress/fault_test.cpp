// The kernel hanging the line up while the port's name stays (the other end
// hanging up, name and all, is the field tests'): the loss is told, Disconnect
// works and releases everything, and another port connects.
#include "../app/window_fixture.h"
#include "reliability_support.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

TEST_F(WindowTest, AKernelHangUpIsToldAndDisconnectReleasesEverything) {
    PtyPair vanishing, other;
    MappedPort p3(3, vanishing), p4(4, other);
    TForm1& w = Open();
    ASSERT_EQ(w.ComboBox1->count(), 2);
    // A first connection starts the reader, which then lives as long as the window.
    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    Disconnect();
    const Holdings before = CurrentHoldings();

    w.ComboBox1->setCurrentIndex(0);
    ASSERT_TRUE(Connect());
    SequenceFeeder feeder(vanishing.leader());
    feeder.Start(SIZE_MAX, 64, std::chrono::microseconds(200));
    ASSERT_TRUE(WaitForHistory("received:"));
    feeder.Stop();
    const int fd = open(vanishing.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int r = fd < 0 ? -1 : ioctl(fd, TIOCVHANGUP);
    if (fd >= 0) close(fd);
    if (r != 0) GTEST_SKIP() << "this machine does not let the test hang the line up: " << errno;

    // That the reader then idles is the reader's test.
    ASSERT_TRUE(WaitForHistory("COM3 Lost ("));
    Disconnect();
    EXPECT_TRUE(History().endsWith("COM3 Closed\n")) << History().right(200).toStdString();
    EXPECT_EQ(CurrentHoldings(&before), before) << "the hung-up port's descriptors must be closed";

    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    other.write("after");
    EXPECT_TRUE(WaitForHistory("received:after\n"));
    Disconnect();
}

}  // namespace
