// The window as it starts, what a connect applies or why it failed, and what a
// disconnect shows, over pseudo-terminals. A plain session is the traced one.
#include "window_fixture.h"

#include "connection.h"
#include "test_seam.h"

#include <QAction>
#include <QRegularExpression>

#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/file.h>
#include <unistd.h>

namespace {

// The window starts disconnected with the defaults; parity, data bits, RTS and DTR
// at a choice other than their default reach the line state. That the layer then
// sets RTS and DTR is the layer's test; baud, stop bits and the parity check are
// checked on the device itself when a port is connected or reopened.
TEST_F(WindowTest, StartsWithDefaultsAndOtherChoicesReachTheLine) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_TRUE(w.Button3->isEnabled() && w.GroupBox1->isEnabled() && w.GroupBox2->isEnabled());
    EXPECT_FALSE(w.Button4->isEnabled() || w.GroupBox3->isEnabled());
    EXPECT_TRUE(w.Memo1->isEnabled()) << "the history stays readable";
    EXPECT_TRUE(w.RadioButton1->isChecked() && w.RadioButton5->isChecked() && w.RadioButton6->isChecked());
    EXPECT_FALSE(w.CheckBox1->isChecked() || w.CheckBox4->isChecked() || w.CheckBox5->isChecked());
    const QStringList shown = {w.ComboBox1->currentText(), w.ComboBox2->currentText(), w.ComboBox3->currentText(),
                               w.ComboBox4->currentText(), w.ComboBox5->currentText(), w.Edit1->text(), History()};
    EXPECT_EQ(shown, QStringList({"COM3", "9600", "One Stop Bit", "None", "Eight", "", ""}));

