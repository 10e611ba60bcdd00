// What real devices do to a connection: a line other programs set up, output that
// stops, a device that goes and comes back, settings the driver will not take,
// text from an input method, and a history read after the session.
#include "window_fixture.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QInputMethodEvent>

#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <termios.h>
#include <unistd.h>

namespace {

// The line speed as the device side sees it.
speed_t Speed(const PtyPair& pty) {
    const int fd = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    close(fd);
    return cfgetospeed(&line);
}

class FieldTest : public ConnectedWindowTest {
protected:
    void Disconnect() {
        QTest::mouseClick(form->Button4, Qt::LeftButton);
        ASSERT_TRUE(form->Button3->isEnabled());
    }
};

// The line a program (a console, a script) set up is the same before start-up,
// after it, and after a connect and disconnect.
TEST_F(WindowTest, ACookedLineIsFoundAgainAfterStartUpAndASession) {
    PtyPair pty;
    MappedPort mapped(3, pty);
    const int other = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(other, &cooked), 0);
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    cooked.c_iflag |= ICRNL | IXON;
    cooked.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &cooked), 0);
    ASSERT_EQ(tcgetattr(other, &cooked), 0);
    const auto unchanged = [&] {  // both zeroed first, so that their padding compares too
        termios now{};
        return tcgetattr(other, &now) == 0 && std::memcmp(&now, &cooked, sizeof now) == 0;
    };

    Open();
    EXPECT_TRUE(unchanged()) << "the port scan changed the line";
    ASSERT_TRUE(Connect());
    QTest::mouseClick(form->Button4, Qt::LeftButton);
    EXPECT_TRUE(unchanged()) << "the disconnect did not put the line back";
    close(other);
}

// A stopped line (flow control, a device that stops reading) holds the window
// only briefly; the record says nothing went; reception and Disconnect still work.
TEST_F(FieldTest, StoppedOutputNeitherFreezesTheWindowNorClaimsASend) {
    // Output stopped from the device side, as flow control does.
    const int device = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(tcflow(device, TCOOFF), 0);
    QElapsedTimer clock;
    clock.start();
    Send("Hello");
    EXPECT_LT(clock.elapsed(), 1000) << "the send held the window";
    EXPECT_EQ(Added(), "Send failed (0 of 5 bytes went out):Hello\n");
    pty.write("abc");
    EXPECT_TRUE(WaitForHistory("received:abc"));
    clock.restart();
    Disconnect();
    EXPECT_LT(clock.elapsed(), 2000) << "the disconnect waited for the stopped output";
    tcflow(device, TCOON);
    close(device);
}

// The far end hangs up (a pseudo-terminal's device node goes with it, as an
// unplugged adapter's does): the loss is told once, sends fail truthfully, and a new
// device at the same place is opened again with the same settings, by itself.
TEST_F(FieldTest, ALostPortIsToldAndReopenedWhenItComesBack) {
    pty.hangUp();
    ASSERT_TRUE(WaitForHistory("COM3 Lost (device gone)\n", 10000));
    Send("Hello");
    EXPECT_TRUE(History().endsWith("Send failed (0 of 5 bytes went out):Hello\n"));
    QTest::qWait(600);  // several looks for the device find nothing
    EXPECT_EQ(History().count("Lost"), 1);
    EXPECT_TRUE(form->Button4->isEnabled()) << "Disconnect stays available";

    PtyPair fresh;
    OverridePortDevice(3, fresh.followerPath());
    ASSERT_TRUE(WaitForHistory("COM3 Reopened\n", 10000));
    fresh.write("back");
    EXPECT_TRUE(WaitForHistory("received:back"));
    Send("ok");
    EXPECT_EQ(fresh.read(2), "ok");
    EXPECT_EQ(Speed(fresh), B9600) << "reopened with the connection's settings";
    Disconnect();
    EXPECT_TRUE(History().endsWith("COM3 Closed\n"));
}

TEST_F(FieldTest, DisconnectWhileLostClosesAsUsual) {
    pty.hangUp();
    ASSERT_TRUE(WaitForHistory("COM3 Lost (device gone)\n", 10000));
    Disconnect();
    EXPECT_TRUE(History().endsWith("COM3 Lost (device gone)\nCOM3 Closed\n"));
    PtyPair fresh;
    OverridePortDevice(3, fresh.followerPath());
    QTest::qWait(600);
    EXPECT_FALSE(History().contains("Reopened")) << "nothing reopens after a disconnect";
}

// What the selectors show is what the connect applies, or the history says what
// is in force instead.
struct ShownCase {
    const char* name;
    const char* baud;
    const char* stopBits;
    speed_t expectedSpeed;
    const char* report;  // the line after the connect record, or "" for none
};

