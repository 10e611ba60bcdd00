// One whole session through the real window, run on its own by
// trace_session.sh under strace, which checks what the process did meanwhile:
// which files it opened and wrote, which sockets it made, which programs it ran.
// Run here as an ordinary test it checks that the session itself works.
#include "../app/window_fixture.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QRadioButton>

namespace {

// Texts the user might type as a port. They must reach no file name: the trace
// is searched for "morrel-probe" and for the real serial device names.
const char* const kHostilePortTexts[] = {
    "\\\\.\\COM1/../../tmp/morrel-probe",
    "../morrel-probe",
    "COM3/../../morrel-probe",
    "/dev/ttyS0",
    "/dev/ttyUSB0",
};

TEST_F(WindowTest, TracedSessionConnectSendReceiveDisconnect) {
    PtyPair pty;
    MappedPort port(3, pty);
    TForm1& w = Open();

    for (const char* text : kHostilePortTexts) {
        w.ComboBox1->setEditText(QString::fromLatin1(text));
        EXPECT_FALSE(Connect()) << text;
    }
    w.ComboBox1->setEditText("COM3");
    ASSERT_TRUE(Connect());

    w.Edit1->setText("hello");
    QTest::mouseClick(w.Button1, Qt::LeftButton);
    EXPECT_EQ(pty.read(5), "hello");
    QTest::mouseClick(w.CheckBox5, Qt::LeftButton);
    w.Edit1->setText("65");
    QTest::mouseClick(w.Button1, Qt::LeftButton);
    EXPECT_EQ(pty.read(1), "A");
    QTest::mouseClick(w.CheckBox5, Qt::LeftButton);
    QTest::mouseClick(w.CheckBox4, Qt::LeftButton);
    w.Edit1->setFocus();
    QTest::keyClick(w.Edit1, 'k');
    EXPECT_EQ(pty.read(1), "k");

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

    QTest::mouseClick(w.Button2, Qt::LeftButton);  // Clear History
    QTest::mouseClick(w.Button4, Qt::LeftButton);
    EXPECT_TRUE(w.Button3->isEnabled());
    w.close();
}

}  // namespace
