// What real devices do to a connection: output that stops or takes only part of
// a send, zero bytes, a device that goes and comes back, and settings the driver
// will not take.
#include "window_fixture.h"

#include "connection.h"

#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <termios.h>
#include <unistd.h>

namespace {

// The line as the device side sees it, after `change` when one is given.
termios Line(const PtyPair& pty, void (*change)(termios&) = nullptr) {
    const int fd = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    EXPECT_EQ(tcgetattr(fd, &line), 0);
    if (change) {
        change(line);
        EXPECT_EQ(tcsetattr(fd, TCSANOW, &line), 0);
    }
    close(fd);
    return line;
}

// The connection's time-outs: reads end after 20 ms, writes have none of their own.
void ExpectWorkTimeouts() {
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(PortHandle, &t));
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                                  t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({0, 0, 20, 0, 0}));
}

// Each attempt to open a port that is still gone is one look for the device,
// told by the layer; kGone is such a port, as the program finds it: no node.
struct Looks {
    Looks() { SetLayerObserver([this](LayerEvent event) { count += event == LayerEvent::Looking; }); }
    ~Looks() { SetLayerObserver(nullptr); }
    std::atomic<int> count{0};  // the looks so far
};
const char* const kGone = "/nonexistent/gone";

using FieldTest = ConnectedWindowTest;

// A stopped line (flow control, a device that stops reading) holds the window
// only briefly; the records say nothing went, for a line, a number and a typed
// key alike; reception and Disconnect still work.
TEST_F(FieldTest, StoppedOutputNeitherFreezesTheWindowNorClaimsASend) {
    // Output stopped from the device side, as flow control does.
    const int device = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(tcflow(device, TCOOFF), 0);
    QElapsedTimer clock;
    clock.start();
    Send("Hello");
    EXPECT_LT(clock.elapsed(), 1000) << "the send held the window";
    QTest::mouseClick(form->CheckBox5, Qt::LeftButton);
    Send("65");
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    QTest::keyClick(form->Edit1, Qt::Key_K);
    EXPECT_EQ(Added(), "Send failed (0 of 5 bytes went out):Hello\nSend failed (0 of 1 byte went out):65 (as number)\n"
                       "Send failed (0 of 1 byte went out):k\n");
    // Reception goes on; a zero byte shows like any other, at a read's start and in it.
    pty.write(std::string("\0A\0B", 4));
    EXPECT_TRUE(WaitForHistory(QString::fromLatin1("\nreceived:\0A\0B\n", 15)));
    clock.restart();
    Disconnect();
    EXPECT_LT(clock.elapsed(), 2000) << "the disconnect waited for the stopped output";
    tcflow(device, TCOON);
    close(device);
}

// A send that only partly goes says how much went; what went is its start, and
// the rest never follows.
TEST_F(FieldTest, APartialSendSaysHowManyBytesWent) {
    const std::size_t filled = LeaveOutputRoom(pty, 3);
    if (filled == 0) GTEST_SKIP() << "this kernel does not fill a pseudo-terminal as measured";
    Send("Hello");
    EXPECT_EQ(Added(), "Send failed (3 of 5 bytes went out):Hello\n");
    const std::string arrived = pty.read(filled + 3, 5000);
    ASSERT_EQ(arrived.size(), filled + 3);
    EXPECT_EQ(arrived.substr(filled), "Hel");
    Send("ok");
    EXPECT_EQ(pty.read(2), "ok") << "the rest of the failed send went later";
}

