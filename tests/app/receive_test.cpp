// Connecting, receiving in each format, and disconnecting, over pseudo-terminals.
#include "window_fixture.h"

#include "connection.h"
#include "test_seam.h"
#include "test_thread.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QRadioButton>
#include <QRegularExpression>
#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

struct FormatCase {
    const char* name;
    QRadioButton* TForm1::*button;
    std::string bytes;
    QString shown;
};

class ReceiveFormats : public WindowTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ReceiveFormats, ShowsEveryByteOfARead) {
    const FormatCase& c = GetParam();
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    QTest::mouseClick(w.*c.button, Qt::LeftButton);
    pty.write(c.bytes);
    ASSERT_TRUE(WaitForHistory(c.shown)) << History().toStdString();
    EXPECT_EQ(History(), "COM3 Opened\n" + c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Window, ReceiveFormats,
    ::testing::Values(
        FormatCase{"AsciiHello", &TForm1::RadioButton1, "Hello", "received:Hello\n"},
        FormatCase{"HexHello", &TForm1::RadioButton2, "Hello", "received:0x48 0x65 0x6c 0x6c 0x6f \n"},
        FormatCase{"DecHello", &TForm1::RadioButton3, "Hello", "received:72 101 108 108 111 \n"},
        FormatCase{"HexHigh", &TForm1::RadioButton2, "\x80\xff", "received:0x80 0xff \n"},
        FormatCase{"DecHigh", &TForm1::RadioButton3, "\x80\xff", "received:128 255 \n"},
        FormatCase{"HexZeroInside", &TForm1::RadioButton2, std::string("A\0B", 3),
                   "received:0x41 0x0 0x42 \n"},
        FormatCase{"DecZeroFirst", &TForm1::RadioButton3, std::string("\0B", 2),
                   "received:0 66 \n"},
        FormatCase{"AsciiZeroInside", &TForm1::RadioButton1, std::string("A\0B", 3),
                   QString::fromLatin1("received:A\0B\n", 13)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(WindowTest, ABurstOf25BytesMakesLinesOf10_10_5) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    QTest::mouseClick(w.RadioButton2, Qt::LeftButton);
    // Written while the reader is inside a read, so the whole burst waits for it.
    pty.write(std::string(25, 'x'));
    const QString ten = "received:" + QString("0x78 ").repeated(10) + "\n";
    const QString five = "received:" + QString("0x78 ").repeated(5) + "\n";
    ASSERT_TRUE(WaitForHistory(five));
    EXPECT_EQ(History(), "COM3 Opened\n" + ten + ten + five);
}

TEST_F(WindowTest, SwitchingFormatWhileDataFlowsChangesWholeLinesOnly) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    TestThread feeder("the digit feeder", [&](const std::atomic<bool>& stop) {
        while (!stop) { pty.writeFor("0123456789", 50); std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
    });
    for (int i = 0; i < 20; ++i) {
        QTest::mouseClick(i % 3 == 0 ? w.RadioButton2 : i % 3 == 1 ? w.RadioButton3 : w.RadioButton1,
                          Qt::LeftButton);
        QTest::qWait(15);
    }
    feeder.Stop();
    QTest::qWait(100);
    const QStringList lines = History().split('\n', Qt::SkipEmptyParts);
    ASSERT_GT(lines.size(), 10);
    const QRegularExpression whole(
        "^received:(([0-9]{1,10})|((0x3[0-9] ){1,10})|((4[89] |5[0-7] ){1,10}))$");
    for (qsizetype i = 1; i < lines.size(); ++i)
        EXPECT_TRUE(whole.match(lines[i]).hasMatch()) << lines[i].toStdString();
}

TEST_F(WindowTest, ConnectDisconnectAndConnectToASecondPort) {
    PtyPair first, second;
    MappedPort p3(3, first), p4(4, second);
    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(w.GroupBox1->isEnabled());
    EXPECT_FALSE(w.GroupBox6->isEnabled());
    EXPECT_FALSE(w.GroupBox7->isEnabled());
    EXPECT_TRUE(w.GroupBox3->isEnabled());
    EXPECT_TRUE(w.Button4->isEnabled());
    first.write("one");
    ASSERT_TRUE(WaitForHistory("received:one\n"));

    QTest::mouseClick(w.Button4, Qt::LeftButton);
    EXPECT_TRUE(w.Button3->isEnabled());
    EXPECT_FALSE(w.Button4->isEnabled());
    EXPECT_TRUE(w.GroupBox1->isEnabled());
    EXPECT_FALSE(w.GroupBox3->isEnabled());

    w.ComboBox1->setCurrentIndex(1);
    ASSERT_TRUE(Connect());
    second.write("two");
    ASSERT_TRUE(WaitForHistory("received:two\n"));
    EXPECT_EQ(History(),
              "COM3 Opened\nreceived:one\nCOM3 Closed\nCOM4 Opened\nreceived:two\n");
}

TEST_F(WindowTest, AHeldPortIsNotOpened) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    const int holder = open(pty.followerPath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_FALSE(Connect());
    EXPECT_EQ(History(), "COM3 Not Opened\n");
    EXPECT_TRUE(w.Button3->isEnabled());
    EXPECT_FALSE(w.GroupBox3->isEnabled());
    close(holder);
}

struct PortTextCase {
    const char* text;
    const char* shown;
    bool opens;
};

class PortTexts : public WindowTest, public ::testing::WithParamInterface<PortTextCase> {};

// Only "COM" and one or two digits name a port: a text that merely ends in the
// right digits must not open a port the user did not ask for.
TEST_P(PortTexts, OpenOnlyThePortNamed) {
    const PortTextCase& c = GetParam();
    PtyPair five, twelve;
    MappedPort p5(5, five), p12(12, twelve);
    TForm1& w = Open();
    w.ComboBox1->setCurrentIndex(1);  // COM12
    ASSERT_TRUE(Connect());
    QTest::mouseClick(w.Button4, Qt::LeftButton);

    w.ComboBox1->setEditText(QString::fromUtf8(c.text));
    EXPECT_EQ(Connect(), c.opens);
    const QString last = History().split('\n', Qt::SkipEmptyParts).last();
    EXPECT_EQ(last, QString::fromUtf8(c.shown) + (c.opens ? " Opened" : " Not Opened"));
}

INSTANTIATE_TEST_SUITE_P(
    Window, PortTexts,
    ::testing::Values(PortTextCase{"COM5", "COM5", true}, PortTextCase{"com5", "com5", true},
                      PortTextCase{"COM12", "COM12", true}, PortTextCase{"XYZ5", "XYZ5", false},
                      PortTextCase{"COM1234", "COM12", false}, PortTextCase{"COM123", "COM12", false},
                      PortTextCase{"", "", false}, PortTextCase{"COM 5", "COM 5", false},
                      PortTextCase{"COM0", "COM0", false}, PortTextCase{"COM99", "COM99", false},
                      // The history is 8-bit: what Latin-1 cannot hold shows as "?".
                      PortTextCase{"СОМ5", "???5", false},
                      PortTextCase{"COM٣", "COM?", false}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Every selector, box and button at a choice other than its default reaches the
// line state; RTS and DTR go through the seam, a pseudo-terminal having none.
TEST_F(WindowTest, EveryNonDefaultChoiceReachesTheLine) {
    PtyPair pty;
    MappedPort port(3, pty);
    std::vector<std::pair<ModemLine, bool>> calls;
    SetModemLineSetter([&](int, ModemLine line, bool on) {
        calls.emplace_back(line, on);
        return true;
    });
    TForm1& w = Open();
    w.ComboBox2->setCurrentIndex(8);  // 19200
    w.ComboBox3->setCurrentIndex(2);  // Two Stop Bits
    w.ComboBox4->setCurrentIndex(3);  // Odd
    w.ComboBox5->setCurrentIndex(2);  // Seven
    QTest::mouseClick(w.CheckBox1, Qt::LeftButton);
    QTest::mouseClick(w.RadioButton4, Qt::LeftButton);  // RTS on
    QTest::mouseClick(w.RadioButton7, Qt::LeftButton);  // DTR on
    ASSERT_TRUE(Connect());
    SetModemLineSetter(nullptr);
    EXPECT_EQ(LineState.BaudRate, 19200u);
    EXPECT_EQ(LineState.StopBits, TWOSTOPBITS);
    EXPECT_EQ(LineState.Parity, ODDPARITY);
    EXPECT_EQ(LineState.fParity, 1u);
    EXPECT_EQ(LineState.ByteSize, 7);
    EXPECT_EQ(LineState.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(LineState.fDtrControl, DTR_CONTROL_ENABLE);
    // What the device holds (a pseudo-terminal keeps 8 data bits and no parity).
    DCB dcb;
    ASSERT_TRUE(GetCommState(PortHandle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_NE(std::find(calls.begin(), calls.end(), std::pair{ModemLine::Rts, true}), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), std::pair{ModemLine::Dtr, true}), calls.end());
}

TEST_F(WindowTest, DisconnectRestoresTheTimeoutsFoundAtConnect) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    ASSERT_TRUE(Connect());
    COMMTIMEOUTS during{};
    GetCommTimeouts(PortHandle, &during);
    EXPECT_EQ(during.ReadTotalTimeoutConstant, 20u);
    EXPECT_EQ(SavedTimeouts.ReadTotalTimeoutConstant, 0u);
    QTest::mouseClick(w.Button4, Qt::LeftButton);
}

// The close must wait for the reader to leave its read, and no read may start
// after it: a descriptor number reused at once by the test would otherwise be read.
TEST_F(WindowTest, DisconnectWhileDataStreamsNeverReadsAfterTheClose) {
    for (int round = 0; round < 5; ++round) {
        PtyPair pty, decoy;
        MappedPort port(3, pty);
        TForm1& w = Open();
        ASSERT_TRUE(Connect());
        // Once the disconnect stops the reader nobody drains the pty, so each write
        // gives up after a moment and the stop flag is looked at again.
        TestThread feeder("the letter feeder", [&](const std::atomic<bool>& stop) {
            while (!stop) { pty.writeFor("abcdefghij", 50); std::this_thread::sleep_for(std::chrono::microseconds(300)); }
        });
        QTest::qWait(50);
        QTest::mouseClick(w.Button4, Qt::LeftButton);
        // Grab the freed descriptor numbers with a pipe carrying bytes of our own;
        // non-blocking, so bytes taken by the reader fail the read below, not hang it.
        int pipeFds[2];
        ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK), 0);
        ASSERT_EQ(write(pipeFds[1], "ZZZZ", 4), 4);
        QTest::qWait(100);
        feeder.Stop();
        char left[8];
        EXPECT_EQ(read(pipeFds[0], left, sizeof left), 4) << "the reader read a reused descriptor";
        EXPECT_FALSE(History().contains("ZZZZ"));
        close(pipeFds[0]);
        close(pipeFds[1]);
        form.reset();
    }
}

}  // namespace
