// One whole session through the real window, run on its own by
// trace_session.sh under strace, which checks what the process did meanwhile:
// which files it opened and wrote, which sockets it made, which programs it ran.
// Run here as an ordinary test it checks the session itself, record by record.
#include "../app/window_fixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

namespace {

// Texts the user might type as a port. They must reach no file name: the trace
// is searched for "morrel-probe" and for the real serial device names. The
// history shows each cut to five characters, in Latin-1.
const char* const kHostilePortTexts[] = {
    "\\\\.\\COM1/../../tmp/morrel-probe", "../morrel-probe", "COM3/../../morrel-probe", "/dev/ttyS0",
    "/dev/ttyUSB0", "COM1234", "СОМ3",
};

TEST_F(WindowTest, TracedSessionConnectSendReceiveDisconnect) {
    PtyPair pty, twelve;  // "COM1234" must not open COM12
    MappedPort port(3, pty), p12(12, twelve);
    TForm1& w = Open();
    for (const char* text : kHostilePortTexts) {
        w.ComboBox1->setEditText(QString::fromUtf8(text));
        EXPECT_FALSE(Connect()) << text;
    }
    EXPECT_EQ(History(), "\\\\.\\C Not Opened\n../mo Not Opened\nCOM3/ Not Opened\n/dev/ Not Opened\n"
                         "/dev/ Not Opened\nCOM12 Not Opened\n???3 Not Opened\n");
    w.ComboBox1->setEditText("com3");
    ASSERT_TRUE(Connect());
    const QString opened = History();

    w.Edit1->setText("hello");
    QTest::mouseClick(w.Button1, Qt::LeftButton);
    QTest::mouseClick(w.CheckBox5, Qt::LeftButton);
    w.Edit1->setText("300");
    QTest::mouseClick(w.Button1, Qt::LeftButton);
    QTest::mouseClick(w.CheckBox5, Qt::LeftButton);
    QTest::mouseClick(w.CheckBox4, Qt::LeftButton);
    w.Edit1->setFocus();
    QTest::keyClick(w.Edit1, 'k');
    const std::pair<QRadioButton*, const char*> formats[] = {
        {w.RadioButton1, "received:world\n"},
        {w.RadioButton2, "received:0x77 0x6f 0x72 0x6c 0x64 \n"},
        {w.RadioButton3, "received:119 111 114 108 100 \n"},
    };
    for (auto [button, shown] : formats) {
        QTest::mouseClick(button, Qt::LeftButton);
        pty.write("world");
        EXPECT_TRUE(WaitForHistory(shown));
    }
    EXPECT_EQ(History().mid(opened.size()),
              "Sent:hello\nSent:44 (as number)\nSent:k\nreceived:world\n"
              "received:0x77 0x6f 0x72 0x6c 0x64 \nreceived:119 111 114 108 100 \n");

    QTest::mouseClick(w.Button2, Qt::LeftButton);  // Clear History
    EXPECT_EQ(History(), "");
    Disconnect();
    EXPECT_EQ(History(), "com3 Closed\n");
    w.close();
}

}  // namespace
