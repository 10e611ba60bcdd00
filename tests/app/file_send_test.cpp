// Send File… in the window: nothing else goes out while a file does, received
// data keeps showing, and every send ends in one record saying how.
#include "connection.h"
#include "file_send.h"
#include "test_files.h"
#include "window_fixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QProgressDialog>
#include <QTemporaryDir>

namespace {

class FileSendTest : public ConnectedWindowTest {
protected:
    QString File(const QString& name, const std::string& content) {
        writeFile(dir.filePath(name), content);
        return dir.filePath(name);
    }
    // Each line waits for "OK", which the device says only when a test wants it to.
    bool StartWaitingForOk(const QString& path) {
        form->fileSend->pacing.reply = "OK";
        form->fileSend->pacing.replyTimeoutMs = 20000;
        return form->fileSend->Start(path);
    }
    QTemporaryDir dir;
};

TEST_F(FileSendTest, OtherSendsAreRefusedWhileReceivedDataShowsAndOneRecordEndsIt) {
    // Pacing… sets what the next send waits for.
    QTimer::singleShot(0, [] {
        QWidget* dialog = QApplication::activeModalWidget();
        ASSERT_TRUE(dialog);
        dialog->findChild<QCheckBox*>("WaitForReply")->setChecked(true);
        dialog->findChild<QLineEdit*>("Reply")->setText("OK");
        static_cast<QDialog*>(dialog)->accept();
    });
    form->fileSend->pacingAction->trigger();
    EXPECT_EQ(form->fileSend->pacing.reply, "OK");
    form->fileSend->pacing.replyTimeoutMs = 20000;
    ASSERT_TRUE(form->fileSend->Start(File("two lines.txt", "a\nb\n")));
    EXPECT_FALSE(form->fileSend->sendFileAction->isEnabled());
    ASSERT_TRUE(form->fileSend->progress() && form->fileSend->progress()->isVisible());
    // Replies are looked for as each byte comes, not once a 20 ms read is over.
    const auto readsUntil = [] {
        COMMTIMEOUTS t{};
        EXPECT_TRUE(GetCommTimeouts(PortHandle, &t));
        return std::pair(t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier);
    };
    EXPECT_EQ(readsUntil(), std::pair(MAXDWORD, MAXDWORD));
    EXPECT_EQ(pty.read(2, 5000), "a\n");
    Send("x");
    form->CheckBox4->setChecked(true);
    QTest::keyClick(form->Edit1, Qt::Key_Y);
    form->findChild<QAction*>(QStringLiteral("SendBreak"))->trigger();
    EXPECT_EQ(pty.read(1, 300), "") << "something went out between the file's lines";
    ASSERT_TRUE(pty.write("OK"));
    EXPECT_EQ(pty.read(2, 5000), "b\n");
    ASSERT_TRUE(pty.write("OK"));
    ASSERT_TRUE(WaitForHistory("Sent file:"));
    EXPECT_EQ(Added(), QString("Not sent: a file is being sent\n").repeated(3) +
                           "received:OK\nreceived:OK\nSent file:two lines.txt (4 bytes)\n");
    EXPECT_TRUE(form->fileSend->sendFileAction->isEnabled());
    EXPECT_FALSE(form->fileSend->progress());
    EXPECT_EQ(readsUntil(), std::pair(DWORD{0}, DWORD{0}));
}

// Cancel in the progress, Disconnect and an unplug: each stops the send at once
// and says where, Disconnect's before the port's own record.
TEST_F(FileSendTest, CancelDisconnectAndUnplugStopItWhereItStands) {
    const QString path = File("f", "1\n2\n");
    ASSERT_TRUE(StartWaitingForOk(path));
    EXPECT_EQ(pty.read(2, 5000), "1\n");
    QTest::mouseClick(form->fileSend->progress()->findChild<QPushButton*>(), Qt::LeftButton);
    ASSERT_TRUE(StartWaitingForOk(path));
    EXPECT_EQ(pty.read(2, 5000), "1\n");
    Disconnect();
    ASSERT_TRUE(Connect());
    ASSERT_TRUE(StartWaitingForOk(path));
    EXPECT_EQ(pty.read(2, 5000), "1\n");
    pty.hangUp();
    EXPECT_TRUE(WaitForHistory("device gone)\n")) << History().toStdString();
    EXPECT_EQ(Added(), "Send file stopped:f (2 of 4 bytes went out: cancelled)\n"
                       "Send file stopped:f (2 of 4 bytes went out: disconnected)\nCOM3 Closed\nCOM3 Opened\n"
                       "COM3 Lost (device gone)\nSend file stopped:f (2 of 4 bytes went out: device gone)\n");
}

}  // namespace
