// Sending a line, a number and typed keys; the bytes read back at the other end.
#include "window_fixture.h"

#include <QCheckBox>
#include <QLineEdit>

namespace {

class SendTest : public ConnectedWindowTest {
protected:
    // Nothing more arrives at the other end.
    void ExpectNothingSent() { EXPECT_EQ(pty.read(1, 100), ""); }
};

TEST_F(SendTest, TextGoesOutAsItsBytesWithoutLineEnd) {
    Send("Hello");
    EXPECT_EQ(pty.read(5), "Hello");
    ExpectNothingSent();
    EXPECT_EQ(Added(), "Sent:Hello\n");
    EXPECT_EQ(form->Edit1->text(), "Hello") << "sending never clears the line";
}

TEST_F(SendTest, EmptyLineSendsNothingButIsRecorded) {
    Send("");
    ExpectNothingSent();
    EXPECT_EQ(Added(), "Sent:\n");
}

TEST_F(SendTest, LongLineSendsItsFirst255Characters) {
    QString line;
    for (int i = 0; i < 300; ++i) line += QChar('a' + i % 26);
    Send(line);
    EXPECT_EQ(pty.read(300, 500), line.left(255).toStdString());
    EXPECT_EQ(Added(), "Sent:" + line.left(255) + "\n");
}

TEST_F(SendTest, Latin1CharactersGoOutAsOneByte) {
    Send(QString::fromUtf8("é€"));
    EXPECT_EQ(pty.read(2), "\xe9?");
    EXPECT_EQ(Added(), QString::fromUtf8("Sent:é?\n"));
}

TEST_F(SendTest, TypingSendsEachKeyAtOnce) {
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->setFocus();
    QTest::keyClick(form->Edit1, 'a');
    EXPECT_EQ(pty.read(1), "a");
    QTest::keyClick(form->Edit1, 'b');
    EXPECT_EQ(pty.read(1), "b");
    EXPECT_EQ(Added(), "Sent:a\nSent:b\n");
    EXPECT_EQ(form->Edit1->text(), "ab") << "the key still reaches the line";
}

TEST_F(SendTest, TypedControlKeysGoOutToo) {
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->setFocus();
    QTest::keyClick(form->Edit1, 'x');
    QTest::keyClick(form->Edit1, Qt::Key_Backspace);
    QTest::keyClick(form->Edit1, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(pty.read(3), "x\x08\x03");
}

TEST_F(SendTest, TypedReturnGoesOutAloneThenTheLine) {
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    form->Edit1->setText("hi");
    form->Edit1->setFocus();
    QTest::keyClick(form->Edit1, Qt::Key_Return);
    EXPECT_EQ(pty.read(3), "\rhi");
    EXPECT_EQ(Added(), "Sent:\r\nSent:hi\n");
}

TEST_F(SendTest, ReturnWithoutTypingModeSendsTheLineOnly) {
    form->Edit1->setFocus();
    QTest::keyClicks(form->Edit1, "ok");
    ExpectNothingSent();
    QTest::keyClick(form->Edit1, Qt::Key_Return);
    EXPECT_EQ(pty.read(2), "ok");
    ExpectNothingSent();
    EXPECT_EQ(Added(), "Sent:ok\n");
}

TEST_F(SendTest, TypingANumberSendsDigitsThenItsByte) {
    QTest::mouseClick(form->CheckBox4, Qt::LeftButton);
    QTest::mouseClick(form->CheckBox5, Qt::LeftButton);
    form->Edit1->setFocus();
    QTest::keyClicks(form->Edit1, "65");
    QTest::keyClick(form->Edit1, Qt::Key_Return);
    EXPECT_EQ(pty.read(4), "65\rA");
    EXPECT_EQ(Added(), "Sent:6\nSent:5\nSent:\r\nSent:65 (as number)\n");
}

}  // namespace
