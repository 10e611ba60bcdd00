// Send File… through the 16550 at 115 200 baud: a file paced by line arrives whole
// and in order, in the line's own time and the pauses, no more (the figure is
// printed). Waiting for a device's prompt is the sender's test, over a pty.
#include "file_send.h"
#include "lab_window.h"
#include "test_files.h"

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

// Sent unpaced first, which shows what the chain behind the chip adds, then
// paced. Each arrives whole and in order.
TEST(LabFileSend, APacedFileArrivesWholeInTheLineTime) {
    LAB_ONLY();
    Peer& device = Peer::Of(kUart);
    device.Drain();
    LabWindow w;
    ASSERT_TRUE(LabWindow::Pick(w.form->ComboBox2, "115200"));
    ASSERT_TRUE(w.Connect(kUart));
    QTemporaryDir dir;
    const int lines = 100, delayMs = 10;
    const std::string text = Lines(lines, 60);
    const QString path = dir.filePath("file.txt");
    writeFile(path, text);
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
        const bool sent = w.WaitForHistory("Sent file:file.txt", 60000);
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

}  // namespace