// The far end hangs up (a pseudo-terminal's device node goes with it, as an
// unplugged adapter's does): the loss is told once while the program looks for the
// device, sends fail truthfully, and a new device at the same place is opened
// again by itself, with the connection's settings and time-outs, not its own.
// Lost again, Disconnect closes and ends the looking.
TEST_F(FieldTest, ALostPortIsToldAndReopenedWithItsSettingsUntilDisconnect) {
    Disconnect();
    form->ComboBox2->setCurrentIndex(11);  // 57600
    form->ComboBox3->setCurrentIndex(2);   // Two Stop Bits
    QTest::mouseClick(form->CheckBox1, Qt::LeftButton);
    ASSERT_TRUE(Connect());
    ExpectWorkTimeouts();
    history0 = History();
    pty.hangUp();
    ASSERT_TRUE(WaitForHistory("COM3 Lost (device gone)\n", 10000));
    Looks looks;
    OverridePortDevice(3, kGone);
    ASSERT_TRUE(QTest::qWaitFor([&] { return looks.count >= 3; }, 10000)) << "the device is not looked for";
    Send("Hello");

    PtyPair fresh;
    Line(fresh, [](termios& t) { cfsetspeed(&t, B1200); });
    OverridePortDevice(3, fresh.followerPath());
    ASSERT_TRUE(WaitForHistory("COM3 Reopened\n", 10000));
    EXPECT_EQ(Added(), "COM3 Lost (device gone)\nSend failed (0 of 5 bytes went out):Hello\nCOM3 Reopened\n");
    const termios line = Line(fresh);
    EXPECT_EQ(cfgetospeed(&line), B57600);
    EXPECT_TRUE(line.c_cflag & CSTOPB);
    EXPECT_TRUE(line.c_iflag & INPCK);
    ExpectWorkTimeouts();
    fresh.write("back");
    EXPECT_TRUE(WaitForHistory("received:back"));
    Send("ok");
    EXPECT_EQ(fresh.read(2), "ok");

    fresh.hangUp();
    ASSERT_TRUE(QTest::qWaitFor([&] { return History().count(QStringLiteral("COM3 Lost")) == 2; }, 10000));
    const int lookedBefore = looks.count;
    OverridePortDevice(3, kGone);
    ASSERT_TRUE(QTest::qWaitFor([&] { return looks.count > lookedBefore; }, 10000)) << "not looked for again";
    Disconnect();
    EXPECT_TRUE(History().endsWith("COM3 Lost (device gone)\nCOM3 Closed\n"));
    EXPECT_TRUE(form->Memo1->isEnabled() && form->Memo1->isReadOnly()) << "the history stays readable, not editable";
    const int looked = looks.count;
    // Timers fire in the order they fall due, on this thread: a look still due
    // every quarter second comes before this one, however slow the machine.
    bool due = false;
    QTimer::singleShot(1000, [&] { due = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return due; }, 20000));
    EXPECT_EQ(looks.count.load(), looked) << "the port is still looked for after the disconnect";
}

// What the selectors show is what the connect applies, or the history says what
// is in force instead. The port starts at 2400 baud and two stop bits, so that
// neither a default nor the port's own value passes for a choice.
TEST_F(WindowTest, ConnectAppliesWhatIsShownOrSaysWhatIsInForce) {
    const struct {
        const char* baud;
        const char* stopBits;
        speed_t expectedSpeed;
        bool expectedTwoStop;
        const char* report;  // the line after the connect record, or "" for none
    } cases[] = {
        {"250000", "One Stop Bit", B2400, false, "In force, not as shown: Baud 2400"},  // no such item
        // Refused whole: 1.5 stop bits need 5 data bits.
        {"115200", "One and a Half Stop Bits", B2400, true,
         "In force, not as shown: Baud 2400, Stop Bits Two Stop Bits"},
        {" 57600  ", " Two Stop Bits ", B57600, true, ""},
        // The items already selected (9600, One Stop Bit), typed otherwise.
        {" 9600 ", "one stop BIT", B9600, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.baud);
        PtyPair pty;
        Line(pty, [](termios& t) { cfsetspeed(&t, B2400); t.c_cflag |= CSTOPB; });
        MappedPort mapped(3, pty);
        Open();
        form->ComboBox2->setEditText(QString::fromLatin1(c.baud));
        form->ComboBox3->setEditText(QString::fromLatin1(c.stopBits));
        ASSERT_TRUE(Connect());
        const termios line = Line(pty);
        EXPECT_EQ(cfgetospeed(&line), c.expectedSpeed);
        EXPECT_EQ((line.c_cflag & CSTOPB) != 0, c.expectedTwoStop);
        const QString after = History().section(QStringLiteral("COM3 Opened\n"), 1);
        EXPECT_EQ(after, *c.report ? QString::fromLatin1(c.report) + "\n" : QString());
        form.reset();
    }
}

// Disconnect closes the port only once the reader has left its read: the first
// read is held inside the layer until the close comes (the fault) or surely would
// have, and the close must not come before the read ends.
TEST_F(FieldTest, DisconnectClosesOnlyAfterTheReadHasEnded) {
    using namespace std::chrono_literals;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<LayerEvent> seen;
    const auto saw = [&](LayerEvent event) { return std::find(seen.begin(), seen.end(), event); };
    SetLayerObserver([&](LayerEvent event) {
        std::unique_lock lock(mutex);
        const bool first = saw(event) == seen.end();
        seen.push_back(event);
        changed.notify_all();
        if (event == LayerEvent::ReadBegins && first)
            changed.wait_for(lock, 800ms, [&] { return saw(LayerEvent::Closing) != seen.end(); });
    });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 5s, [&] { return saw(LayerEvent::ReadBegins) != seen.end(); }))
            << "no read began";
    }
    Disconnect();
    SetLayerObserver(nullptr);
    const auto closing = saw(LayerEvent::Closing);
    ASSERT_NE(closing, seen.end());
    EXPECT_LT(std::find(saw(LayerEvent::ReadBegins), seen.end(), LayerEvent::ReadEnds), closing)
        << "the port was closed under a read";
}

}  // namespace
