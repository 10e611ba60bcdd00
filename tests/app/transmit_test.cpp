// Sending from the input line, the keyboard and the Send menu (line ends, input
// modes, recalling lines, the break); the bytes read back at the other end.
// Plain sends are part of the traced session.
#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>

namespace {

class SendTest : public ConnectedWindowTest {
protected:
    void Choose(const char* item) { form->findChild<QAction*>(QString::fromLatin1(item))->trigger(); }
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

// Every control character typed goes out once, by itself, in the order typed,
// Ctrl+S and Ctrl+Q (XOFF, XON) too, not to the menu's Save and Quit; carriage
// return (Ctrl+M) then also sends the line, here empty, which puts nothing more
// on the wire. Tab and Delete move the focus or edit the line. Ctrl+S comes
// first, in an empty history, so that one taken by the menu finds nothing to
// save rather than wait in a dialog.
TEST_F(SendTest, EveryControlCharacterTypedGoesOutOnceEach) {
    QApplication::clipboard()->clear();  // Ctrl+V is among them
    QTest::mouseClick(form->Button2, Qt::LeftButton);
    form->activateWindow();  // where the window's shortcuts act
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Tick(form->CheckBox4);
    std::string expected;
    for (int c : {19, 17, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 18, 20, 21, 22, 23, 24, 25, 26}) {
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
    EXPECT_EQ(History().count("Sent:"), qsizetype(expected.size()) + 1) << "one record per key and one for the line";
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

// The line end follows a text line only; hex bytes go as written and are shown
// in the receive format; a line that does not read sends nothing; Up and Down
// recall the lines sent. The wire keeps order, so the last line arriving right
// after the others shows that nothing went between them.
TEST_F(SendTest, LineEndsAndInputModesReachTheLineExactlyAndLinesSentAreRecalled) {
    Choose("LineEndCrLf");
    Send("ATZ");
    Tick(form->CheckBox5);
    Send("65");
    Tick(form->CheckBox5);
    Tick(form->CheckBox4);
    Type(Qt::Key_K);
    Tick(form->CheckBox4);
    Choose("InputHexBytes");
    QTest::mouseClick(form->RadioButton2, Qt::LeftButton);
    Send("01 0a");
    // As typed, whatever their mode, and back to the line being edited.
    form->Edit1->setText("dr");
    form->Edit1->setFocus();
    std::vector<QString> seen;
    for (Qt::Key key : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Down}) {
        Type(key);
        seen.push_back(form->Edit1->text());
    }
    EXPECT_EQ(seen, (std::vector<QString>{"01 0a", "65", "01 0a", "dr"}));
    Send("0x");
    Choose("InputEscapes");
    Send("a\\tb");
    Choose("LineEndNone");
    Choose("InputText");
    Send("x");
    EXPECT_EQ(pty.read(15), std::string("ATZ\r\nAk\x01\na\tb\r\nx", 15));
    EXPECT_EQ(Added(), "Sent:ATZ (+CR LF)\nSent:65 (as number)\nSent:k\nSent:0x1 0xa \nInvalid Hex\n"
                       "Sent:a\tb (+CR LF)\nSent:x\n");
}

// A pseudo-terminal takes a break request and drops it: the record says no break
// went, and nothing reaches the other end.
TEST_F(SendTest, ABreakOnALineWithoutOneIsRecordedAsFailed) {
    Choose("SendBreak");
    Send("z");
    EXPECT_EQ(pty.read(1), "z");
    EXPECT_EQ(Added(), "Send failed (this line has no break):break\nSent:z\n");
}

}  // namespace
