// Bad and hostile input through the real window: odd port texts, odd numbers, a
// megabyte pasted, every control character typed, thousands of clicks, and every
// byte value received. Each case says what must happen; nothing may crash, hang
// or send what the rules do not say.
#include "../app/window_fixture.h"
#include "test_thread.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDeadlineTimer>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <atomic>
#include <cstring>

namespace {

QString Latin1(const std::string& bytes) { return QString::fromLatin1(bytes.data(), qsizetype(bytes.size())); }

// Like QTest::qWaitFor, but wakes as soon as an event (a reader line) arrives
// instead of sleeping 10 ms between looks.
template <typename Predicate>
bool RunEventsUntil(Predicate done, int timeoutMs = 3000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// The history holds 8-bit characters: what Latin-1 cannot hold shows as "?".
QString AsShown(QString text) {
    for (QChar& c : text)
        if (c.unicode() > 0xff) c = '?';
    return text;
}

// --- Port texts -------------------------------------------------------------

struct PortTextCase {
    const char* name;
    QString text;
    bool opens;
};

class HostilePortTexts : public WindowTest, public ::testing::WithParamInterface<PortTextCase> {};

// Only "COM" (any case) and one or two digits name a port. Whatever else the user
// types is shown cut to five characters and opens nothing: not the port its
// digits might suggest, and not a path of its own.
TEST_P(HostilePortTexts, OpenOnlyAPortName) {
    const PortTextCase& c = GetParam();
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    w.ComboBox1->setEditText(c.text);
    EXPECT_EQ(Connect(), c.opens);
    EXPECT_EQ(History(), AsShown(c.text.left(5)) + (c.opens ? " Opened\n" : " Not Opened\n"));
    EXPECT_EQ(w.GroupBox3->isEnabled(), c.opens);
    EXPECT_EQ(pty.read(1, 50), "") << "opening sends nothing";
    if (c.opens) QTest::mouseClick(w.Button4, Qt::LeftButton);
}

QString Repeated(const QString& head, QChar filler, int length) {
    return head + QString(length - head.size(), filler);
}

INSTANTIATE_TEST_SUITE_P(
    Window, HostilePortTexts,
    ::testing::Values(
        PortTextCase{"MixedCase", "cOm3", true},
        PortTextCase{"OnlySpaces", "     ", false},
        PortTextCase{"TrailingSpace", "COM3 ", false},
        PortTextCase{"LeadingSpace", " COM3", false},
        PortTextCase{"TrailingNul", QString("COM3") + QChar(0), false},
        PortTextCase{"FullwidthDigit", QString::fromUtf8("COM３"), false},
        PortTextCase{"TenThousandCharacters", Repeated("COM3", 'x', 10000), false},
        PortTextCase{"TenThousandDigits", Repeated("COM", '3', 10000), false},
        PortTextCase{"DevicePathItself", "\\\\.\\COM3", false},
        PortTextCase{"PathTraversal", "\\\\.\\COM1/../../etc/passwd", false},
        PortTextCase{"RelativeParent", "../", false},
        PortTextCase{"LinuxDevicePath", "/dev/ttyS0", false}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Sending ----------------------------------------------------------------

using HostileSend = ConnectedWindowTest;

struct NumberCase {
    const char* name;
    QString text;
    int byte;  // -1: "Invalid Number", nothing sent
};

class HostileNumbers : public HostileSend, public ::testing::WithParamInterface<NumberCase> {};

// Only the first 254 characters are looked at; they must all be "0" to "9". The
// byte is their exact value modulo 256, however many digits there are.
TEST_P(HostileNumbers, SendTheValueModulo256OrRefuse) {
    const NumberCase& c = GetParam();
    QTest::mouseClick(form->CheckBox5, Qt::LeftButton);
    Send(c.text);
    if (c.byte < 0) {
        EXPECT_EQ(pty.read(1, 100), "");
        EXPECT_EQ(Added(), "Invalid Number\n");
    } else {
        EXPECT_EQ(pty.read(2, 200), std::string(1, static_cast<char>(c.byte)));
        EXPECT_EQ(Added(), QString("Sent:%1 (as number)\n").arg(c.byte));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, HostileNumbers,
    ::testing::Values(
        // 10^8 is a multiple of 256: the last eight digits taken decide the byte.
        NumberCase{"ThousandOnes", QString(1000, '1'), 11111111 % 256},
        NumberCase{"ThousandNines", QString(1000, '9'), 99999999 % 256},
        NumberCase{"OnlyTheFirst254Count", QString(253, '0') + "65", 6},
        NumberCase{"JunkAfterThe254thIsNotLookedAt", QString(254, '1') + "x", 11111111 % 256},
        NumberCase{"JunkAtThe254thIs", QString(253, '1') + "x", -1},
        NumberCase{"ManyLeadingZeros", QString(250, '0') + "256", 0},
        NumberCase{"FullwidthDigits", QString::fromUtf8("６５"), -1},
        NumberCase{"ArabicIndicAfterDigits", QString::fromUtf8("1٣"), -1},
        NumberCase{"TrailingSpace", "7 ", -1},
        NumberCase{"Tab", "\t7", -1},
        NumberCase{"Nul", QString("7") + QChar(0), -1},
        NumberCase{"MinusZero", "-0", -1},
        NumberCase{"Exponent", "1e3", -1},
        NumberCase{"HexPrefix", "0x41", -1}),
    [](const auto& info) { return std::string(info.param.name); });

// A megabyte pasted into the input line: the line keeps what it can hold, Send
// still sends only the first 255 characters, and with Send as typing on the paste
// itself sends only the Ctrl+V typed for it (control code 22), not the text.
TEST_F(HostileSend, AMegabytePastedSendsOnly255Characters) {
    QString megabyte;
    megabyte.reserve(1 << 20);
    for (int i = 0; i < (1 << 20); ++i) megabyte += QChar('a' + i % 26);
    QApplication::clipboard()->setText(megabyte);
    if (QApplication::clipboard()->text().size() != megabyte.size())
        GTEST_SKIP() << "this platform plugin has no clipboard";
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->clear();
    form->Edit1->setFocus();
    QTest::keyClick(form->Edit1, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(form->Edit1->text(), megabyte.left(form->Edit1->maxLength()));
    EXPECT_EQ(pty.read(2, 200), "\x16");

    QTest::mouseClick(form->Button1, Qt::LeftButton);
    EXPECT_EQ(pty.read(1 << 20, 300), megabyte.left(255).toStdString());
    EXPECT_EQ(Added(), "Sent:\x16\nSent:" + megabyte.left(255) + "\n");
    QApplication::clipboard()->clear();
}

// Every control character typed with Send as typing on goes out once, by itself,
// in the order typed; carriage return then also sends the (empty) line, which puts
// nothing more on the wire.
TEST_F(HostileSend, EveryControlCharacterTypedGoesOutOnceEach) {
    QApplication::clipboard()->clear();  // Ctrl+V is among them
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->clear();
    form->Edit1->setFocus();
    std::string expected;
    for (int c = 1; c < 32; ++c) {
        if (c <= 26) {
            QTest::keyClick(form->Edit1, Qt::Key(Qt::Key_A + c - 1), Qt::ControlModifier);
        } else if (c == 27) {
            QTest::keyClick(form->Edit1, Qt::Key_Escape);
        } else {
            // Ctrl+\ Ctrl+] Ctrl+^ Ctrl+_: the keyboard gives the control code as text.
            const Qt::Key keys[] = {Qt::Key_Backslash, Qt::Key_BracketRight, Qt::Key_AsciiCircum,
                                    Qt::Key_Underscore};
            QTest::sendKeyEvent(QTest::Click, form->Edit1, keys[c - 28], QString(QChar(c)),
                                Qt::ControlModifier);
        }
        expected += static_cast<char>(c);
    }
    QTest::sendKeyEvent(QTest::Click, form->Edit1, Qt::Key_unknown, QString(QChar(0x7f)), Qt::NoModifier);
    expected += '\x7f';

    EXPECT_EQ(pty.read(expected.size() + 1, 500), expected);
    EXPECT_EQ(Added().count("Sent:"), qsizetype(expected.size()) + 1) << "one record per key and one for the line";
}

// Thousands of clicks as fast as the window takes them: every click sends exactly
// its bytes and writes exactly one record, in order.
TEST_F(HostileSend, ThousandsOfClicksSendExactlyWhatEachSays) {
    constexpr int kTextClicks = 5000, kNumberClicks = 3000;
    std::string arrived;
    TestThread drain("the drain of the clicked bytes", [&](const std::atomic<bool>& clicked) {
        for (;;) {
            const std::string got = pty.read(65536, 100);
            arrived += got;
            if (got.empty() && clicked) break;
        }
    });
    form->Edit1->setText("abc");
    for (int i = 0; i < kTextClicks; ++i) QTest::mouseClick(form->Button1, Qt::LeftButton);
    QTest::mouseClick(form->CheckBox5, Qt::LeftButton);
    form->Edit1->setText("300");
    for (int i = 0; i < kNumberClicks; ++i) QTest::mouseClick(form->Button1, Qt::LeftButton);
    drain.Stop();

    std::string expected;
    for (int i = 0; i < kTextClicks; ++i) expected += "abc";
    expected += std::string(kNumberClicks, '\x2c');
    EXPECT_EQ(arrived.size(), expected.size());
    EXPECT_TRUE(arrived == expected) << "bytes lost, repeated or out of order";
    const QString added = Added();
    EXPECT_EQ(added.count("Sent:abc\n"), kTextClicks);
    EXPECT_EQ(added.count("Sent:44 (as number)\n"), kNumberClicks);
    EXPECT_EQ(added.size(), kTextClicks * 9 + kNumberClicks * 20);
}

// --- Receiving --------------------------------------------------------------

struct FormatCase {
    const char* name;
    QRadioButton* TForm1::*button;
    const char* pieceFormat;  // printf format of one byte; nullptr: the byte itself
};

class EveryByteValue : public HostileSend, public ::testing::WithParamInterface<FormatCase> {};

// The 256 byte values arrive ten at a time, each ten while the reader waits, so
// each read is one line, shown exactly as a plain printf renders it; in ASCII the
// bytes themselves, where a line feed breaks the line and a lone carriage return
// stays a character.
TEST_P(EveryByteValue, ShowsEachByteExactly) {
    const FormatCase& c = GetParam();
    QTest::mouseClick((*form).*c.button, Qt::LeftButton);
    std::string expected;
    for (int first = 0; first < 256; first += 10) {
        std::string bytes, line = "received:";
        for (int value = first; value < std::min(first + 10, 256); ++value) {
            bytes += static_cast<char>(value);
            char piece[8] = {static_cast<char>(value)};
            if (c.pieceFormat) std::snprintf(piece, sizeof piece, c.pieceFormat, value);
            line.append(piece, c.pieceFormat ? std::strlen(piece) : 1);
        }
        expected += line + "\r\n";
        // The history keeps "\r\n" as one break, shown as "\n".
        QString want = Latin1(expected);
        want.replace("\r\n", "\n");
        want.prepend(history0);
        pty.write(bytes);
        ASSERT_TRUE(RunEventsUntil([&] { return History().size() >= want.size(); }))
            << "bytes from " << first << " never showed";
        ASSERT_EQ(History(), want) << "bytes from " << first;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Window, EveryByteValue,
    ::testing::Values(FormatCase{"Ascii", &TForm1::RadioButton1, nullptr},
                      FormatCase{"Hex", &TForm1::RadioButton2, "0x%x "},
                      FormatCase{"Dec", &TForm1::RadioButton3, "%i "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
