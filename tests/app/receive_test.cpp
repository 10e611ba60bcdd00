// The window as it starts; connecting and disconnecting, over pseudo-terminals.
// A plain session is the traced one.
#include "window_fixture.h"

#include "connection.h"
#include "test_thread.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

TEST_F(WindowTest, StartsDisconnectedWithDefaults) {
    TForm1& w = Open();
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_TRUE(w.Button3->isEnabled() && w.GroupBox1->isEnabled() && w.GroupBox2->isEnabled());
    EXPECT_FALSE(w.Button4->isEnabled() || w.GroupBox3->isEnabled());
    EXPECT_TRUE(w.Memo1->isEnabled()) << "the history stays readable";
    EXPECT_TRUE(w.RadioButton1->isChecked() && w.RadioButton5->isChecked() && w.RadioButton6->isChecked());
    EXPECT_FALSE(w.CheckBox1->isChecked() || w.CheckBox4->isChecked() || w.CheckBox5->isChecked());
    const QStringList shown = {w.ComboBox1->currentText(), w.ComboBox2->currentText(), w.ComboBox3->currentText(),
                               w.ComboBox4->currentText(), w.ComboBox5->currentText(), w.Edit1->text(), History()};
    EXPECT_EQ(shown, QStringList({"", "9600", "One Stop Bit", "None", "Eight", "", ""}));
}

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
    EXPECT_FALSE(w.GroupBox1->isEnabled() || w.GroupBox6->isEnabled() || w.GroupBox7->isEnabled());
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
            while (!stop) {
                pty.writeFor("abcdefghij", 50);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
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
