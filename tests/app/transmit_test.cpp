// Sending from the input line and from the keyboard; the bytes read back at the
// other end. Plain sends are part of the traced session.
#include "window_fixture.h"

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>

namespace {

class SendTest : public ConnectedWindowTest {
protected:
    void Type(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) { QTest::keyClick(form->Edit1, key, modifiers); }
    // Clicks a box, and gives the input line the focus back.
    void Tick(QCheckBox* box) {
        QTest::mouseClick(box, Qt::LeftButton);
        form->Edit1->setFocus();
    }
};

// An empty line, or a number that is none, puts nothing on the wire; Return
// without typing mode sends the line. The wire keeps order, so the line coming
// first shows that nothing went before it.
TEST_F(SendTest, ReturnSendsTheLineAndNothingIsSentForNothing) {
    Send("");
    Tick(form->CheckBox5);
    Send("30 ");
    Tick(form->CheckBox5);
    form->Edit1->clear();
    QTest::keyClicks(form->Edit1, "ok");
    Type(Qt::Key_Return);
    EXPECT_EQ(pty.read(2), "ok");
    EXPECT_EQ(Added(), "Sent:\nInvalid Number\nSent:ok\n");
}

// Every control character typed goes out once, by itself, in the order typed;
// carriage return (Ctrl+M) then also sends the line, here empty, which puts
// nothing more on the wire. Tab and Delete move the focus or edit the line.
TEST_F(SendTest, EveryControlCharacterTypedGoesOutOnceEach) {
    QApplication::clipboard()->clear();  // Ctrl+V is among them
    Tick(form->CheckBox4);
    std::string expected;
    for (int c = 1; c <= 26; ++c) {
        Type(Qt::Key(Qt::Key_A + c - 1), Qt::ControlModifier);
        expected += static_cast<char>(c);
    }
    Type(Qt::Key_Escape);
    Type(Qt::Key_Backspace);
    // Ctrl+\ Ctrl+] Ctrl+^ Ctrl+_ and DEL: the keyboard gives the code as text.
    const std::pair<Qt::Key, char> asText[] = {{Qt::Key_Backslash, 28}, {Qt::Key_BracketRight, 29},
                                               {Qt::Key_AsciiCircum, 30}, {Qt::Key_Underscore, 31},
                                               {Qt::Key_unknown, 127}};
    for (const auto& [key, code] : asText)
        QTest::sendKeyEvent(QTest::Click, form->Edit1, key, QString(QChar(code)), Qt::ControlModifier);
    Type(Qt::Key_Delete);
    Type(Qt::Key_Tab);
    Type(Qt::Key_Z);  // the wire keeps order: nothing went for Delete and Tab if this comes next
    expected += "\x1b\x08\x1c\x1d\x1e\x1f\x7fz";
    EXPECT_EQ(pty.read(expected.size()), expected);
    EXPECT_EQ(Added().count("Sent:"), qsizetype(expected.size()) + 1) << "one record per key and one for the line";
}

// A typed key, or text from an input method, goes out at once and still reaches
// the line; Return goes out alone, then the line, as text or as a number, and
// neither send clears it.
TEST_F(SendTest, TypedKeysGoOutAtOnceThenReturnSendsTheLine) {
    Tick(form->CheckBox4);
    QInputMethodEvent compose;
    compose.setCommitString(QString::fromUtf8("é"));
    QCoreApplication::sendEvent(form->Edit1, &compose);
    EXPECT_EQ(pty.read(1), "\xe9");
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf8("é"));
    form->Edit1->clear();
    Type(Qt::Key_6);
    EXPECT_EQ(pty.read(1), "6");
    Type(Qt::Key_5);
    Type(Qt::Key_Return);
    EXPECT_EQ(pty.read(4), "5\r65");
    Tick(form->CheckBox5);
    Type(Qt::Key_Return);
    EXPECT_EQ(pty.read(2), "\rA");
    EXPECT_EQ(form->Edit1->text(), "65");
    EXPECT_EQ(Added(), QString::fromUtf8("Sent:é\nSent:6\nSent:5\nSent:\r\nSent:65\nSent:\r\nSent:65 (as number)\n"));
}

}  // namespace