    w.ComboBox4->setCurrentIndex(3);  // Odd
    w.ComboBox5->setCurrentIndex(2);  // Seven
    QTest::mouseClick(w.RadioButton4, Qt::LeftButton);  // RTS on
    QTest::mouseClick(w.RadioButton7, Qt::LeftButton);  // DTR on
    ASSERT_TRUE(Connect());
    EXPECT_FALSE(w.GroupBox1->isEnabled() || w.GroupBox6->isEnabled() || w.GroupBox7->isEnabled());
    EXPECT_EQ(LineState.Parity, ODDPARITY);
    EXPECT_EQ(LineState.ByteSize, 7);
    EXPECT_EQ(LineState.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(LineState.fDtrControl, DTR_CONTROL_ENABLE);
    // What the device holds: a pseudo-terminal keeps 8 data bits and no parity,
    // which is no misconfiguration to report.
    EXPECT_TRUE(History().endsWith("COM3 Opened\n"));
}

// The state of one of this process's threads, as the kernel tells it: 'R', 'S'...
char ThreadState(pid_t thread) {
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    const std::size_t end = text.rfind(") ");
    return end == std::string::npos ? '?' : text[end + 2];
}

// What came before the connection ends shows before the line that says so, and
// nothing of it after: ended by Disconnect, or by the device, whose loss the
// window takes together with the lines read before it.
TEST_F(ConnectedWindowTest, WhatCameBeforeTheEndShowsBeforeItAndNothingAfter) {
    // Connects with `bytes` waiting, and lets the reader take them, but not the
    // window: its thread waits here without running its events.
    const auto connectWithWaiting = [&](const std::string& bytes) {
        ASSERT_TRUE(pty.write(bytes));
        for (int i = 0; i < 5000 && pty.pending() != int(bytes.size()); ++i) QThread::msleep(1);
        ASSERT_TRUE(Connect());
        history0 = History();
        for (int i = 0; i < 5000 && pty.pending() != 0; ++i) QThread::msleep(1);
        ASSERT_EQ(pty.pending(), 0);
        ASSERT_EQ(Added(), "");
    };
    form->Button4Click();
    connectWithWaiting("abc");
    form->Button4Click();
    EXPECT_EQ(Added(), QStringLiteral("received:abc\nCOM3 Closed\n"));
    // Whatever the reader signalled meanwhile is handled now, and adds nothing.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(Added(), QStringLiteral("received:abc\nCOM3 Closed\n"));

    std::atomic<pid_t> failedReader{0};
    SetLayerObserver([&](LayerEvent event) {
        if (event == LayerEvent::ReadEnds && GetLastError() != ERROR_SUCCESS) failedReader = gettid();
    });
    connectWithWaiting("last");
    pty.hangUp();
    // Right after its failed read the reader queues the loss; then it sleeps.
    for (int i = 0; i < 5000 && (failedReader == 0 || ThreadState(failedReader) != 'S'); ++i) QThread::msleep(1);
    SetLayerObserver(nullptr);
    ASSERT_TRUE(WaitForHistory("Lost"));
    EXPECT_EQ(Added(), QStringLiteral("received:last\nCOM3 Lost (device gone)\n"));
}

// View > Timestamps shows each line's time without touching the text; a line
// keeps the time its read returned, also when the choice comes later.
TEST_F(ConnectedWindowTest, TimestampsShowWhenEachLineCameAsChosen) {
    ASSERT_TRUE(pty.write("one"));
    ASSERT_TRUE(WaitForHistory("received:one"));
    QTest::qWait(300);
    ASSERT_TRUE(pty.write("two"));
    ASSERT_TRUE(WaitForHistory("received:two"));
    const QString text = History();
    HistoryView& view = *form->Memo1;
    const qsizetype opened = view.lineCount() - 4, two = view.lineCount() - 2;
    EXPECT_EQ(view.timestampText(two), "");
    const auto seconds = [&](qsizetype line) { return view.timestampText(line).toDouble(); };

    form->findChild<QAction*>("TimestampsSincePrevious")->trigger();
    EXPECT_EQ(view.timestampMode(), TimestampMode::SincePrevious);
    EXPECT_GE(seconds(two), 0.25);
    EXPECT_LT(seconds(two), 5.0);
    EXPECT_EQ(view.timestampText(two + 1), "") << "the empty last line has not begun";
    form->findChild<QAction*>("TimestampsSinceConnect")->trigger();
    EXPECT_GE(seconds(opened), 0.0);
    EXPECT_LT(seconds(opened), 0.5) << view.timestampText(opened).toStdString();
    EXPECT_GE(seconds(two) - seconds(two - 1), 0.25);
    form->findChild<QAction*>("TimestampsTimeOfDay")->trigger();
    EXPECT_TRUE(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3}$").match(view.timestampText(two)).hasMatch())
        << view.timestampText(two).toStdString();
    EXPECT_EQ(History(), text);
}

// So does the program's end: what the reader took shows before the port closes.
TEST_F(ConnectedWindowTest, TheProgramsEndShowsWhatTheReaderTook) {
    form->Button4Click();
    ASSERT_TRUE(pty.write("end"));
    for (int i = 0; i < 5000 && pty.pending() != 3; ++i) QThread::msleep(1);
    ASSERT_TRUE(Connect());
    history0 = History();
    for (int i = 0; i < 5000 && pty.pending() != 0; ++i) QThread::msleep(1);
    ASSERT_EQ(pty.pending(), 0);
    form->EndSession();
    EXPECT_EQ(Added(), QStringLiteral("received:end\n"));
}

// A connect that fails keeps its one record, and says why on the next line when
// the layer knows (a text naming no port is the traced session's).
TEST_F(WindowTest, AFailedConnectSaysWhyOnTheNextLine) {
    PtyPair held;
    MappedPort p3(3, held);
    OverridePortDevice(5, "/nonexistent/ttyUSB4");
    const int holder = open(held.followerPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    TForm1& w = Open();
    EXPECT_EQ(w.ComboBox1->count(), 0) << "a held port is listed";
    for (const char* text : {"COM3", "COM5"}) {
        w.ComboBox1->setEditText(QString::fromLatin1(text));
        EXPECT_FALSE(Connect()) << text;
    }
    EXPECT_EQ(History(), "COM3 Not Opened\nCOM3 is in use by another program\nCOM5 Not Opened\nCOM5: no such device\n");
    close(holder);
}

}  // namespace
