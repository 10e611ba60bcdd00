// Each ending signal on a real port with the kernel's defaults: the program's own
// entry (ending_child, the port mapped as COM3) ends orderly, the port's settings
// are as they were before it started, and its log ends with what came last.
#include "child_process.h"
#include "lab_window.h"

#include <QTemporaryDir>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class EndingTest : public ::testing::TestWithParam<std::tuple<LabPort, int>> {};

TEST_P(EndingTest, SignalEndsInOrderPortAsFoundLogComplete) {
    LAB_ONLY();
    const auto& [port, signo] = GetParam();
    Peer& device = Peer::Of(port);
    device.Drain();
    const termios found = TermiosOf(port);
    ASSERT_TRUE(found.c_lflag & ICANON) << "not the kernel's defaults";
    QTemporaryDir dir;
    const std::string log = dir.filePath("log.txt").toStdString(), go = dir.filePath("go").toStdString();
    const pid_t child = Spawn({MORREL_ENDING_CHILD, port.device, go, "--log", log});
    ASSERT_GT(child, 0);
    // The port is touched only once the program holds it (it refuses a port held).
    const bool connected =
        QTest::qWaitFor([&] { return FileText(log).find("COM3 Opened\n") != std::string::npos; }, 20000);
    // Its reads wait for `go` until all the device's bytes are queued: ten a read,
    // two records; the signal comes once it has taken them.
    const int fd = open(port.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const auto queued = [&] {
        int count = -1;
        ioctl(fd, TIOCINQ, &count);
        return count;
    };
    const bool all = connected && fd >= 0 && device.Write("first one!second one") &&
                     QTest::qWaitFor([&] { return queued() == 20; }, 10000);
    const bool read = all && std::ofstream(go) && QTest::qWaitFor([&] { return queued() == 0; }, 10000);
    if (fd >= 0) close(fd);
    EXPECT_TRUE(read) << "connected " << connected << ", queued " << all << "; the log: " << FileText(log);
    kill(child, signo);
    const int status = WaitForExit(child, 15000);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << "the program did not end in order";
    EXPECT_EQ(WEXITSTATUS(status), 128 + signo);
    EXPECT_EQ(Describe(TermiosOf(port)), Describe(found)) << "the port is not left as found";
    const std::string text = LoggedText(log);
    EXPECT_TRUE(text.ends_with("received:first one!\nreceived:second one\n")) << "the log: " << text;
}

INSTANTIATE_TEST_SUITE_P(Lab, EndingTest,
                         ::testing::Combine(::testing::Values(kUart, kFtdi), ::testing::Values(SIGTERM, SIGINT, SIGHUP)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    sigabbrev_np(std::get<1>(info.param));
                         });

}  // namespace
