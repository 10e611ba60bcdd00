// The window as it starts, what a connect applies and what a disconnect shows,
// over pseudo-terminals.
// A plain session is the traced one.
#include "window_fixture.h"

#include "connection.h"

#include <chrono>
#include <thread>

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

// What came before Disconnect shows before its "Closed", with nothing of it after.
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
