// What a connection shows and in which order: a port with the kernel's cooked
// defaults passes every byte value, and what was received before Disconnect shows
// before its "Closed", with nothing of it after.
#include "window_fixture.h"

#include "received_line.h"

#include <chrono>
#include <fcntl.h>
#include <thread>
#include <termios.h>
#include <unistd.h>

namespace {

// The bytes of every "received:" line in HEX.
std::string ReceivedBytes(const QString& history) {
    std::string bytes;
    for (const QString& line : history.split(u'\n'))
        if (line.startsWith(QStringLiteral("received:")))
            EXPECT_TRUE(ParseReceivedLine(line.toLatin1().toStdString(), ReceiveFormat::Hex, bytes)) << line.toStdString();
    return bytes;
}

TEST_F(WindowTest, APortWithCookedDefaultsPassesEveryByteValueAndEchoesNothing) {
    PtyPair pty;
    MappedPort port(3, pty);
    const int follower = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(follower, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(follower, &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | IXOFF;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    // The kernel's control characters, XON and XOFF among them.
    const std::pair<int, cc_t> controls[] = {{VINTR, 3}, {VQUIT, 034}, {VERASE, 0177}, {VKILL, 025},
                                             {VEOF, 4}, {VSTART, 021}, {VSTOP, 023}, {VSUSP, 032}};
    for (auto [index, value] : controls) cooked.c_cc[index] = value;
    ASSERT_EQ(tcsetattr(follower, TCSANOW, &cooked), 0);
    close(follower);

    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    QTest::mouseClick(w.RadioButton2, Qt::LeftButton);
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    ASSERT_TRUE(pty.write(all));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ReceivedBytes(History()).size() >= all.size(); }, 10000));
    EXPECT_EQ(ReceivedBytes(History()), all);
    // Echo is written while the input is taken in, so by now it would be there.
    EXPECT_EQ(pty.read(1, 0), "");
}

TEST_F(ConnectedWindowTest, WhatCameBeforeDisconnectShowsBeforeClosedAndNothingAfter) {
    ASSERT_TRUE(pty.write("abc"));
    // Taken from the driver by the reader, but not shown: the window's thread waits
    // here without running its events.
    for (int i = 0; i < 5000 && pty.pending() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(pty.pending(), 0);
    ASSERT_EQ(Added(), "");
    form->Button4Click();
    EXPECT_EQ(Added(), QStringLiteral("received:abc\nCOM3 Closed\n"));
    // Whatever the reader signalled meanwhile is handled now, and adds nothing.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(Added(), QStringLiteral("received:abc\nCOM3 Closed\n"));
}

}  // namespace
