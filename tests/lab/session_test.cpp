// The window once as a person meets it, on a real X server (Xvfb in the guest):
// start, connect, send, receive, disconnect, close. (The port list is the scan's.)
#include "lab_window.h"

#include <QGuiApplication>

namespace {

TEST(LabSession, WholeSessionOnTheUartUnderX) {
    LAB_ONLY();
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "needs an X server (the lab runs this under Xvfb)";
    Peer& device = Peer::Of(kUart);
    device.Drain();
    LabWindow w;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.form.get()));
    ASSERT_TRUE(w.Connect(kUart));
    w.Send("hello");
    EXPECT_EQ(device.Read(5, 10000), "hello");
    ASSERT_TRUE(device.Write("world"));
    ASSERT_TRUE(w.WaitForReceived("world"));
    w.Disconnect();
    EXPECT_EQ(w.Received(), "world");
    EXPECT_TRUE(w.History().startsWith("COM1 Opened\nSent:hello\nreceived:")) << w.Text();
    EXPECT_TRUE(w.History().endsWith("\nCOM1 Closed\n")) << w.Text();
    w.form->close();
    EXPECT_FALSE(w.form->isVisible());
}

}  // namespace
