// The kernel hanging the line up while the port's name stays (the other end
// hanging up, name and all, is the field tests', as are the records and the
// reading that follow a loss): the loss is told, and Disconnect releases everything.
#include "../app/window_fixture.h"
#include "reliability_support.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

TEST_F(ConnectedWindowTest, AKernelHangUpIsToldAndDisconnectReleasesEverything) {
    // The first connection started the reader, which then lives as long as the window.
    Disconnect();
    const Holdings before = CurrentHoldings();

    ASSERT_TRUE(Connect());
    SequenceFeeder feeder(pty);
    feeder.Start(SIZE_MAX, 64, std::chrono::microseconds(200));
    ASSERT_TRUE(WaitForHistory("received:"));
    feeder.Stop();
    const int fd = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int r = fd < 0 ? -1 : ioctl(fd, TIOCVHANGUP);
    if (fd >= 0) close(fd);
    if (r != 0) GTEST_SKIP() << "this machine does not let the test hang the line up: " << errno;

    // That the reader then idles is the reader's test.
    ASSERT_TRUE(WaitForHistory("COM3 Lost ("));
    Disconnect();
    EXPECT_EQ(CurrentHoldings(&before), before) << "the hung-up port's descriptors must be closed";
}

}  // namespace