class SettingsInForce : public WindowTest, public testing::WithParamInterface<ShownCase> {};

TEST_P(SettingsInForce, ConnectAppliesWhatIsShownOrSaysWhatIsInForce) {
    const ShownCase& c = GetParam();
    PtyPair pty;
    MappedPort mapped(3, pty);
    Open();
    form->ComboBox2->setEditText(QString::fromLatin1(c.baud));
    form->ComboBox3->setEditText(QString::fromLatin1(c.stopBits));
    ASSERT_TRUE(Connect());
    EXPECT_EQ(Speed(pty), c.expectedSpeed);
    const QString after = History().section(QStringLiteral("COM3 Opened\n"), 1);
    EXPECT_EQ(after, *c.report ? QString::fromLatin1(c.report) + "\n" : QString());
}

INSTANTIATE_TEST_SUITE_P(
    Window, SettingsInForce,
    testing::Values(
        ShownCase{"ItemTyped", "115200", "One Stop Bit", B115200, ""},
        ShownCase{"NoItem", "250000", "One Stop Bit", B9600, "In force, not as shown: Baud 9600"},
        // Refused whole: 1.5 stop bits need 5 data bits.
        ShownCase{"Refused", "115200", "One and a Half Stop Bits", B9600,
                  "In force, not as shown: Baud 9600, Stop Bits One Stop Bit"},
        ShownCase{"LetterCase", "57600", "two stop bits", B57600, ""}),
    [](const testing::TestParamInfo<ShownCase>& info) { return std::string(info.param.name); });

// A pseudo-terminal carries neither parity nor other sizes: not reported.
TEST_F(WindowTest, WhatTheDeviceCannotCarryIsNotReported) {
    PtyPair pty;
    MappedPort mapped(3, pty);
    Open();
    form->ComboBox4->setCurrentIndex(0);  // Even
    form->ComboBox5->setCurrentIndex(2);  // Seven
    ASSERT_TRUE(Connect());
    EXPECT_TRUE(History().endsWith("COM3 Opened\n"));
}

// Disconnect closes the port only once the reader has left its read: a read is
// held inside the layer, and the close must not come before the read ends.
TEST_F(FieldTest, DisconnectClosesOnlyAfterTheReadHasEnded) {
    using namespace std::chrono_literals;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<LayerEvent> seen;
    bool held = false, released = false;
    SetLayerObserver([&](LayerEvent event) {
        std::unique_lock lock(mutex);
        seen.push_back(event);
        changed.notify_all();
        if (event == LayerEvent::ReadBegins && !held) {
            held = true;
            changed.wait_for(lock, 5s, [&] { return released; });
        }
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return held; })) << "no read began";
    }
    // Lets the read go once the close has come (the fault) or surely would have.
    std::thread releaser([&] {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, 800ms, [&] {
            return std::find(seen.begin(), seen.end(), LayerEvent::Closing) != seen.end();
        });
        released = true;
        changed.notify_all();
    });
    Disconnect();
    releaser.join();
    SetLayerObserver(nullptr);
    const auto begins = std::find(seen.begin(), seen.end(), LayerEvent::ReadBegins);
    const auto ends = std::find(begins, seen.end(), LayerEvent::ReadEnds);
    const auto closing = std::find(seen.begin(), seen.end(), LayerEvent::Closing);
    ASSERT_NE(closing, seen.end());
    EXPECT_LT(ends, closing) << "the port was closed under a read";
}

TEST_F(FieldTest, InputMethodTextIsSentAsTyped) {
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->setFocus();
    QInputMethodEvent compose;
    compose.setCommitString(QString::fromUtf8("é"));
    QCoreApplication::sendEvent(form->Edit1, &compose);
    EXPECT_EQ(pty.read(1), "\xe9");
    EXPECT_EQ(Added(), QString::fromUtf8("Sent:é\n"));
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf8("é"));
}

TEST_F(FieldTest, TheHistoryCanBeSelectedAndCopiedAfterDisconnect) {
    pty.write("kept");
    ASSERT_TRUE(WaitForHistory("received:kept"));
    Disconnect();
    EXPECT_FALSE(form->GroupBox3->isEnabled());
    ASSERT_TRUE(form->Memo1->isEnabled());
    QGuiApplication::clipboard()->clear();
    form->Memo1->setFocus();
    QTest::keyClick(form->Memo1, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(form->Memo1, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), History());
    const QString kept = History();
    QTest::keyClicks(form->Memo1, "typed");
    EXPECT_EQ(History(), kept) << "the history is read-only while disconnected";
}

}  // namespace
