// Send File… through the 16550 at 115 200 baud: a file paced by line takes the
// line's own time and the pauses, no more (the figure is printed), and a file
// sent line by line to a device's prompt arrives whole and in order.
#include "file_send.h"
#include "lab_window.h"

#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::string Lines(int count, int width) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        std::string line = "line " + std::to_string(i) + " ";
        line.resize(std::size_t(width) - 2, char('a' + i % 26));
        text += line + "\r\n";
    }
    return text;
}

class FileSendTest : public ::testing::TestWithParam<LabPort> {
protected:
    void SetUp() override {
        LAB_ONLY();
        device.Drain();
        ASSERT_TRUE(LabWindow::Pick(w.form->ComboBox2, "115200"));
        ASSERT_TRUE(w.Connect(GetParam()));
    }
    QString File(const std::string& content) {
        const QString path = dir.filePath("file.txt");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content.data(), qint64(content.size())) ==
                                                           qint64(content.size()));
        return path;
    }
    QTemporaryDir dir;
    Peer& device = Peer::Of(GetParam());
    LabWindow w;
};

// Sent unpaced first, which shows what the chain behind the chip adds, then
// paced. Each arrives whole and in order.
TEST_P(FileSendTest, APacedFileArrivesWholeInTheLineTime) {
    const int lines = 100, delayMs = 10;
    const std::string text = Lines(lines, 60);
    const QString path = File(text);
    const double wireTime = double(text.size()) * 10 / 115200;
    double unpaced = 0;  // what the emulated chip and the chain behind it take
    for (const int delay : {0, delayMs}) {
        w.form->fileSend->pacing.lineDelayMs = DWORD(delay);
        std::string got;
        Clock::time_point last;
        const Clock::time_point start = Clock::now();
        ASSERT_TRUE(w.form->fileSend->Start(path));
        std::thread reader([&] {
            got = device.Read(text.size(), 60000);
            last = Clock::now();
        });
        const bool sent = w.WaitFor("Sent file:file.txt", 60000);
        reader.join();
        EXPECT_TRUE(sent) << w.Text();
        EXPECT_TRUE(got == text) << got.size() << " of " << text.size() << " bytes, or not in order";
        // The last line's pause comes after its last byte.
        const double pauses = (lines - 1) * delay / 1000.0, lineTime = wireTime + pauses;
        const double took = std::chrono::duration<double>(last - start).count();
        if (delay == 0) unpaced = took;
        std::printf("lab: %zu bytes in %d lines, %d ms after each: %.3f s for %.3f s of line time: %.3f x, "
                    "%.3f x of the unpaced send and the pauses\n",
                    text.size(), lines, delay, took, lineTime, took / lineTime, took / (unpaced + pauses));
        w.form->Memo1->clear();
    }
    w.Disconnect();
}

// The device answers each line with its prompt; the next line waits for it.
TEST_P(FileSendTest, EachLineWaitsForThePrompt) {
    const std::string text = Lines(20, 30);
    std::string got;
    std::thread prompt([&] {
        for (int i = 0; i < 20; ++i) {
            const std::string line = device.ReadUntil("\n", 10000);
            got += line;
            if (!line.ends_with("\n") || !device.Write("ok\r\n=> ")) break;
        }
    });
    w.form->fileSend->pacing.reply = "=> ";
    ASSERT_TRUE(w.form->fileSend->Start(File(text)));
    const bool sent = w.WaitFor("Sent file:", 60000);
    prompt.join();
    EXPECT_TRUE(sent) << w.Text();
    EXPECT_EQ(got, text);
    std::string prompts;
    for (int i = 0; i < 20; ++i) prompts += "ok\r\n=> ";
    EXPECT_TRUE(w.WaitForReceived(prompts)) << w.Text();
    w.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Lab, FileSendTest, ::testing::Values(kUart), ::testing::PrintToStringParamName());

}  // namespace
